// Response parser and the result-field store.
//
// ParseResponse and ClearResultFields run on the export's calling thread,
// never on a reader thread. The store itself has no lock: the library keeps
// one process-wide instance and serialises the exports around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"

namespace q48 {

class PortraitConverter;

// The area a message is taken into: any message fits (frame.h).
constexpr size_t kReceiveAreaSize = kReceiveLimit;
constexpr size_t kIdCardRecordSize = 1295;
constexpr size_t kIdentTextBuffer = 200;  // reader identification text
constexpr size_t kIccidTextBuffer = 60;   // 59 bytes and a terminator

// Which card the record is (card_fields.h lists each kind's fields).
enum class CardKind : uint8_t { Resident, HkMoTw, Foreign2017, Foreign2023, Unknown };

// Decoded values, all 8-bit GBK text. The eleven slots are what zelReadCard
// copies to the caller's buffer; a kind's fields without a slot are kept in
// KindValues, at their place in the kind's table.
struct ResultFields {
  std::string Name;
  std::string SexCode;
  std::string Nation;
  std::string BirthDate;
  std::string Address;
  std::string IdNumber;
  std::string IssuingAuthority;
  std::string ValidFrom;
  std::string ValidTo;
  std::string ReservedText;
  std::string PhotoBase64;
  CardKind Kind = CardKind::Resident;
  std::string KindMark;  // the record's mark character, GBK; empty for a blank or zero mark
  std::vector<std::string> KindValues;
  std::string Iccid;
  uint16_t CardType = 0;
};

// Empties the eleven identity-card slots and the kind's values, and makes
// the kind resident again; Iccid and CardType stay.
void ClearResultFields(ResultFields& fields);

// Decides whether `message` (group, code, status, data) is an answer the
// library accepts, and decodes it into `fields`. `message` points at the
// receive area; bytes from `size` on read as 0, so a short message in a
// smaller buffer is safe. Returns 1 accepted, 0 rejected (nothing changed).
// `portrait` converts the identity card's portrait (read-card answers only).
int ParseResponse(const uint8_t* message, size_t size, ResultFields& fields,
                  PortraitConverter& portrait);

// Decodes a 1295-byte identity-card record into the identity-card slots:
// its kind mark first, then the kind's fields. `received` is how many of its
// bytes came from the reader (the rest read as 0); a mark not wholly received
// counts as none. Never fails; every slot is overwritten.
void DecodeIdCardRecord(const uint8_t* record, ResultFields& fields, PortraitConverter& portrait,
                        size_t received = kIdCardRecordSize);

// Ethnic-group names by code, GBK bytes; 0 and every code outside 1..58
// give the empty text.
const char* EthnicGroupName(long code);

}  // namespace q48
