// The response parser with arbitrary messages, identity-card records
// included.
//
// Input: the message (group, code, status, data). For a read-card answer the
// bytes after the 1295-byte record are the JPEG that the converter double
// hands back, and the last input byte picks how the converter behaves:
// failing, succeeding, or breaking its contract on the length.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "photo/base64.h"
#include "photo/portrait.h"
#include "protocol/card_fields.h"
#include "protocol/response.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kRecordOffset = 3;
constexpr size_t kPortraitOffset = 270;
constexpr size_t kPortraitSize = 1024;

enum class Mode { Fail, Succeed, BadLength, OtherResult };

class ConverterDouble : public q48::PortraitConverter {
 public:
  ConverterDouble(Mode mode, const uint8_t* jpeg, size_t jpegSize, const uint8_t* portrait)
      : mode_(mode), jpeg_(jpeg), jpegSize_(jpegSize), portrait_(portrait) {}

  int32_t ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg, size_t capacity) override {
    ++calls;
    // The decoder is handed the card's 1024 portrait bytes and 1024 zeros.
    FUZZ_CHECK(*length == 2048);
    FUZZ_CHECK(std::memcmp(portrait, portrait_, kPortraitSize) == 0);
    FUZZ_CHECK(std::all_of(portrait + kPortraitSize, portrait + 2048, [](uint8_t b) { return b == 0; }));
    const size_t n = std::min(jpegSize_, capacity);
    switch (mode_) {
      case Mode::Fail:
        return 0;
      case Mode::Succeed:
        std::memcpy(jpeg, jpeg_, n);
        *length = static_cast<int32_t>(n);
        return 1;
      case Mode::BadLength:
        std::memcpy(jpeg, jpeg_, n);
        *length = jpegSize_ % 2 ? -1 : static_cast<int32_t>(capacity) + 1 + static_cast<int32_t>(jpegSize_);
        return 1;
      case Mode::OtherResult:
        std::memcpy(jpeg, jpeg_, n);
        *length = static_cast<int32_t>(n);
        return jpegSize_ % 2 ? -1 : 2;
    }
    return 0;
  }

  int calls = 0;

 private:
  Mode mode_;
  const uint8_t* jpeg_;
  size_t jpegSize_;
  const uint8_t* portrait_;
};

std::string Base64(const uint8_t* bytes, size_t size) {
  std::vector<char> text(size / 3 * 4 + 8, 0);
  q48::Base64Encode(text.data(), bytes, static_cast<int32_t>(size));
  return text.data();
}

q48::ResultFields Sentinel() {
  q48::ResultFields fields;
  for (std::string* slot : {&fields.Name, &fields.SexCode, &fields.Nation, &fields.BirthDate, &fields.Address,
                            &fields.IdNumber, &fields.IssuingAuthority, &fields.ValidFrom, &fields.ValidTo,
                            &fields.ReservedText, &fields.PhotoBase64, &fields.Iccid})
    *slot = "previous";
  fields.CardType = 0xBEEF;
  return fields;
}

bool Same(const q48::ResultFields& a, const q48::ResultFields& b) {
  return a.Name == b.Name && a.SexCode == b.SexCode && a.Nation == b.Nation && a.BirthDate == b.BirthDate &&
         a.Address == b.Address && a.IdNumber == b.IdNumber && a.IssuingAuthority == b.IssuingAuthority &&
         a.ValidFrom == b.ValidFrom && a.ValidTo == b.ValidTo && a.ReservedText == b.ReservedText &&
         a.PhotoBase64 == b.PhotoBase64 && a.Iccid == b.Iccid && a.CardType == b.CardType;
}

// A decoded text: no NUL inside (callers read the fields up to the zero
// fill) and no longer than its place on the card.
void CheckText(const std::string& text, size_t limit) {
  FUZZ_CHECK(text.size() <= limit);
  FUZZ_CHECK(text.find('\0') == std::string::npos);
}

// The empty text or one of the 58 names.
bool IsEthnicGroupName(const std::string& text) {
  for (long code = 0; code <= 58; ++code)
    if (text == q48::EthnicGroupName(code)) return true;
  return false;
}

// Whether the last character (walking GBK: a lead byte takes the next byte
// with it) is single-byte white space.
bool EndsInSpace(const std::string& text) {
  bool space = false;
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x81 && c <= 0xFE && at + 1 < text.size()) {
      space = false;
      at += 2;
    } else {
      space = std::strchr(" \t\n\v\f\r", c) != nullptr && c != 0;
      ++at;
    }
  }
  return space;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the message, so that any read past it is caught.
  const Bytes message(data, data + size);
  // An empty message still has an address; any read through it is caught.
  const std::unique_ptr<uint8_t[]> empty(new uint8_t[0]);
  const uint8_t* bytes = size ? message.data() : empty.get();

  // The record as the parser sees it: bytes past the message read as 0.
  Bytes record(q48::kIdCardRecordSize, 0);
  if (size > kRecordOffset)
    std::copy_n(data + kRecordOffset, std::min(size - kRecordOffset, record.size()), record.begin());
  const size_t jpegFrom = kRecordOffset + q48::kIdCardRecordSize;
  const size_t jpegSize = size > jpegFrom + 1 ? size - jpegFrom - 1 : 0;
  const Mode mode = size ? static_cast<Mode>(data[size - 1] & 3) : Mode::Fail;
  ConverterDouble portrait(mode, data + std::min(jpegFrom, size), jpegSize, record.data() + kPortraitOffset);

  q48::ResultFields fields = Sentinel();
  const int result = q48::ParseResponse(bytes, size, fields, portrait);
  FUZZ_CHECK(result == 0 || result == 1);
  if (result == 0) {
    FUZZ_CHECK(Same(fields, Sentinel()));
    FUZZ_CHECK(portrait.calls == 0);
    return 0;
  }
  // Only status 0 is accepted (bytes past the message read as 0).
  FUZZ_CHECK(size < 3 || data[2] == 0);
  const uint8_t group = data[0], code = data[1];

  if (group == 10 && code == 4) {
    FUZZ_CHECK(portrait.calls == 1);
    // The record's mark picks the kind; a mark not wholly received is none.
    const size_t markAt = kRecordOffset + q48::kKindMarkOffset;
    const char16_t mark =
        size >= markAt + 2 ? static_cast<char16_t>(data[markAt] | data[markAt + 1] << 8) : char16_t{0};
    const q48::CardKindInfo& kind = q48::KindOfMark(mark);
    FUZZ_CHECK(fields.Kind == kind.kind);
    FUZZ_CHECK(fields.KindValues.size() == kind.count);
    for (const q48::CardField& field : kind) {
      const std::string& text = q48::FieldText(fields, kind, field);
      switch (field.decoding) {
        case q48::CardDecoding::Portrait: continue;
        case q48::CardDecoding::EthnicGroup: FUZZ_CHECK(IsEthnicGroupName(text)); continue;
        case q48::CardDecoding::ValidityStart:
        case q48::CardDecoding::ValidityEnd: CheckText(text, q48::kValidityDateSize); continue;
        case q48::CardDecoding::Text:
        case q48::CardDecoding::KindMark: CheckText(text, field.recordSize); continue;
        default: CheckText(text, field.recordSize + field.moreSize); FUZZ_CHECK(!EndsInSpace(text));
      }
    }
    // Slots the kind does not fill are empty.
    for (const q48::ResultSlot& place : q48::kResultSlots) {
      bool filled = false;
      for (const q48::CardField& field : kind) filled = filled || field.slot == place.slot;
      FUZZ_CHECK(filled || (fields.*place.slot).empty());
    }
    // The portrait text: the converter's JPEG when it kept its contract,
    // otherwise that of 2048 zero bytes; never anything in between.
    const size_t delivered = std::min<size_t>(jpegSize, static_cast<size_t>(q48::kMaxPortraitJpeg));
    const std::string expected = mode == Mode::Succeed ? Base64(data + jpegFrom, delivered)
                                                       : Base64(Bytes(2048, 0).data(), 2048);
    FUZZ_CHECK(fields.PhotoBase64 == expected);
    FUZZ_CHECK(fields.PhotoBase64.size() < q48::kPortraitTextBuffer);
    // The SIM card's values are not touched by an identity-card read.
    FUZZ_CHECK(fields.Iccid == "previous" && fields.CardType == 0xBEEF);
    return 0;
  }

  FUZZ_CHECK(portrait.calls == 0);
  q48::ResultFields unchanged = Sentinel();
  if (group == 3 && code == 15) {
    CheckText(fields.Iccid, q48::kIccidTextBuffer - 1);
    FUZZ_CHECK(!EndsInSpace(fields.Iccid));
    unchanged.Iccid = fields.Iccid;
  } else if (group == 3 && code == 10) {
    FUZZ_CHECK(fields.CardType == (size > 3 ? data[3] : 0));
    unchanged.CardType = fields.CardType;
  } else if (group == 0 && code == 2) {
    // Only the reader's own name is taken: "CPU-Q48" within the count.
    FUZZ_CHECK(size >= 12 && (data[3] | (data[4] << 8)) >= 7 && std::memcmp(data + 5, "CPU-Q48", 7) == 0);
  } else {
    // Acknowledgements change nothing.
    FUZZ_CHECK((group == 3 && (code == 11 || code == 12)) || (group == 0 && code == 1));
  }
  FUZZ_CHECK(Same(fields, unchanged));
  return 0;
}
