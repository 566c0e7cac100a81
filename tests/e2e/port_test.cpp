// ComPort and discovery on Linux: life cycle, exclusive use, the receive
// queue, the reader thread's cost at rest.
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "protocol/frame.h"
#include "reader_fixture.h"
#include "serial/com_port.h"

namespace q48::test {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

TEST(FindReaderPort, TreeCases) {
  FakeSystem sys;
  EXPECT_EQ(FindReaderPort(sys.roots()), -1);               // only a ttyS0
  EXPECT_EQ(FindReaderPort({"/nonexistent-q48", "/dev"}), -1);
  sys.AddUsbSerial(1, "067b", "2303", "");
  EXPECT_EQ(FindReaderPort(sys.roots()), -1);
  sys.AddUsbSerial(12, "0403", "6001", "");
  EXPECT_EQ(FindReaderPort(sys.roots()), 12);
  sys.AddUsbSerial(3, "0403", "6001", "");  // two readers: the lowest number, whatever the directory order
  EXPECT_EQ(FindReaderPort(sys.roots()), 3);

  FakeSystem upper;
  upper.AddUsbSerial(5, "0403", "6001", "");
  EXPECT_EQ(FindReaderPort(upper.roots()), 5);
}

TEST(FindReaderPort, IdentityCaseAndPartialTrees) {
  FakeSystem sys;
  sys.AddUsbSerial(4, "0403", "600a", "");  // other product
  EXPECT_EQ(FindReaderPort(sys.roots()), -1);
  FakeSystem mixed;
  mixed.AddUsbSerial(2, "0403", "6001", "");
  // A ttyUSB entry without a device link is skipped, not fatal.
  std::filesystem::create_directories(mixed.root() + "/sys/class/tty/ttyUSB1");
  EXPECT_EQ(FindReaderPort(mixed.roots()), 2);
}

using PortTest = ReaderTest;

TEST_F(PortTest, FreshCopyOpensOnlyAfterClose) {
  ComPort port(PortSettings());
  port.SetDevicePath(emulator->SlavePath());
  EXPECT_EQ(port.portHandle(), kNoHandle);
  EXPECT_EQ(port.portNumber(), 2);
  // Open on a port that is not closed changes only the number.
  EXPECT_EQ(port.Open(9), 1);
  EXPECT_EQ(port.portNumber(), 9);
  EXPECT_FALSE(port.isOpen());
  const auto start = Clock::now();
  port.Close();  // on a fresh copy: only the field resets, no wait
  EXPECT_LT(Seconds(start), 0.1);
  EXPECT_EQ(port.portHandle(), kInvalidHandle);
  EXPECT_EQ(port.Open(9), 1);
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ(port.ResumeReader(), 1);
  port.Close();
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.ResumeReader(), 0);
  EXPECT_EQ(port.Write(reinterpret_cast<const uint8_t*>("x"), 1), 0);
  // The prototype itself was never touched.
  EXPECT_EQ(PortSettings().portHandle(), kNoHandle);
}

TEST_F(PortTest, OpenFailsOnMissingDeviceAndStaysClosed) {
  ComPort port(PortSettings());
  port.SetDevicePath("/nonexistent-q48/ttyUSB0");
  port.Close();
  EXPECT_EQ(port.Open(0), 0);
  EXPECT_EQ(port.portHandle(), kInvalidHandle);
  EXPECT_FALSE(port.isOpen());
  // Not a terminal: refused too.
  port.SetDevicePath("/dev/null");
  EXPECT_EQ(port.Open(0), 0);
}

TEST_F(PortTest, SecondOpenOfTheSamePortFails) {
  ComPort first(PortSettings()), second(PortSettings());
  for (ComPort* port : {&first, &second}) {
    port->SetDevicePath(emulator->SlavePath());
    port->Close();
  }
  ASSERT_EQ(first.Open(7), 1);
  EXPECT_EQ(second.Open(7), 0);
  first.Close();
  EXPECT_EQ(second.Open(7), 1);  // released at close
}

TEST_F(PortTest, CloseOfANeverResumedPortIsPrompt) {
  ComPort port(PortSettings());
  port.SetDevicePath(emulator->SlavePath());
  port.Close();
  ASSERT_EQ(port.Open(7), 1);
  const auto start = Clock::now();
  port.Close();
  EXPECT_LT(Seconds(start), 0.5);
}

TEST_F(PortTest, QueueHandsOutMessagesInOrderAndOverwritesOnlyTheirLength) {
  ComPort port(PortSettings());
  port.SetDevicePath(emulator->SlavePath());
  port.Close();
  ASSERT_EQ(port.Open(7), 1);
  port.ResumeReader();
  auto longer = q48emu::BuildResponseFrame(0, 2, 0, {8, 0, 'C', 'P', 'U', '-', 'Q', '4', '8', '-'});
  auto shorter = q48emu::BuildResponseFrame(3, 10, 0, {5});
  emulator->SendRaw(longer);
  emulator->SendRaw(shorter);
  const auto start = Clock::now();
  while (port.QueuedCount() < 2 && Seconds(start) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<uint8_t> area(kReceivedMessageSize, 0xEE);
  ASSERT_EQ(port.TakeReceived(area.data()), 13);
  EXPECT_EQ(area[0], 0);
  EXPECT_EQ(area[12], '-');
  EXPECT_EQ(area[13], 0xEE);
  ASSERT_EQ(port.TakeReceived(area.data()), 4);
  EXPECT_EQ(area[0], 3);
  EXPECT_EQ(area[3], 5);
  EXPECT_EQ(area[5], 'C');  // left from the longer message
  EXPECT_EQ(port.TakeReceived(area.data()), 0);
  EXPECT_EQ(area[0], 3);
}

TEST_F(PortTest, ExclusiveFlagIsClearedForTheNextOpenAsAnOrdinaryUser) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a forked child; the other presets run this";
#endif
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an ordinary user";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
  ASSERT_EQ(chmod(emulator->SlavePath().c_str(), 0666), 0);
  const std::string path = emulator->SlavePath();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Root ignores TIOCEXCL; an ordinary user shows whether it outlives close.
    if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
    for (int round = 0; round < 3; ++round) {
      ComPort port(PortSettings());
      port.SetDevicePath(path);
      port.Close();
      if (port.Open(7) != 1) _exit(20 + round);
      // While open, a second opener is refused.
      const int other = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (other >= 0) _exit(30);
      port.Close();
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace q48::test
