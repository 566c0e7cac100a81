/* A program built the way MSVC builds, against Q48Reader.lib alone: no C
 * runtime, its own entry point, no other library. The kit's test compiles it
 * with clang --target=<arch>-pc-windows-msvc and links it with lld-link; the
 * x64 build then runs under wine64 against the emulator's sample card.
 *
 * With no C runtime there is no printf: the exit code says how far it got.
 * 0: every export answered as a reader with the sample card does; otherwise
 * the number of the first call that did not (1 zelListReaderCard,
 * 2 zelReadCard, 3 zelReadICCID, 4 zelReadCardType, 5 zelWriteCard). */
#include "Q48Reader.h"

/* Static storage: zero-filled, as the library needs, and no stack probe. */
static char card[Q48_READ_CARD_BUFFER];
static char iccid[Q48_ICCID_BUFFER];

/* The entry point as the system calls it, like a thread's start routine. */
unsigned long __stdcall Start(void* environment) {
  (void)environment;
  if (zelListReaderCard() != Q48_READER_FOUND) return 1;
  /* The identity number and the portrait arrived. */
  if (zelReadCard(card) != Q48_OK || card[5 * Q48_FIELD_STRIDE] == 0 || card[10 * Q48_FIELD_STRIDE] == 0) return 2;
  if (zelReadICCID(iccid) != Q48_OK || iccid[0] == 0) return 3;
  if (zelReadCardType() < 0) return 4;
  if (zelWriteCard("hello", "13800138000") != Q48_OK) return 5;
  return 0;
}
