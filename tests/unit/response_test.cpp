#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "fake_portrait.h"
#include "photo/base64.h"
#include "protocol/card_fields.h"
#include "protocol/response.h"
#include "protocol/text.h"

namespace q48 {
namespace {

// A message in a zero-filled receive area, as the exchange hands it over.
struct Area {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kReceiveAreaSize, 0);
  Area(std::initializer_list<uint8_t> head) { std::copy(head.begin(), head.end(), bytes.begin()); }
  Area& Put(size_t at, const std::string& s) {
    std::copy(s.begin(), s.end(), bytes.begin() + static_cast<long>(at));
    return *this;
  }
};

class ParseResponseTest : public ::testing::Test {
 protected:
  int Parse(const Area& area) { return ParseResponse(area.bytes.data(), area.bytes.size(), fields, portrait); }
  ResultFields fields;
  test::FakePortrait portrait;
};

TEST_F(ParseResponseTest, DispatchTableRejectsAndChangesNothing) {
  fields.Iccid = "keep";
  fields.CardType = 9;
  fields.Name = "keep";
  const std::vector<Area> rejected = {
      Area{0, 1, 1}, Area{0, 2, 1},  Area{0, 3, 0},  Area{0, 0, 0},  Area{10, 4, 1}, Area{10, 5, 0},
      Area{3, 11, 2}, Area{3, 12, 1}, Area{3, 15, 1}, Area{3, 10, 1}, Area{3, 13, 0}, Area{3, 0, 0},
      Area{1, 1, 0}, Area{2, 2, 0},  Area{11, 4, 0}, Area{255, 1, 0},
  };
  for (const auto& area : rejected) {
    EXPECT_EQ(Parse(area), 0) << int(area.bytes[0]) << "," << int(area.bytes[1]) << "," << int(area.bytes[2]);
  }
  EXPECT_EQ(fields.Iccid, "keep");
  EXPECT_EQ(fields.CardType, 9);
  EXPECT_EQ(fields.Name, "keep");
  EXPECT_EQ(portrait.calls, 0);
}

TEST_F(ParseResponseTest, AcknowledgementsAcceptedWithoutChanges) {
  fields.Iccid = "keep";
  EXPECT_EQ(Parse(Area{0, 1, 0}), 1);
  EXPECT_EQ(Parse(Area{3, 11, 0}), 1);
  EXPECT_EQ(Parse(Area{3, 12, 0}), 1);
  EXPECT_EQ(fields.Iccid, "keep");
}

TEST_F(ParseResponseTest, IdentificationCheck) {
  auto ident = [](const std::string& text) {
    Area area{0, 2, 0, static_cast<uint8_t>(text.size()), static_cast<uint8_t>(text.size() >> 8)};
    return area.Put(5, text);
  };
  EXPECT_EQ(Parse(ident("CPU-Q48-0001")), 1);
  EXPECT_EQ(Parse(ident("CPU-Q48X")), 1);  // the hyphen is not compared
  EXPECT_EQ(Parse(ident("CPU-Q48")), 1);
  EXPECT_EQ(Parse(ident("CPU-Q4")), 0);
  EXPECT_EQ(Parse(ident("cpu-q48-")), 0);
  EXPECT_EQ(Parse(ident("")), 0);
  // A count larger than the text buffer: only what fits is looked at.
  EXPECT_EQ(Parse(ident("CPU-Q48-" + std::string(500, 'x'))), 1);
  Area huge{0, 2, 0, 0xFF, 0xFF};
  huge.Put(5, "CPU-Q48-");
  EXPECT_EQ(Parse(huge), 1);
  // The count covers only six bytes: the seventh reads as zero.
  Area shortCount{0, 2, 0, 6, 0};
  EXPECT_EQ(Parse(shortCount.Put(5, "CPU-Q48-")), 0);
}

TEST_F(ParseResponseTest, Iccid) {
  EXPECT_EQ(Parse(Area{3, 15, 0, 20}.Put(4, "89860012345678901234")), 1);
  EXPECT_EQ(fields.Iccid, "89860012345678901234");

  EXPECT_EQ(Parse(Area{3, 15, 0, 0}.Put(4, "123")), 1);
  EXPECT_EQ(fields.Iccid, "");

  Area withZero{3, 15, 0, 20};
  withZero.Put(4, "1234567890");
  withZero.Put(15, "ABCDEFGHI");
  EXPECT_EQ(Parse(withZero), 1);
  EXPECT_EQ(fields.Iccid, "1234567890");

  EXPECT_EQ(Parse(Area{3, 15, 0, 14}.Put(4, "8986001234 \t\r\n")), 1);
  EXPECT_EQ(fields.Iccid, "8986001234");

  // 200 bytes announced: 59 taken, the text keeps its terminator.
  EXPECT_EQ(Parse(Area{3, 15, 0, 200}.Put(4, std::string(200, '7'))), 1);
  EXPECT_EQ(fields.Iccid, std::string(59, '7'));
}

TEST_F(ParseResponseTest, CardTypeIsUnsigned) {
  EXPECT_EQ(Parse(Area{3, 10, 0, 0xFF}), 1);
  EXPECT_EQ(fields.CardType, 255);
  EXPECT_EQ(Parse(Area{3, 10, 0, 0x00}), 1);
  EXPECT_EQ(fields.CardType, 0);
}

TEST_F(ParseResponseTest, ShortBufferReadsAsZeros) {
  // A message in a buffer of its own size: nothing past it is read.
  const std::vector<uint8_t> cardType = {3, 10, 0};
  EXPECT_EQ(ParseResponse(cardType.data(), cardType.size(), fields, portrait), 1);
  EXPECT_EQ(fields.CardType, 0);
  const std::vector<uint8_t> ident = {0, 2, 0, 0xFF, 0xFF, 'C', 'P', 'U'};
  EXPECT_EQ(ParseResponse(ident.data(), ident.size(), fields, portrait), 0);
  const std::vector<uint8_t> record = {10, 4, 0};
  EXPECT_EQ(ParseResponse(record.data(), record.size(), fields, portrait), 1);
  EXPECT_EQ(fields.Name, "");
  EXPECT_EQ(ParseResponse(nullptr, 0, fields, portrait), 0);
}

TEST(ClearResultFields, EmptiesCardSlotsOnly) {
  ResultFields fields;
  for (const ResultSlot& place : kResultSlots) fields.*place.slot = "x";
  fields.Iccid = "8986";
  fields.CardType = 3;
  ClearResultFields(fields);
  for (const ResultSlot& place : kResultSlots) EXPECT_EQ(fields.*place.slot, "") << place.bufferOffset;
  EXPECT_EQ(fields.Iccid, "8986");
  EXPECT_EQ(fields.CardType, 3);
}

TEST(TrimRight, WalksDoubleByteCharacters) {
  EXPECT_EQ(TrimRight("abc \t\n\v\f\r"), "abc");
  EXPECT_EQ(TrimRight("   "), "");
  EXPECT_EQ(TrimRight(""), "");
  // 0x81 0x20 is one GBK character whose second byte is a space: kept.
  EXPECT_EQ(TrimRight("\xB0\xA1\x81\x20"), "\xB0\xA1\x81\x20");
  EXPECT_EQ(TrimRight("\xB0\xA1\x81\x20  "), "\xB0\xA1\x81\x20");
  // A lone lead byte at the end is a character of its own.
  EXPECT_EQ(TrimRight("a\x81"), "a\x81");
}

TEST(ParseDecimal, AtoiRules) {
  EXPECT_EQ(ParseDecimal("01"), 1);
  EXPECT_EQ(ParseDecimal("  58"), 58);
  EXPECT_EQ(ParseDecimal("-5"), -5);
  EXPECT_EQ(ParseDecimal("+7x"), 7);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("x1"), 0);
  EXPECT_EQ(ParseDecimal("99999999999999999999999"), LONG_MAX);
}

TEST(Base64Encode, Cases) {
  char text[16];
  const uint8_t bytes[] = {'M', 'a', 'n'};
  EXPECT_EQ(Base64Encode(text, bytes, 0), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(Base64Encode(text, bytes, 1), 4);
  EXPECT_STREQ(text, "TQ==");
  EXPECT_EQ(Base64Encode(text, bytes, 2), 4);
  EXPECT_STREQ(text, "TWE=");
  EXPECT_EQ(Base64Encode(text, bytes, 3), 4);
  EXPECT_STREQ(text, "TWFu");
  EXPECT_EQ(Base64Encode(nullptr, bytes, 7), 12);
  EXPECT_EQ(Base64Encode(text, nullptr, 3), -1);
  std::memset(text, 'z', sizeof text);
  EXPECT_EQ(Base64Encode(text, bytes, -1), -1);
  EXPECT_EQ(text[0], 'z');  // nothing written

  const uint8_t all[] = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(Base64Encode(text, all, 3), 4);
  EXPECT_STREQ(text, "+/+/");

  std::vector<uint8_t> zeros(2048, 0);
  std::vector<char> big(2733 + 1, 'z');
  EXPECT_EQ(Base64Encode(big.data(), zeros.data(), 2048), 2732);
  EXPECT_EQ(big[2732], '\0');
  EXPECT_EQ(big[2733], 'z');  // exactly result + 1 bytes written
  EXPECT_EQ(std::string(big.data()), std::string(2728, 'A') + "AAA=");
}

TEST(Base64Decode, RoundTripsTheEncoderAndNamesTheFirstBadCharacter) {
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  for (int32_t n : {0, 1, 2, 3, 299, 300}) {
    std::vector<char> text(static_cast<size_t>(Base64Encode(nullptr, bytes.data(), n)) + 1);
    Base64Encode(text.data(), bytes.data(), n);
    std::vector<uint8_t> back;
    ASSERT_TRUE(Base64Decode(std::string(text.data()), &back)) << n;
    EXPECT_EQ(back, std::vector<uint8_t>(bytes.begin(), bytes.begin() + n));
  }
  std::vector<uint8_t> out{1};
  Base64Error error;
  EXPECT_FALSE(Base64Decode("TWF", &out, &error));
  EXPECT_EQ(error.offset, 3u);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(Base64Decode("TW=uTWFu", &out, &error));  // padding only at the very end
  EXPECT_EQ(error.offset, 2u);
  EXPECT_FALSE(Base64Decode("TWFuT W=", &out, &error));
  EXPECT_EQ(error.offset, 5u);
  EXPECT_FALSE(Base64Decode("TQ=A", &out, &error));
  EXPECT_EQ(error.offset, 2u);
  EXPECT_FALSE(Base64Decode("TR==", &out, &error));  // "TQ==" is the one text of "M"
  EXPECT_EQ(error.offset, 1u);
  EXPECT_FALSE(Base64Decode("TWF=", &out, &error));
  EXPECT_EQ(error.offset, 2u);
}

}  // namespace
}  // namespace q48
