#include <algorithm>
#include <cstring>
#include <vector>

#include "../photo/base64.h"
#include "../photo/portrait.h"
#include "card_fields.h"
#include "response.h"
#include "text.h"

namespace q48 {

namespace {

// Names by ethnic-group code, stored as GBK bytes. Entry 0 is empty.
const char* const kEthnicGroupNames[59] = {
    "",
    "\xBA\xBA\xD7\xE5",  // 01 汉族
    "\xC3\xC9\xB9\xC5\xD7\xE5",  // 02 蒙古族
    "\xBB\xD8\xD7\xE5",  // 03 回族
    "\xB2\xD8\xD7\xE5",  // 04 藏族
    "\xCE\xAC\xCE\xE1\xB6\xFB\xD7\xE5",  // 05 维吾尔族
    "\xC3\xE7\xD7\xE5",  // 06 苗族
    "\xD2\xCD\xD7\xE5",  // 07 彝族
    "\xD7\xB3\xD7\xE5",  // 08 壮族
    "\xB2\xBC\xD2\xC0\xD7\xE5",  // 09 布依族
    "\xB3\xAF\xCF\xCA\xD7\xE5",  // 10 朝鲜族
    "\xC2\xFA\xD7\xE5",  // 11 满族
    "\xB6\xB1\xD7\xE5",  // 12 侗族
    "\xD1\xFE\xD7\xE5",  // 13 瑶族
    "\xB0\xD7\xD7\xE5",  // 14 白族
    "\xCD\xC1\xBC\xD2\xD7\xE5",  // 15 土家族
    "\xB9\xFE\xC4\xE1\xD7\xE5",  // 16 哈尼族
    "\xB9\xFE\xC8\xF8\xBF\xCB\xD7\xE5",  // 17 哈萨克族
    "\xB4\xF6\xD7\xE5",  // 18 傣族
    "\xC0\xE8\xD7\xE5",  // 19 黎族
    "\xC0\xFC\xC0\xFC\xD7\xE5",  // 20 傈傈族
    "\xD8\xF4\xD7\xE5",  // 21 佤族
    "\xEE\xB4\xD7\xE5",  // 22 畲族
    "\xB8\xDF\xC9\xBD\xD7\xE5",  // 23 高山族
    "\xC0\xAD\xEC\xEF\xD7\xE5",  // 24 拉祜族
    "\xCB\xAE\xD7\xE5",  // 25 水族
    "\xB6\xAB\xCF\xE7\xD7\xE5",  // 26 东乡族
    "\xC4\xC9\xCE\xF7\xD7\xE5",  // 27 纳西族
    "\xBE\xB0\xC6\xC4\xD7\xE5",  // 28 景颇族
    "\xBF\xC2\xB6\xFB\xBF\xCB\xD7\xCE\xD7\xE5",  // 29 柯尔克孜族
    "\xCD\xC1\xD7\xE5",  // 30 土族
    "\xB4\xEF\xBA\xB2\xB6\xFB\xD7\xE5",  // 31 达翰尔族
    "\xD8\xEF\xC0\xD0\xD7\xE5",  // 32 仫佬族
    "\xC7\xBC\xD7\xE5",  // 33 羌族
    "\xB2\xBC\xC0\xCA\xD7\xE5",  // 34 布朗族
    "\xC8\xF6\xC0\xAD\xD7\xE5",  // 35 撒拉族
    "\xC3\xAB\xC4\xD1\xD7\xE5",  // 36 毛难族
    "\xD8\xEE\xC0\xD0\xD7\xE5",  // 37 仡佬族
    "\xCE\xFD\xB2\xAE\xD7\xE5",  // 38 锡伯族
    "\xB0\xA2\xB2\xFD\xD7\xE5",  // 39 阿昌族
    "\xC6\xD5\xC3\xD7\xD7\xE5",  // 40 普米族
    "\xCB\xFE\xBC\xAA\xBF\xCB\xD7\xE5",  // 41 塔吉克族
    "\xC5\xAD\xD7\xE5",  // 42 怒族
    "\xCE\xDA\xD7\xCE\xB1\xF0\xBF\xCB\xD7\xE5",  // 43 乌孜别克族
    "\xB6\xED\xC2\xDE\xCB\xB9\xD7\xE5",  // 44 俄罗斯族
    "\xB6\xF5\xCE\xC2\xBF\xCB\xD7\xE5",  // 45 鄂温克族
    "\xB1\xC0\xC1\xFA\xD7\xE5",  // 46 崩龙族
    "\xB1\xA3\xB0\xB2\xD7\xE5",  // 47 保安族
    "\xD4\xA3\xB9\xCC\xD7\xE5",  // 48 裕固族
    "\xBE\xA9\xD7\xE5",  // 49 京族
    "\xCB\xFE\xCB\xFE\xB6\xFB\xD7\xE5",  // 50 塔塔尔族
    "\xB6\xC0\xC1\xFA\xD7\xE5",  // 51 独龙族
    "\xB6\xF5\xC2\xD7\xB4\xBA\xD7\xE5",  // 52 鄂伦春族
    "\xBA\xD5\xD5\xDC\xD7\xE5",  // 53 赫哲族
    "\xC3\xC5\xB0\xCD\xD7\xE5",  // 54 门巴族
    "\xE7\xF3\xB0\xCD\xD7\xE5",  // 55 珞巴族
    "\xBB\xF9\xC5\xB5\xD7\xE5",  // 56 基诺族
    "\xC9\xD9\xCA\xFD\xC3\xF1\xD7\xE5",  // 57 少数民族
    "\xCD\xE2\xB9\xFA\xD1\xAA\xCD\xB3",  // 58 外国血统
};

constexpr int32_t kPortraitFileSize = 2048;  // portrait plus 1024 zero bytes

std::string Slice(const std::string& text, size_t from, size_t count) {
  return from >= text.size() ? std::string() : text.substr(from, count);
}

// The converter is called once a record, for its one portrait field.
std::string PortraitText(const uint8_t* portraitBytes, size_t size, PortraitConverter& portrait) {
  // The decoder writes exactly 2048 bytes to the portrait file: the portrait
  // and 1024 zero bytes.
  // Heap buffers (zero-filled): 100 KB is too much for a host's small stacks.
  std::vector<uint8_t> wlt(kPortraitFileSize, 0);
  std::vector<uint8_t> jpeg(kPortraitTextBuffer, 0);
  std::vector<char> text(kPortraitTextBuffer, 0);
  std::memcpy(wlt.data(), portraitBytes, size);
  int32_t length = kPortraitFileSize;
  const int32_t result =
      portrait.ConvertPortrait(wlt.data(), &length, jpeg.data(), static_cast<size_t>(kMaxPortraitJpeg));
  if (result != 1 || length < 0 || length > kMaxPortraitJpeg) {
    // Failed (or a converter that broke its contract): the portrait text is
    // that of 2048 zero bytes, never a partial or earlier picture.
    std::fill(jpeg.begin(), jpeg.end(), 0);
    length = kPortraitFileSize;
  }
  Base64Encode(text.data(), jpeg.data(), length);
  return text.data();
}

std::string DecodeField(const uint8_t* record, const CardField& field, PortraitConverter& portrait) {
  const uint8_t* at = record + field.recordOffset;
  switch (field.decoding) {
    case CardDecoding::Text:
      return Utf16LeToGbk(at, field.recordSize);
    case CardDecoding::TrimmedText:
      return TrimRight(Utf16LeToGbk(at, field.recordSize));
    case CardDecoding::EthnicGroup:
      return EthnicGroupName(ParseDecimal(TrimRight(Utf16LeToGbk(at, field.recordSize))));
    case CardDecoding::ValidityStart:
      return Slice(TrimRight(Utf16LeToGbk(at, field.recordSize)), 0, kValidityDateSize);
    case CardDecoding::ValidityEnd:
      return Slice(TrimRight(Utf16LeToGbk(at, field.recordSize)), kValidityDateSize, kValidityDateSize);
    case CardDecoding::JoinedText:
      return TrimRight(Utf16LeToGbk(at, field.recordSize) +
                       Utf16LeToGbk(record + field.moreOffset, field.moreSize));
    case CardDecoding::KindMark:
      return Utf16LeToGbk(at, field.recordSize);
    case CardDecoding::NarrowText: {
      const char* text = reinterpret_cast<const char*>(at);
      return TrimRight(std::string(text, strnlen(text, field.recordSize)));
    }
    case CardDecoding::Portrait:
      return PortraitText(at, field.recordSize, portrait);
  }
  return std::string();
}

}  // namespace

const char* EthnicGroupName(long code) {
  // Codes outside the table give the empty text rather than an index past it.
  return code >= 0 && code <= 58 ? kEthnicGroupNames[code] : "";
}

void DecodeIdCardRecord(const uint8_t* record, ResultFields& fields, PortraitConverter& portrait, size_t received) {
  const char16_t mark = received >= kKindMarkOffset + kKindMarkSize
                            ? static_cast<char16_t>(record[kKindMarkOffset] | record[kKindMarkOffset + 1] << 8)
                            : 0;
  const CardKindInfo& kind = KindOfMark(mark);
  ClearResultFields(fields);  // a kind leaves some slots empty
  fields.Kind = kind.kind;
  const uint8_t markBytes[kKindMarkSize] = {static_cast<uint8_t>(mark & 0xFF), static_cast<uint8_t>(mark >> 8)};
  fields.KindMark = mark == u' ' ? std::string() : Utf16LeToGbk(markBytes, kKindMarkSize);
  fields.KindValues.resize(kind.count);
  for (const CardField& field : kind) {
    std::string text = DecodeField(record, field, portrait);
    if (field.slot != nullptr)
      fields.*field.slot = std::move(text);
    else
      fields.KindValues[static_cast<size_t>(&field - kind.fields)] = std::move(text);
  }
}

}  // namespace q48
