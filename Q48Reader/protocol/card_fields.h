// The identity card's eleven fields, listed once: where the record keeps
// each, how it becomes text, the result slot it fills, where zelReadCard puts
// it in the caller's buffer, and its key in the tools' JSON result. The record
// decoder, ClearResultFields, the copy into the caller's buffer, the tools'
// result object and q48's text output all walk this table, in its order.
//
// Constant data; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Q48Reader.h"
#include "response.h"

namespace q48 {

// How a field's record bytes become its slot's text.
enum class CardDecoding : uint8_t {
  Text,           // UTF-16LE to GBK, blank fill kept
  TrimmedText,    // UTF-16LE to GBK, trailing white space removed
  EthnicGroup,    // UTF-16LE decimal code, trimmed, then the group's name
  ValidityStart,  // the trimmed validity text's first kValidityDateSize bytes
  ValidityEnd,    // its kValidityDateSize bytes from position kValidityDateSize
  NarrowText,     // 8-bit text up to the first zero byte, trimmed
  Portrait,       // converted to JPEG, then Base64
};

// The validity text holds its start and end date, YYYYMMDD each.
constexpr size_t kValidityDateSize = 8;

struct CardField {
  std::string ResultFields::*slot;
  size_t recordOffset;  // in the identity-card record
  size_t recordSize;    // bytes
  CardDecoding decoding;
  size_t bufferOffset;  // in zelReadCard's buffer
  const char* key;      // in the tools' JSON result
  const char* label;    // in q48's text output; null: not shown there
};

inline constexpr CardField kCardFields[] = {
    {&ResultFields::Name, 14, 30, CardDecoding::Text, 0 * Q48_FIELD_STRIDE, "name", "Name"},
    {&ResultFields::SexCode, 44, 2, CardDecoding::TrimmedText, 1 * Q48_FIELD_STRIDE, "sex_code", "Sex code"},
    {&ResultFields::Nation, 46, 4, CardDecoding::EthnicGroup, 2 * Q48_FIELD_STRIDE, "nation", "Ethnic group"},
    {&ResultFields::BirthDate, 50, 16, CardDecoding::TrimmedText, 3 * Q48_FIELD_STRIDE, "birth_date", "Birth date"},
    {&ResultFields::Address, 66, 70, CardDecoding::TrimmedText, 4 * Q48_FIELD_STRIDE, "address", "Address"},
    {&ResultFields::IdNumber, 136, 36, CardDecoding::TrimmedText, 5 * Q48_FIELD_STRIDE, "id_number", "ID number"},
    {&ResultFields::IssuingAuthority, 172, 30, CardDecoding::TrimmedText, 6 * Q48_FIELD_STRIDE, "issuing_authority",
     "Issued by"},
    {&ResultFields::ValidFrom, 202, 32, CardDecoding::ValidityStart, 7 * Q48_FIELD_STRIDE, "valid_from", "Valid from"},
    {&ResultFields::ValidTo, 202, 32, CardDecoding::ValidityEnd, 8 * Q48_FIELD_STRIDE, "valid_to", "Valid to"},
    {&ResultFields::ReservedText, 234, 10, CardDecoding::NarrowText, 9 * Q48_FIELD_STRIDE, "reserved", "Reserved"},
    // The data URL is for programs, not for reading.
    {&ResultFields::PhotoBase64, 270, 1024, CardDecoding::Portrait, 10 * Q48_FIELD_STRIDE, "portrait", nullptr},
};

// The key of the field that fills `slot`; null for a slot outside the table.
constexpr const char* CardFieldKey(std::string ResultFields::*slot) {
  for (const CardField& field : kCardFields)
    if (field.slot == slot) return field.key;
  return nullptr;
}

// Every field lies inside the record, and every text but the portrait fits
// its place in the caller's buffer: a UTF-16 unit gives at most two bytes.
constexpr bool FieldsFitTheirPlaces() {
  for (const CardField& field : kCardFields) {
    if (field.recordOffset + field.recordSize > kIdCardRecordSize) return false;
    if (field.decoding != CardDecoding::Portrait && field.recordSize > Q48_FIELD_STRIDE) return false;
  }
  return true;
}
static_assert(FieldsFitTheirPlaces(), "a card field outgrows the record or its place in the buffer");

}  // namespace q48
