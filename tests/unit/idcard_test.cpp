#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_portrait.h"
#include "photo/base64.h"
#include "protocol/response.h"

namespace q48 {
namespace {

// UTF-16LE of a text given as UTF-16 code units, blank-filled to `units`.
std::vector<uint8_t> Utf16(const std::u16string& text, size_t units) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < units; ++i) {
    const char16_t c = i < text.size() ? text[i] : u' ';
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

struct Record {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kIdCardRecordSize, 0);
  Record& Put(size_t at, const std::vector<uint8_t>& b) {
    std::copy(b.begin(), b.end(), bytes.begin() + static_cast<long>(at));
    return *this;
  }
  Record& Text(size_t at, const std::u16string& text, size_t units) { return Put(at, Utf16(text, units)); }
};

Record SampleRecord() {
  Record r;
  r.Text(14, u"张三", 15)
      .Text(44, u"1", 1)
      .Text(46, u"01", 2)
      .Text(50, u"19900307", 8)
      .Text(66, u"北京市东城区景山前街4号", 35)
      .Text(136, u"11010119900307123X", 18)
      .Text(172, u"北京市公安局东城分局", 15)
      .Text(202, u"2015010120350101", 16);
  return r;
}

std::string Gbk(const char* bytes) { return bytes; }

class IdCardRecordTest : public ::testing::Test {
 protected:
  void Decode(const Record& record) { DecodeIdCardRecord(record.bytes.data(), fields, portrait); }
  ResultFields fields;
  test::FakePortrait portrait;
};

TEST_F(IdCardRecordTest, FieldsOfAFullRecord) {
  Decode(SampleRecord());
  // 张三 = D5 C5 C8 FD, then the 13 blanks of the name field.
  EXPECT_EQ(fields.Name, Gbk("\xD5\xC5\xC8\xFD") + std::string(13, ' '));
  EXPECT_EQ(fields.SexCode, "1");
  EXPECT_EQ(fields.Nation, Gbk("\xBA\xBA\xD7\xE5"));  // 汉族
  EXPECT_EQ(fields.BirthDate, "19900307");
  // 北京市东城区景山前街4号, trailing blanks removed.
  EXPECT_EQ(fields.Address,
            Gbk("\xB1\xB1\xBE\xA9\xCA\xD0\xB6\xAB\xB3\xC7\xC7\xF8\xBE\xB0\xC9\xBD\xC7\xB0\xBD\xD6\x34\xBA\xC5"));
  EXPECT_EQ(fields.IdNumber, "11010119900307123X");
  // 北京市公安局东城分局
  EXPECT_EQ(fields.IssuingAuthority,
            Gbk("\xB1\xB1\xBE\xA9\xCA\xD0\xB9\xAB\xB0\xB2\xBE\xD6\xB6\xAB\xB3\xC7\xB7\xD6\xBE\xD6"));
  EXPECT_EQ(fields.ValidFrom, "20150101");
  EXPECT_EQ(fields.ValidTo, "20350101");
  EXPECT_EQ(fields.ReservedText, "");
}

TEST_F(IdCardRecordTest, EthnicGroupCodes) {
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {u"01", "\xBA\xBA\xD7\xE5"},                  // 汉族
      {u"20", "\xC0\xFC\xC0\xFC\xD7\xE5"},          // 傈傈族
      {u"58", "\xCD\xE2\xB9\xFA\xD1\xAA\xCD\xB3"},  // 外国血统
      {u"00", ""}, {u"  ", ""}, {u"99", ""}, {u"-5", ""}, {u"x1", ""}, {u" 7", "\xD2\xCD\xD7\xE5"},  // 彝族
  };
  for (const auto& [code, name] : cases) {
    Record r = SampleRecord();
    r.Text(46, code, 2);
    Decode(r);
    EXPECT_EQ(fields.Nation, name);
  }
  EXPECT_STREQ(EthnicGroupName(57), "\xC9\xD9\xCA\xFD\xC3\xF1\xD7\xE5");  // 少数民族
  EXPECT_STREQ(EthnicGroupName(59), "");
  EXPECT_STREQ(EthnicGroupName(-1), "");
}

TEST_F(IdCardRecordTest, ValiditySplitByBytes) {
  Record r = SampleRecord();
  r.Text(202, u"20150101长期", 16);  // end as two Chinese characters and six blanks
  Decode(r);
  EXPECT_EQ(fields.ValidFrom, "20150101");
  EXPECT_EQ(fields.ValidTo, Gbk("\xB3\xA4\xC6\xDA"));  // 长期

  r.Text(202, u"2015", 16);
  Decode(r);
  EXPECT_EQ(fields.ValidFrom, "2015");
  EXPECT_EQ(fields.ValidTo, "");
}

TEST_F(IdCardRecordTest, ReservedTextIsNarrowAndStopsAtZero) {
  Record r = SampleRecord();
  r.Text(234, u"AB", 5);  // UTF-16: 'A', 0 ends the narrow text
  Decode(r);
  EXPECT_EQ(fields.ReservedText, "A");
  r.Put(234, {'R', 'E', 'S', '-', '1', '2', '3', '4', '5', '6'});  // all ten bytes, no zero
  r.Put(244, {'Z'});                                                 // not part of it
  Decode(r);
  EXPECT_EQ(fields.ReservedText, "RES-123456");
  r.Put(234, {'a', 'b', ' ', ' ', 0, 'c', 0, 0, 0, 0});
  Decode(r);
  EXPECT_EQ(fields.ReservedText, "ab");
}

TEST_F(IdCardRecordTest, EmptyRecordGivesEmptyTexts) {
  fields.Name = "old";
  Decode(Record{});
  EXPECT_EQ(fields.Name, "");
  EXPECT_EQ(fields.Nation, "");
  EXPECT_EQ(fields.ValidFrom, "");
}

TEST_F(IdCardRecordTest, UnmappableAndBrokenUtf16BecomeQuestionMarks) {
  Record r = SampleRecord();
  // An emoji (a surrogate pair GBK lacks), an unpaired high and an unpaired
  // low surrogate, then a Latin letter.
  r.Text(14, std::u16string{0xD83D, 0xDE00, 0xD800, u'a', 0xDC00, u'b'}, 15);
  Decode(r);
  EXPECT_EQ(fields.Name, "??a?b" + std::string(9, ' '));
}

TEST_F(IdCardRecordTest, PortraitSuccessGivesBase64OfTheJpeg) {
  Record r = SampleRecord();
  for (size_t i = 0; i < 1024; ++i) r.bytes[270 + i] = static_cast<uint8_t>(i * 7 + 1);
  r.bytes[1294] = 0xAB;  // not part of the portrait
  portrait.result = 1;
  portrait.jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
  Decode(r);
  ASSERT_EQ(portrait.calls, 1);
  ASSERT_EQ(portrait.received.size(), 2048u);  // the portrait and 1024 zeros
  EXPECT_TRUE(std::equal(portrait.received.begin(), portrait.received.begin() + 1024, r.bytes.begin() + 270));
  EXPECT_EQ(std::count(portrait.received.begin() + 1024, portrait.received.end(), 0), 1024);
  EXPECT_EQ(portrait.capacity, static_cast<size_t>(kMaxPortraitJpeg));
  EXPECT_EQ(fields.PhotoBase64, "/9j/4AA=");
}

TEST_F(IdCardRecordTest, PortraitFailureGivesBase64OfZeros) {
  std::vector<uint8_t> zeros(2048, 0);
  std::string expected(2733, '\0');
  expected.resize(static_cast<size_t>(Base64Encode(&expected[0], zeros.data(), 2048)));

  portrait.result = 0;
  Decode(SampleRecord());
  EXPECT_EQ(fields.PhotoBase64, expected);

  // A converter that breaks its contract cannot leak partial data.
  portrait.scribbleOnFailure = true;
  portrait.result = -1;
  Decode(SampleRecord());
  EXPECT_EQ(fields.PhotoBase64, expected);

  // Success with a picture larger than the text buffer allows is a failure.
  portrait.scribbleOnFailure = false;
  portrait.result = 1;
  portrait.jpeg.assign(kMaxPortraitJpeg + 1, 0x11);
  Decode(SampleRecord());
  EXPECT_EQ(fields.PhotoBase64, expected);

  // The largest picture that fits is taken whole.
  portrait.jpeg.assign(kMaxPortraitJpeg, 0x11);
  Decode(SampleRecord());
  EXPECT_EQ(fields.PhotoBase64.size(), 51196u);
}

}  // namespace
}  // namespace q48
