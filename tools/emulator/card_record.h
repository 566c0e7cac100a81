// The card the emulator plays: its profile (the holder's texts and portrait,
// the SIM card's answers) and the identity-card record built from it.
//
// Pure data and functions; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/card_fields.h"

namespace q48emu {

// Holder data as UTF-8 text, each at most its field's room (kCardTexts); the
// record stores it as UTF-16LE padded with blanks, the way cards do.
struct IdCardFields {
  std::string name;
  std::string sexCode;           // "1" or "2"
  std::string nationCode;        // "01".."58"
  std::string birthDate;         // YYYYMMDD
  std::string address;
  std::string idNumber;
  std::string issuingAuthority;
  std::string validFrom;         // YYYYMMDD
  std::string validTo;           // YYYYMMDD, or e.g. "长期"
  std::string reserved;          // raw bytes, at most kReservedSize
};

struct CardProfile {
  std::string identText = "CPU-Q48-EMULATOR";  // answer to the identification request
  std::string iccid = "89860012345678901234";  // answer to the ICCID request
  uint8_t cardType = 1;                          // answer to the card-type request
  IdCardFields idCard;
  std::vector<uint8_t> portrait;  // compressed portrait (stand-in format), at most 1024 bytes
  bool acceptWrites = true;       // false: write steps are answered with status 1
};

// The sample card that ships with the project (fields and portrait).
CardProfile SampleCard();

// The 1295-byte identity-card record for a profile. Texts too long for
// their field are cut (never between the halves of a surrogate pair).
std::vector<uint8_t> BuildIdCardRecord(const CardProfile& profile);

namespace detail {

// The record's layout, written here on purpose apart from the library's
// decoder (protocol/card_fields.h): the emulator builds records from its own
// reading of the layout, so a slip in either shows up as a failing
// end-to-end test instead of agreeing with itself. Only the profile keys,
// which are the result's keys for the same texts, come from the library.
//
// The UTF-16LE texts: profile key, field, record offset and room in UTF-16
// units (blank-padded). The reserved bytes and the portrait are placed apart.
struct CardText {
  const char* key;
  std::string IdCardFields::*text;
  size_t offset;
  size_t units;
};
using q48::CardFieldKey;
using q48::ResultFields;
inline constexpr CardText kCardTexts[] = {
    {CardFieldKey(&ResultFields::Name), &IdCardFields::name, 14, 15},
    {CardFieldKey(&ResultFields::SexCode), &IdCardFields::sexCode, 44, 1},
    // The card holds the code; results carry the group's name under "nation".
    {"nation_code", &IdCardFields::nationCode, 46, 2},
    {CardFieldKey(&ResultFields::BirthDate), &IdCardFields::birthDate, 50, 8},
    {CardFieldKey(&ResultFields::Address), &IdCardFields::address, 66, 35},
    {CardFieldKey(&ResultFields::IdNumber), &IdCardFields::idNumber, 136, 18},
    {CardFieldKey(&ResultFields::IssuingAuthority), &IdCardFields::issuingAuthority, 172, 15},
    {CardFieldKey(&ResultFields::ValidFrom), &IdCardFields::validFrom, 202, 8},
    {CardFieldKey(&ResultFields::ValidTo), &IdCardFields::validTo, 218, 8},
};
inline constexpr const char* kReservedKey = CardFieldKey(&ResultFields::ReservedText);
constexpr size_t kRecordSize = 1295;
constexpr size_t kReservedOffset = 234;
constexpr size_t kReservedSize = 10;
constexpr size_t kPortraitOffset = 270;
constexpr size_t kPortraitSize = 1024;

}  // namespace detail
}  // namespace q48emu
