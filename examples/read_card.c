/* Reads the identity card and the SIM card through Q48Reader.
 *
 *   read_card [--photo FILE.jpg] [--write NUMBER CONTENT]
 *
 * Build it (from the kit's examples folder) and run it beside Q48Reader.dll,
 * with WltRS.dll there for the portrait:
 *   Visual Studio:  cl /I..\include read_card.c ..\lib\Q48Reader.lib
 *   MinGW:          gcc -I../include read_card.c ../lib/libQ48Reader.dll.a
 *   Linux:          cc -IQ48Reader/include examples/read_card.c -Lbuild/linux/bin -lQ48Reader
 *
 * Texts are GBK, printed as they are: a Chinese Windows console (code page
 * 936) shows them. Exit status 0 when the card was read.
 */
#include <stdio.h>
#include <string.h>

#include "Q48Reader.h"

static const char* const kFields[] = {
    "name", "sex code", "ethnic group", "birth date", "address", "identity number",
    "issuing authority", "valid from", "valid to", "reserved",
};

/* Base64 text to bytes; returns the byte count, or -1 for a bad character. */
static long decode_base64(const char* text, unsigned char* out, long capacity) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  unsigned long bits = 0;
  int count = 0;
  long size = 0;
  for (; *text != '\0' && *text != '='; ++text) {
    const char* at = strchr(alphabet, *text);
    if (at == NULL) return -1;
    bits = (bits << 6) | (unsigned long)(at - alphabet);
    count += 6;
    if (count >= 8) {
      count -= 8;
      if (size == capacity) return -1;
      out[size++] = (unsigned char)(bits >> count);
    }
  }
  return size;
}

static void save_portrait(const char* base64, const char* path) {
  static unsigned char jpeg[Q48_READ_CARD_BUFFER];
  const long size = decode_base64(base64, jpeg, (long)sizeof jpeg);
  FILE* file;
  if (size < 0) {
    printf("portrait: not Base64\n");
    return;
  }
  file = fopen(path, "wb");
  if (file == NULL || fwrite(jpeg, 1, (size_t)size, file) != (size_t)size) {
    printf("portrait: cannot write %s\n", path);
  } else {
    printf("portrait: %ld bytes of JPEG in %s\n", size, path);
  }
  if (file != NULL) fclose(file);
}

int main(int argc, char** argv) {
  /* Buffers must be zero-filled: the library writes no terminating zero.
     Static storage is, and keeps 52 KB off the stack. */
  static char card[Q48_READ_CARD_BUFFER];
  static char iccid[Q48_ICCID_BUFFER];
  const char* photo = NULL;
  const char* number = NULL;
  const char* content = NULL;
  short result, read;
  int i;

  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--photo") == 0 && i + 1 < argc) {
      photo = argv[++i];
    } else if (strcmp(argv[i], "--write") == 0 && i + 2 < argc) {
      number = argv[++i];
      content = argv[++i];
    } else {
      fprintf(stderr, "usage: read_card [--photo FILE.jpg] [--write NUMBER CONTENT]\n");
      return 2;
    }
  }

  printf("zelListReaderCard: %d\n", zelListReaderCard());

  read = zelReadCard(card);
  printf("zelReadCard: %d\n", read);
  if (read == Q48_OK) {
    for (i = 0; i < 10; ++i) {
      /* A field ends at its first zero byte or at the next field. */
      printf("  %-18s %.*s\n", kFields[i], Q48_FIELD_STRIDE, card + i * Q48_FIELD_STRIDE);
    }
    printf("  %-18s %u characters of Base64\n", "portrait", (unsigned)strlen(card + 10 * Q48_FIELD_STRIDE));
    if (photo != NULL) save_portrait(card + 10 * Q48_FIELD_STRIDE, photo);
  }

  result = zelReadICCID(iccid);
  printf("zelReadICCID: %d %s\n", result, result == Q48_OK ? iccid : "");
  printf("zelReadCardType: %d\n", zelReadCardType());

  /* Writing changes the SIM card: only when asked. */
  if (number != NULL) printf("zelWriteCard: %d\n", zelWriteCard(content, number));
  return read == Q48_OK ? 0 : 1;
}
