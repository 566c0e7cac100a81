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

void PutUnit(uint8_t* at, char16_t unit) {
  at[0] = static_cast<uint8_t>(unit & 0xFF);
  at[1] = static_cast<uint8_t>(unit >> 8);
}

// UTF-16LE, blank-padded to the field, cut if too long (never between the
// two halves of a surrogate pair).
void PutText(uint8_t* record, const CardText& field, const std::string& text) {
  std::u16string units = q48tool::Utf8ToUtf16(text);
  // A text split over two places: this place takes its units from fromUnit,
  // starting after a pair the earlier place could not end with.
  size_t from = std::min(field.fromUnit, units.size());
  if (from > 0 && IsHighSurrogate(units[from - 1])) --from;
  units.erase(0, from);
  size_t count = std::min(units.size(), field.units);
  if (count > 0 && count < units.size() && IsHighSurrogate(units[count - 1])) --count;
  uint8_t* at = record + field.offset;
  for (size_t i = 0; i < field.units; ++i) PutUnit(at + 2 * i, i < count ? units[i] : u' ');
}

}  // namespace

const CardLayout* detail::FindLayout(const std::string& kind) {
  for (const CardLayout& layout : kCardLayouts)
    if (kind == layout.kind) return &layout;
  return nullptr;
}

size_t detail::RoomOf(const CardLayout& layout, const std::string& key) {
  size_t room = 0;
  for (const CardText& field : layout)
    if (key == field.key) room = std::max(room, field.fromUnit + field.units);
  return room;
}

std::vector<uint8_t> BuildIdCardRecord(const CardProfile& profile) {
  std::vector<uint8_t> record(kRecordSize, 0);
  std::memcpy(record.data(), kRecordHeader, sizeof kRecordHeader);
  const IdCardFields& card = profile.idCard;
  const CardLayout* found = FindLayout(card.kind);
  const CardLayout& layout = found != nullptr ? *found : kCardLayouts[0];
  // The other kinds fill their whole text block with blanks.
  if (layout.mark != 0)
    for (size_t at = kTextBlockOffset; at < kTextBlockOffset + kTextBlockSize; at += 2) PutUnit(&record[at], u' ');
  for (const CardText& field : layout) PutText(record.data(), field, card.*(field.text));
  if (layout.mark == 0)
    std::copy_n(card.reserved.begin(), std::min(card.reserved.size(), kReservedSize),
                record.begin() + kReservedOffset);
  const std::u16string mark = q48tool::Utf8ToUtf16(card.kindMark);
  if (!mark.empty() || layout.mark != 0) PutUnit(&record[kKindMarkOffset], mark.empty() ? layout.mark : mark[0]);
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
