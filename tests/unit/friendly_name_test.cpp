#include <gtest/gtest.h>

#include "serial/friendly_name_win32.h"

namespace q48 {
namespace {

TEST(PortNumberFromName, Names) {
  EXPECT_EQ(PortNumberFromName("USB Serial Port (COM7)"), 7);
  EXPECT_EQ(PortNumberFromName("USB Serial Port (COM12)"), 12);
  EXPECT_EQ(PortNumberFromName("USB Serial Port (COM3)"), 3);
  EXPECT_EQ(PortNumberFromName("(LPT1)"), 0);         // no M: "LPT"
  EXPECT_EQ(PortNumberFromName("Serial (com4)"), 0);  // lower-case m is not an M
  EXPECT_EQ(PortNumberFromName("Port (12)"), 1);      // no M: the last character is cut
  EXPECT_EQ(PortNumberFromName("A (COM5) B (COM9)"), 5);
  EXPECT_EQ(PortNumberFromName("No parentheses"), 0);
  EXPECT_EQ(PortNumberFromName(")COM8("), 0);
  EXPECT_EQ(PortNumberFromName(""), 0);
  EXPECT_EQ(PortNumberFromName("()"), 0);
  EXPECT_EQ(PortNumberFromName("(COM)"), 0);
  EXPECT_EQ(PortNumberFromName("x (COM 42)"), 42);  // atoi skips the blank
  EXPECT_EQ(PortNumberFromName("(COM99999999999)"), INT32_MAX);
}

TEST(PortNumberFromName, DoubleByteCharactersAreNotSplit) {
  // 0x81 0x4D is one GBK character whose second byte is "M": not an M.
  EXPECT_EQ(PortNumberFromName("\xB4\xAE\xBF\xDA (\x81\x4D" "COM6)"), 6);
  // Trail bytes never look like parentheses in GBK, but a lead byte at the
  // very end stands alone.
  EXPECT_EQ(PortNumberFromName("(COM8)\x81"), 8);
}

}  // namespace
}  // namespace q48
