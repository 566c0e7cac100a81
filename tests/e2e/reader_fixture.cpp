#include "reader_fixture.h"

#include <iconv.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace q48::test {

std::string Utf8ToGbk(const std::string& text) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  std::string out(text.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* o = &out[0];
  size_t outLeft = out.size();
  iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

namespace fs = std::filesystem;

std::string MakeTempDir(const char* tag) {
  std::string pattern = (fs::temp_directory_path() / (std::string("q48-") + tag + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

FakeSystem::FakeSystem() : root_(MakeTempDir("sys")) {
  fs::create_directories(root_ + "/sys/class/tty");
  fs::create_directories(root_ + "/sys/devices");
  fs::create_directories(root_ + "/dev");
  // A tty that is not USB at all.
  fs::create_directories(root_ + "/sys/devices/platform/serial8250/tty/ttyS0");
  fs::create_directory_symlink("../../devices/platform/serial8250/tty/ttyS0", root_ + "/sys/class/tty/ttyS0");
}

FakeSystem::~FakeSystem() { RemoveTree(root_); }

void FakeSystem::AddUsbSerial(int n, const std::string& vendor, const std::string& product,
                              const std::string& device) {
  const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(n);
  const std::string tty = usb + "/1-" + std::to_string(n) + ":1.0/ttyUSB" + std::to_string(n);
  fs::create_directories(root_ + "/sys/" + tty + "/tty/ttyUSB" + std::to_string(n));
  std::ofstream(root_ + "/sys/" + usb + "/idVendor") << vendor << "\n";
  std::ofstream(root_ + "/sys/" + usb + "/idProduct") << product << "\n";
  const std::string classEntry = root_ + "/sys/class/tty/ttyUSB" + std::to_string(n);
  fs::create_directories(classEntry);
  fs::create_directory_symlink("../../../" + tty, classEntry + "/device");
  if (!device.empty()) fs::create_symlink(device, root_ + "/dev/ttyUSB" + std::to_string(n));
}

std::string StandInDecoderPath() { return Q48_TEST_DECODER; }

void ReaderTest::SetUp() {
  emulator = std::make_unique<q48emu::Emulator>();
  std::string error;
  ASSERT_TRUE(emulator->OpenPty(&error)) << error;
  emulator->Start();
  system = std::make_unique<FakeSystem>();
  system->AddUsbSerial(portNumber, "0403", "6001", emulator->SlavePath());
  emptySystem = std::make_unique<FakeSystem>();
  portraitDir = MakeTempDir("portrait");
  portrait = std::make_unique<SystemPortraitConverter>(portraitDir);
  portrait->SetDecoderLibrary(StandInDecoderPath());
}

void ReaderTest::TearDown() {
  if (emulator) emulator->Stop();
  emulator.reset();
  system.reset();
  emptySystem.reset();
  RemoveTree(portraitDir);
}

ExchangeOptions ReaderTest::Options() {
  ExchangeOptions options;
  options.roots = system->roots();
  options.portrait = portrait.get();
  return options;
}

ExchangeOptions ReaderTest::NoReaderOptions() {
  ExchangeOptions options;
  options.roots = emptySystem->roots();
  options.portrait = portrait.get();
  return options;
}

}  // namespace q48::test
