#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame.h"
#include "test_bytes.h"

namespace q48 {
namespace {

using test::Hex;

std::vector<uint8_t> Bytes(const CDataBufferDevice& frame) {
  return std::vector<uint8_t>(frame.data, frame.data + frame.length);
}

TEST(Crc16Xmodem, KnownValues) {
  const auto crc = [](const std::vector<uint8_t>& bytes) { return Crc16Xmodem(bytes.data(), bytes.size()); };
  const std::string check = "123456789";
  EXPECT_EQ(crc(std::vector<uint8_t>(check.begin(), check.end())), 0x31C3);
  EXPECT_EQ(Crc16Xmodem(nullptr, 0), 0);
  EXPECT_EQ(crc({'A'}), 0x58E5);
  EXPECT_EQ(crc(Hex("06 00 00 00 02 44")), 0xE3C3);  // the identification request's covered bytes
  std::vector<uint8_t> ramp(256);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(crc(ramp), 0x7E55);  // every byte value, so every table entry
  EXPECT_EQ(crc(std::vector<uint8_t>(1024, 0xFF)), 0xC084);
}

TEST(BuildCommandFrame, WorkedFrames) {
  EXPECT_EQ(Bytes(BuildCommandFrame(0, 2, "D")), Hex("55 55 55 55 55 55 55 55 04 06 00 00 00 02 44 C3 E3 06"));
  EXPECT_EQ(Bytes(BuildCommandFrame(10, 4, "")), Hex("55 55 55 55 55 55 55 55 04 05 00 00 0A 04 18 8C 06"));
  EXPECT_EQ(Bytes(BuildCommandFrame(3, 15, "")), Hex("55 55 55 55 55 55 55 55 04 05 00 00 03 0F EB 87 06"));
  EXPECT_EQ(Bytes(BuildCommandFrame(3, 10, "\x01")), Hex("55 55 55 55 55 55 55 55 04 06 00 00 03 0A 01 5B 2B 06"));
}

TEST(BuildCommandFrame, BodyEncodingsAndLengths) {
  // Empty payload: 17 bytes, length 5.
  auto empty = BuildCommandFrame(0, 7, "");
  EXPECT_EQ(empty.length, 17);
  EXPECT_EQ(ReadLe16(empty.data + 9), 5);

  // Group 3 code 11: count, payload, count, payload.
  auto twice = BuildCommandFrame(3, 11, "AB");
  EXPECT_EQ(ReadLe16(twice.data + 9), 11);
  EXPECT_EQ(std::vector<uint8_t>(twice.data + 14, twice.data + 20), Hex("02 41 42 02 41 42"));
  EXPECT_EQ(twice.length, 2 * 2 + 19);

  // Group 3 code 12: LE16 count, payload.
  auto counted = BuildCommandFrame(3, 12, "+861380013800");
  EXPECT_EQ(ReadLe16(counted.data + 9), 20);
  EXPECT_EQ(counted.data[14], 13);
  EXPECT_EQ(counted.data[15], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(counted.data + 16), 13), "+861380013800");
  EXPECT_EQ(counted.length, 13 + 19);

  // Every built frame passes the request check and carries its CRC.
  for (const auto* frame : {&empty, &twice, &counted}) {
    EXPECT_TRUE(AcceptFrame(frame->data, static_cast<size_t>(frame->length), kMinRequestFrame));
    EXPECT_EQ(frame->data[frame->length - 1], 0x06);
  }
  // Bytes past the frame stay zero.
  EXPECT_EQ(counted.data[counted.length], 0);
}

TEST(CDataBufferDevice, AppendRulesNeverPassTheEnd) {
  CDataBufferDevice buffer;
  std::vector<uint8_t> block(5119, 0xAA);
  buffer.AppendBlock(block.data(), 5119);
  EXPECT_EQ(buffer.length, 5119);
  buffer.AppendU16(0x1234);  // low byte fits, high byte dropped
  EXPECT_EQ(buffer.length, 5120);
  EXPECT_EQ(buffer.data[5119], 0x34);
  buffer.AppendByte(0x77);  // dropped
  EXPECT_EQ(buffer.length, 5120);

  CDataBufferDevice partial;
  partial.AppendBlock(block.data(), 5000);
  partial.AppendBlock(block.data(), 121);  // does not fit whole: nothing
  EXPECT_EQ(partial.length, 5000);
  partial.AppendBlock(block.data(), 0);
  partial.AppendBlock(block.data(), -3);
  EXPECT_EQ(partial.length, 5000);

  CDataBufferDevice copy = partial;
  EXPECT_EQ(copy.length, 5000);
  EXPECT_EQ(copy.data[4999], 0xAA);
}

TEST(AcceptFrame, EachRule) {
  const auto good = test::ResponseFrame(3, 10, {0x00, 0x07});
  ASSERT_TRUE(AcceptFrame(good.data(), good.size()));

  auto reserved = good;
  reserved[11] = 0x5A;  // reserved byte is not examined
  reserved[reserved.size() - 3] = 0;
  reserved[reserved.size() - 2] = 0;
  const uint16_t crc = Crc16Xmodem(reserved.data() + 9, reserved.size() - 12);
  reserved[reserved.size() - 3] = static_cast<uint8_t>(crc);
  reserved[reserved.size() - 2] = static_cast<uint8_t>(crc >> 8);
  EXPECT_TRUE(AcceptFrame(reserved.data(), reserved.size()));

  const auto noStatus = test::ResponseFrame(3, 10, {});  // 17 bytes, CRC correct
  EXPECT_EQ(noStatus.size(), 17u);
  EXPECT_FALSE(AcceptFrame(noStatus.data(), noStatus.size()));

  auto badEnd = good;
  badEnd.back() = 0x07;
  EXPECT_FALSE(AcceptFrame(badEnd.data(), badEnd.size()));

  auto badStart = good;
  badStart[8] = 0x05;
  EXPECT_FALSE(AcceptFrame(badStart.data(), badStart.size()));

  auto badPreamble = good;
  badPreamble[3] = 0x54;
  EXPECT_FALSE(AcceptFrame(badPreamble.data(), badPreamble.size()));

  auto badCrc = good;
  badCrc[badCrc.size() - 3] ^= 0x01;
  EXPECT_FALSE(AcceptFrame(badCrc.data(), badCrc.size()));

  for (int delta : {-1, 1}) {
    auto badLength = good;
    badLength[9] = static_cast<uint8_t>(badLength[9] + delta);
    EXPECT_FALSE(AcceptFrame(badLength.data(), badLength.size()));
  }
}

}  // namespace
}  // namespace q48
