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

// Holder data as UTF-8 text, each at most its field's room in the kind's
// layout (kCardLayouts); the record stores it as UTF-16LE padded with
// blanks, the way cards do. A kind uses only its own fields.
struct IdCardFields {
  std::string kind = "resident";  // a layout's name: resident, hk_mo_tw, foreign_2017, foreign_2023
  std::string name;
  std::string sexCode;           // "1" or "2"
  std::string nationCode;        // "01".."58"
  std::string birthDate;         // YYYYMMDD
  std::string address;
  std::string idNumber;          // foreigners' cards: the card number
  std::string issuingAuthority;
  std::string validFrom;         // YYYYMMDD
  std::string validTo;           // YYYYMMDD, or e.g. "长期"
  std::string reserved;          // resident: raw bytes, at most kReservedSize
  std::string passNumber;        // hk_mo_tw: the holder's travel permit
  std::string issueCount;        // hk_mo_tw: "01"
  std::string englishName;       // foreigners
  std::string chineseName;       // foreigners; may be blank
  std::string nationality;       // foreigners: ISO 3166-1 alpha-3
  std::string cardVersion;       // foreign_2017
  std::string authorityCode;     // foreign_2017
  std::string renewalCount;      // foreign_2023
  std::string previousNumberLink;  // foreign_2023
  std::string kindMark;          // when set: this character instead of the kind's mark
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
// units (blank-padded), and from which of the text's units the room is
// filled (a text split over two places). The reserved bytes, the kind mark
// and the portrait are placed apart.
struct CardText {
  const char* key;
  std::string IdCardFields::*text;
  size_t offset;
  size_t units;
  size_t fromUnit = 0;
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
// Hong Kong, Macao and Taiwan residents' permit: the resident texts, then
// the travel permit's number and how often the permit was issued.
inline constexpr CardText kHkMoTwTexts[] = {
    {"name", &IdCardFields::name, 14, 15},
    {"sex_code", &IdCardFields::sexCode, 44, 1},
    {"nation_code", &IdCardFields::nationCode, 46, 2},
    {"birth_date", &IdCardFields::birthDate, 50, 8},
    {"address", &IdCardFields::address, 66, 35},
    {"id_number", &IdCardFields::idNumber, 136, 18},
    {"issuing_authority", &IdCardFields::issuingAuthority, 172, 15},
    {"valid_from", &IdCardFields::validFrom, 202, 8},
    {"valid_to", &IdCardFields::validTo, 218, 8},
    {"pass_number", &IdCardFields::passNumber, 234, 9},
    {"issue_count", &IdCardFields::issueCount, 252, 2},
};
// Foreigner's permanent residence card, 2017.
inline constexpr CardText kForeign2017Texts[] = {
    {"english_name", &IdCardFields::englishName, 14, 60},
    {"sex_code", &IdCardFields::sexCode, 134, 1},
    {"id_number", &IdCardFields::idNumber, 136, 15},
    {"nationality", &IdCardFields::nationality, 166, 3},
    {"chinese_name", &IdCardFields::chineseName, 172, 15},
    {"valid_from", &IdCardFields::validFrom, 202, 8},
    {"valid_to", &IdCardFields::validTo, 218, 8},
    {"birth_date", &IdCardFields::birthDate, 234, 8},
    {"card_version", &IdCardFields::cardVersion, 250, 2},
    {"authority_code", &IdCardFields::authorityCode, 254, 4},
};
// Foreigner's permanent residence card, 2023: the English name's first 35
// characters, and its characters 36 to 46 further on.
inline constexpr CardText kForeign2023Texts[] = {
    {"chinese_name", &IdCardFields::chineseName, 14, 15},
    {"sex_code", &IdCardFields::sexCode, 44, 1},
    {"renewal_count", &IdCardFields::renewalCount, 46, 2},
    {"birth_date", &IdCardFields::birthDate, 50, 8},
    {"english_name", &IdCardFields::englishName, 66, 35},
    {"id_number", &IdCardFields::idNumber, 136, 18},
    {"valid_from", &IdCardFields::validFrom, 202, 8},
    {"valid_to", &IdCardFields::validTo, 218, 8},
    {"english_name", &IdCardFields::englishName, 234, 11, 35},
    {"nationality", &IdCardFields::nationality, 256, 3},
    {"previous_number_link", &IdCardFields::previousNumberLink, 264, 3},
};

// A kind's layout: its name in profiles, its mark (0: none, the text block's
// unused bytes stay zero) and its texts.
struct CardLayout {
  const char* kind;
  char16_t mark;
  const CardText* texts;
  size_t count;
  constexpr const CardText* begin() const { return texts; }
  constexpr const CardText* end() const { return texts + count; }
};
template <size_t N>
constexpr CardLayout Layout(const char* kind, char16_t mark, const CardText (&texts)[N]) {
  return {kind, mark, texts, N};
}
inline constexpr CardLayout kCardLayouts[] = {
    Layout("resident", 0, kCardTexts),
    Layout("hk_mo_tw", u'J', kHkMoTwTexts),
    Layout("foreign_2017", u'I', kForeign2017Texts),
    Layout("foreign_2023", u'Y', kForeign2023Texts),
};
// The layout of a kind's name; null for a name that is none.
const CardLayout* FindLayout(const std::string& kind);
// A text's room in a layout, over all its places; 0: not a text of it.
size_t RoomOf(const CardLayout& layout, const std::string& key);

inline constexpr const char* kReservedKey = CardFieldKey(&ResultFields::ReservedText);
inline constexpr const char* kKindKey = "card_kind";
inline constexpr const char* kKindMarkKey = "kind_mark";
constexpr size_t kRecordSize = 1295;
constexpr size_t kTextBlockOffset = 14;
constexpr size_t kTextBlockSize = 256;
constexpr size_t kKindMarkOffset = 262;
constexpr size_t kReservedOffset = 234;
constexpr size_t kReservedSize = 10;
constexpr size_t kPortraitOffset = 270;
constexpr size_t kPortraitSize = 1024;

}  // namespace detail
}  // namespace q48emu
