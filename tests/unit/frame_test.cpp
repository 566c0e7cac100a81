#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame.h"

namespace q48 {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') { ++i; continue; }
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::vector<uint8_t> Bytes(const CDataBufferDevice& frame) {
  return std::vector<uint8_t>(frame.data, frame.data + frame.length);
}

TEST(Crc16Xmodem, CheckValue) {
  const char* text = "123456789";
  EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const uint8_t*>(text), 9), 0x31C3);
  EXPECT_EQ(Crc16Xmodem(nullptr, 0), 0);
}

TEST(BuildCommandFrame, WorkedFrames) {
  EXPECT_EQ(Bytes(BuildCommandFrame(0, 2, "D")), Hex("55 55 55 55 55 55 55 55 04 06 00 00 00 02 44 C3 E3 06"));
  EXPECT_EQ(Bytes(BuildCommandFrame(10, 4, "")), Hex("55 55 55 55 55 55 55 55 04 05 00 00 0A 04 18 8C 06"));
  EXPECT_EQ(Bytes(BuildCommandFrame(3, 15, "")), Hex("55 55 55 55 55 55 55 55 04 05 00 00 03 0F EB 87 06"));
  EXPECT_EQ(Bytes(BuildCommandFrame(3, 10, "\x01")), Hex("55 55 55 55 55 55 55 55 04 06 00 00 03 0A 01 5B 2B 06"));
}

}  // namespace
}  // namespace q48
