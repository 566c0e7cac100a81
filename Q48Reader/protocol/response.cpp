#include "response.h"

#include <algorithm>
#include <cstring>

#include "card_fields.h"
#include "requests.h"
#include "text.h"

namespace q48 {

void ClearResultFields(ResultFields& fields) {
  for (const ResultSlot& place : kResultSlots) (fields.*place.slot).clear();
  fields.Kind = CardKind::Resident;
  fields.KindMark.clear();
  fields.KindValues.clear();
}

namespace {

// Copies `count` message bytes from `offset` into `out`; bytes past the end
// of the message buffer read as 0.
void CopyOut(const uint8_t* message, size_t size, size_t offset, size_t count, uint8_t* out) {
  std::memset(out, 0, count);
  if (offset >= size) return;
  std::memcpy(out, message + offset, std::min(count, size - offset));
}

uint8_t ByteAt(const uint8_t* message, size_t size, size_t offset) {
  return offset < size ? message[offset] : 0;
}

// The reader names itself "CPU-Q48-...": the first seven characters decide.
int CheckIdentification(const uint8_t* message, size_t size) {
  const size_t count = ByteAt(message, size, 3) | (ByteAt(message, size, 4) << 8);
  uint8_t text[kIdentTextBuffer] = {};
  // Longer texts: only what fits is looked at (the check needs seven bytes).
  CopyOut(message, size, 5, std::min(count, kIdentTextBuffer), text);
  return std::memcmp(text, "CPU-Q48", 7) == 0 ? 1 : 0;
}

void DecodeIccid(const uint8_t* message, size_t size, ResultFields& fields) {
  const size_t count = ByteAt(message, size, 3);
  uint8_t text[kIccidTextBuffer] = {};
  // Counts above 59 are cut to 59 so that the text keeps its terminator.
  CopyOut(message, size, 4, std::min(count, kIccidTextBuffer - 1), text);
  fields.Iccid = TrimRight(reinterpret_cast<const char*>(text));
}

}  // namespace

int ParseResponse(const uint8_t* message, size_t size, ResultFields& fields,
                  PortraitConverter& portrait) {
  if (message == nullptr) return 0;
  const uint8_t group = ByteAt(message, size, 0);
  const uint8_t code = ByteAt(message, size, 1);
  const uint8_t status = ByteAt(message, size, 2);
  if (status != 0) return 0;

  const RequestKind* kind = FindRequestKind(group, code);
  if (kind == nullptr) return 0;
  switch (kind->answer) {
    case AnswerKind::StatusOnly:
      return 1;
    case AnswerKind::Identification:
      return CheckIdentification(message, size);
    case AnswerKind::IdCardRecord: {
      uint8_t record[kIdCardRecordSize];
      CopyOut(message, size, 3, sizeof record, record);
      DecodeIdCardRecord(record, fields, portrait, size > 3 ? size - 3 : 0);
      return 1;
    }
    case AnswerKind::Iccid:
      DecodeIccid(message, size, fields);
      return 1;
    case AnswerKind::CardType:
      fields.CardType = ByteAt(message, size, 3);
      return 1;
  }
  return 0;
}

}  // namespace q48
