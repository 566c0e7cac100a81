// The cards the reader reads and their fields, listed once. Every kind of
// card shares the record: a 256-byte UTF-16LE text block, then the portrait.
// A one-character mark in the text block says which layout the block has.
// For each kind, its table says where the record keeps each field, how it
// becomes text, the result slot it fills (and so its place in zelReadCard's
// buffer), its key in the tools' JSON result and its label in q48's text.
// The record decoder, the copy into the caller's buffer, the tools' result
// object and q48's text output all walk the kind's table, in its order.
//
// Constant data; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Q48Reader.h"
#include "response.h"

namespace q48 {

// How a field's record bytes become its text.
enum class CardDecoding : uint8_t {
  Text,           // UTF-16LE to GBK, blank fill kept
  TrimmedText,    // UTF-16LE to GBK, trailing white space removed
  EthnicGroup,    // UTF-16LE decimal code, trimmed, then the group's name
  ValidityStart,  // the trimmed validity text's first kValidityDateSize bytes
  ValidityEnd,    // its kValidityDateSize bytes from position kValidityDateSize
  NarrowText,     // 8-bit text up to the first zero byte, trimmed
  JoinedText,     // this place's text, then the `more` place's, trimmed together
  KindMark,       // the kind mark's character (UTF-16LE to GBK)
  Portrait,       // converted to JPEG, then Base64
};

// The validity text holds its start and end date, YYYYMMDD each.
constexpr size_t kValidityDateSize = 8;

// The kind mark: one UTF-16LE character, in bytes the resident layout leaves
// unused. Blank or zero there: a resident identity card.
constexpr size_t kKindMarkOffset = 262;
constexpr size_t kKindMarkSize = 2;

struct CardField {
  // The slot it fills, which the caller's buffer carries at the slot's
  // offset (kResultSlots); null: the field is in the tools' result only.
  std::string ResultFields::*slot;
  size_t recordOffset;  // in the identity-card record
  size_t recordSize;    // bytes
  CardDecoding decoding;
  const char* key;    // in the tools' JSON result; null: the buffer's only
  const char* label;  // in q48's text output; null: not shown there
  size_t moreOffset = 0;  // JoinedText: where the rest of the text is
  size_t moreSize = 0;
};

// zelReadCard's buffer: each slot's offset, whatever the kind.
struct ResultSlot {
  std::string ResultFields::*slot;
  size_t bufferOffset;
};
inline constexpr ResultSlot kResultSlots[] = {
    {&ResultFields::Name, 0 * Q48_FIELD_STRIDE},
    {&ResultFields::SexCode, 1 * Q48_FIELD_STRIDE},
    {&ResultFields::Nation, 2 * Q48_FIELD_STRIDE},
    {&ResultFields::BirthDate, 3 * Q48_FIELD_STRIDE},
    {&ResultFields::Address, 4 * Q48_FIELD_STRIDE},
    {&ResultFields::IdNumber, 5 * Q48_FIELD_STRIDE},
    {&ResultFields::IssuingAuthority, 6 * Q48_FIELD_STRIDE},
    {&ResultFields::ValidFrom, 7 * Q48_FIELD_STRIDE},
    {&ResultFields::ValidTo, 8 * Q48_FIELD_STRIDE},
    {&ResultFields::ReservedText, 9 * Q48_FIELD_STRIDE},
    {&ResultFields::PhotoBase64, 10 * Q48_FIELD_STRIDE},  // open-ended: runs to the buffer's end
};

// The portrait: the same place on every card. The data URL is for
// programs, not for reading.
inline constexpr CardField kPortraitField = {&ResultFields::PhotoBase64, 270, 1024, CardDecoding::Portrait,
                                             "portrait", nullptr};

// The resident layout up to the validity, which the Hong Kong, Macao and
// Taiwan residence permit shares.
inline constexpr CardField kResidentName = {&ResultFields::Name, 14, 30, CardDecoding::Text, "name", "Name"};
inline constexpr CardField kResidentSex = {&ResultFields::SexCode, 44, 2, CardDecoding::TrimmedText, "sex_code",
                                           "Sex code"};
inline constexpr CardField kResidentNation = {&ResultFields::Nation, 46, 4, CardDecoding::EthnicGroup, "nation",
                                              "Ethnic group"};
inline constexpr CardField kResidentBirth = {&ResultFields::BirthDate, 50, 16, CardDecoding::TrimmedText,
                                             "birth_date", "Birth date"};
inline constexpr CardField kResidentAddress = {&ResultFields::Address, 66, 70, CardDecoding::TrimmedText, "address",
                                               "Address"};
inline constexpr CardField kResidentNumber = {&ResultFields::IdNumber, 136, 36, CardDecoding::TrimmedText,
                                              "id_number", "ID number"};
inline constexpr CardField kResidentAuthority = {&ResultFields::IssuingAuthority, 172, 30, CardDecoding::TrimmedText,
                                                 "issuing_authority", "Issued by"};
inline constexpr CardField kResidentValidFrom = {&ResultFields::ValidFrom, 202, 32, CardDecoding::ValidityStart,
                                                 "valid_from", "Valid from"};
inline constexpr CardField kResidentValidTo = {&ResultFields::ValidTo, 202, 32, CardDecoding::ValidityEnd, "valid_to",
                                               "Valid to"};

// Resident identity card; also every card whose mark is not known.
inline constexpr CardField kResidentFields[] = {
    kResidentName, kResidentSex, kResidentNation, kResidentBirth, kResidentAddress, kResidentNumber,
    kResidentAuthority, kResidentValidFrom, kResidentValidTo,
    {&ResultFields::ReservedText, 234, 10, CardDecoding::NarrowText, "reserved", "Reserved"},
    kPortraitField,
};

// Residence permit for residents of Hong Kong, Macao and Taiwan: the
// resident layout up to the validity, then the holder's travel permit.
inline constexpr CardField kHkMoTwFields[] = {
    kResidentName, kResidentSex, kResidentNation, kResidentBirth, kResidentAddress, kResidentNumber,
    kResidentAuthority, kResidentValidFrom, kResidentValidTo,
    {nullptr, 234, 18, CardDecoding::TrimmedText, "pass_number", "Pass number"},
    {nullptr, 252, 4, CardDecoding::TrimmedText, "issue_count", "Issue count"},
    {&ResultFields::ReservedText, kKindMarkOffset, kKindMarkSize, CardDecoding::KindMark, nullptr, nullptr},
    kPortraitField,
};

// Foreigner's permanent residence card, 2017 edition. The English name is
// the name; the nationality (ISO 3166-1 alpha-3) takes the ethnic group's slot.
inline constexpr CardField kForeign2017Fields[] = {
    {&ResultFields::Name, 14, 120, CardDecoding::TrimmedText, "name", nullptr},
    {nullptr, 14, 120, CardDecoding::TrimmedText, "english_name", "English name"},
    {nullptr, 172, 30, CardDecoding::TrimmedText, "chinese_name", "Chinese name"},
    {&ResultFields::SexCode, 134, 2, CardDecoding::TrimmedText, "sex_code", "Sex code"},
    {&ResultFields::Nation, 166, 6, CardDecoding::TrimmedText, "nationality", "Nationality"},
    {&ResultFields::BirthDate, 234, 16, CardDecoding::TrimmedText, "birth_date", "Birth date"},
    {&ResultFields::IdNumber, 136, 30, CardDecoding::TrimmedText, "id_number", "Card number"},
    {&ResultFields::IssuingAuthority, 254, 8, CardDecoding::TrimmedText, "authority_code", "Authority code"},
    {&ResultFields::ValidFrom, 202, 16, CardDecoding::TrimmedText, "valid_from", "Valid from"},
    {&ResultFields::ValidTo, 218, 16, CardDecoding::TrimmedText, "valid_to", "Valid to"},
    {nullptr, 250, 4, CardDecoding::TrimmedText, "card_version", "Card version"},
    {&ResultFields::ReservedText, kKindMarkOffset, kKindMarkSize, CardDecoding::KindMark, nullptr, nullptr},
    kPortraitField,
};

// Foreigner's permanent residence card, 2023 edition: the English name's
// first 35 characters, and its characters 36 to 46 near the block's end.
inline constexpr CardField kForeign2023Fields[] = {
    {&ResultFields::Name, 66, 70, CardDecoding::JoinedText, "name", nullptr, 234, 22},
    {nullptr, 66, 70, CardDecoding::JoinedText, "english_name", "English name", 234, 22},
    {nullptr, 14, 30, CardDecoding::TrimmedText, "chinese_name", "Chinese name"},
    {&ResultFields::SexCode, 44, 2, CardDecoding::TrimmedText, "sex_code", "Sex code"},
    {&ResultFields::Nation, 256, 6, CardDecoding::TrimmedText, "nationality", "Nationality"},
    {&ResultFields::BirthDate, 50, 16, CardDecoding::TrimmedText, "birth_date", "Birth date"},
    {&ResultFields::IdNumber, 136, 36, CardDecoding::TrimmedText, "id_number", "Card number"},
    {&ResultFields::ValidFrom, 202, 16, CardDecoding::TrimmedText, "valid_from", "Valid from"},
    {&ResultFields::ValidTo, 218, 16, CardDecoding::TrimmedText, "valid_to", "Valid to"},
    {nullptr, 46, 4, CardDecoding::TrimmedText, "renewal_count", "Renewal count"},
    {nullptr, 264, 6, CardDecoding::TrimmedText, "previous_number_link", "Earlier card link"},
    {&ResultFields::ReservedText, kKindMarkOffset, kKindMarkSize, CardDecoding::KindMark, nullptr, nullptr},
    kPortraitField,
};

// One kind: its mark, its names and its fields.
struct CardKindInfo {
  CardKind kind;
  char16_t mark;      // 0: none of its own (resident: blank or zero; unknown: any other)
  const char* key;    // fields.card_kind in the tools' JSON result
  const char* title;  // q48's "Card:" line
  const CardField* fields;
  size_t count;
  constexpr const CardField* begin() const { return fields; }
  constexpr const CardField* end() const { return fields + count; }
};

template <size_t N>
constexpr CardKindInfo Kind(CardKind kind, char16_t mark, const char* key, const char* title,
                            const CardField (&fields)[N]) {
  return {kind, mark, key, title, fields, N};
}

inline constexpr CardKindInfo kCardKinds[] = {
    Kind(CardKind::Resident, 0, "resident", "resident identity card", kResidentFields),
    Kind(CardKind::HkMoTw, u'J', "hk_mo_tw", "residence permit for Hong Kong, Macao and Taiwan residents",
         kHkMoTwFields),
    Kind(CardKind::Foreign2017, u'I', "foreign_2017", "foreign permanent residence card (2017)", kForeign2017Fields),
    Kind(CardKind::Foreign2023, u'Y', "foreign_2023", "foreign permanent residence card (2023)", kForeign2023Fields),
    // Decoded as a resident card; the result names its mark.
    Kind(CardKind::Unknown, 0, "unknown", "card of a kind this version does not know", kResidentFields),
};

// The kind a mark character names.
constexpr const CardKindInfo& KindOfMark(char16_t mark) {
  if (mark == u' ' || mark == 0) return kCardKinds[0];
  for (const CardKindInfo& kind : kCardKinds)
    if (kind.mark != 0 && kind.mark == mark) return kind;
  return kCardKinds[std::size(kCardKinds) - 1];
}

constexpr const CardKindInfo& InfoOf(CardKind kind) {
  for (const CardKindInfo& info : kCardKinds)
    if (info.kind == kind) return info;
  return kCardKinds[0];
}

// A slot's offset in zelReadCard's buffer.
constexpr size_t BufferOffset(std::string ResultFields::*slot) {
  for (const ResultSlot& place : kResultSlots)
    if (place.slot == slot) return place.bufferOffset;
  return SIZE_MAX;
}

// The key of the resident field that fills `slot`; null for a slot outside
// the table.
constexpr const char* CardFieldKey(std::string ResultFields::*slot) {
  for (const CardField& field : kResidentFields)
    if (field.slot == slot) return field.key;
  return nullptr;
}

// A field's decoded text: its slot's, or for a field without one its place
// among the kind's own values.
inline const std::string& FieldText(const ResultFields& fields, const CardKindInfo& kind, const CardField& field) {
  return field.slot != nullptr ? fields.*field.slot : fields.KindValues[static_cast<size_t>(&field - kind.fields)];
}

// Every field lies inside the record, fills a slot that the buffer has, and
// no two fields of a kind fill the same slot. Texts longer than a slot's
// place are cut when copied (exchange.cpp).
constexpr bool FieldsFitTheirPlaces() {
  for (const CardKindInfo& kind : kCardKinds) {
    for (const CardField& field : kind) {
      if (field.recordOffset + field.recordSize > kIdCardRecordSize) return false;
      if (field.moreOffset + field.moreSize > kIdCardRecordSize) return false;
      if (field.slot != nullptr && BufferOffset(field.slot) == SIZE_MAX) return false;
      for (const CardField* other = &field + 1; other != kind.end(); ++other)
        if (field.slot != nullptr && other->slot == field.slot) return false;
    }
  }
  return true;
}
static_assert(FieldsFitTheirPlaces(), "a card field lies outside the record or fills a slot twice");

}  // namespace q48
