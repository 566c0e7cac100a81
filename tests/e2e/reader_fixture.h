// End-to-end fixture: the emulator on a pty, seen by discovery through a
// sysfs-like tree of the test's own, and the portrait converter writing into
// a temporary directory with the stand-in decoder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/exchange.h"
#include "emulator.h"
#include "photo/portrait.h"

namespace q48::test {

// The GBK bytes the library hands out for a UTF-8 text (what the emulator
// puts on the card).
std::string Utf8ToGbk(const std::string& text);

std::string MakeTempDir(const char* tag);
void RemoveTree(const std::string& path);

// A sysfs tree with USB serial ports, and a /dev directory whose ttyUSBn are
// links to the given devices.
class FakeSystem {
 public:
  FakeSystem();
  ~FakeSystem();
  // Adds ttyUSB<n> under a USB device with the given identity, linked to `device`.
  void AddUsbSerial(int n, const std::string& vendor, const std::string& product, const std::string& device);
  DiscoveryRoots roots() const { return {root_ + "/sys", root_ + "/dev"}; }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Options that reach the emulator as ttyUSB<port>.
  ExchangeOptions Options();
  // Options with no reader attached.
  ExchangeOptions NoReaderOptions();

  int portNumber = 7;
  std::unique_ptr<q48emu::Emulator> emulator;
  std::unique_ptr<FakeSystem> system;
  std::unique_ptr<FakeSystem> emptySystem;
  std::string portraitDir;
  std::unique_ptr<SystemPortraitConverter> portrait;
};

// Path of the stand-in decoder built with the tests.
std::string StandInDecoderPath();

}  // namespace q48::test
