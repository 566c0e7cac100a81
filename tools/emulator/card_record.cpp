#include "card_record.h"

#include <algorithm>
#include <cstring>

#include "tool_platform.h"
#include "wlt_format.h"

namespace q48emu {

using namespace detail;

namespace {

// Not examined by the library; marks records that came from the emulator.
constexpr char kRecordHeader[14] = {'Q', '4', '8', '-', 'E', 'M', 'U', '-', 'R', 'E', 'C', 'O', 'R', 'D'};

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// UTF-16LE, blank-padded to the field, cut if too long (never between the
// two halves of a surrogate pair).
void PutText(uint8_t* record, const CardText& field, const std::string& text) {
  const std::u16string units = q48tool::Utf8ToUtf16(text);
  size_t count = std::min(units.size(), field.units);
  if (count > 0 && count < units.size() && IsHighSurrogate(units[count - 1])) --count;
  uint8_t* at = record + field.offset;
  for (size_t i = 0; i < field.units; ++i) {
    const char16_t unit = i < count ? units[i] : u' ';
    at[2 * i] = static_cast<uint8_t>(unit & 0xFF);
    at[2 * i + 1] = static_cast<uint8_t>(unit >> 8);
  }
}

}  // namespace

std::vector<uint8_t> BuildIdCardRecord(const CardProfile& profile) {
  std::vector<uint8_t> record(kRecordSize, 0);
  std::memcpy(record.data(), kRecordHeader, sizeof kRecordHeader);
  const IdCardFields& card = profile.idCard;
  for (const CardText& field : kCardTexts) PutText(record.data(), field, card.*(field.text));
  std::copy_n(card.reserved.begin(), std::min(card.reserved.size(), kReservedSize),
              record.begin() + kReservedOffset);
  std::copy_n(profile.portrait.begin(), std::min(profile.portrait.size(), kPortraitSize),
              record.begin() + kPortraitOffset);
  return record;
}

CardProfile SampleCard() {
  CardProfile card;
  card.identText = "CPU-Q48-EMULATOR";
  card.iccid = "89860318720012345678";
  card.cardType = 1;
  IdCardFields& id = card.idCard;
  id.name = "陈思远";
  id.sexCode = "1";
  id.nationCode = "01";
  id.birthDate = "19880614";
  id.address = "浙江省杭州市西湖区青柳路一百二十八号三幢";
  id.idNumber = "33010619880614131X";
  id.issuingAuthority = "杭州市公安局西湖分局";
  id.validFrom = "20190826";
  id.validTo = "20390826";
  id.reserved = "";
  // The drawn portrait takes well under the card's 1024 bytes; an encoder
  // failure would leave the card without one, which the tests notice.
  wltrs::EncodePortrait(wltrs::DrawSamplePortrait(), &card.portrait);
  return card;
}

}  // namespace q48emu
