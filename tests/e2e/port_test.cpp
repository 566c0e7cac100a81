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

// Waits up to 5 s for the reader thread to queue `count` messages.
bool WaitForQueued(const ComPort& port, size_t count) {
  const auto start = Clock::now();
  while (port.QueuedCount() < count && Seconds(start) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port.QueuedCount() == count;
}

std::vector<uint8_t> Identity() { return q48emu::BuildResponseFrame(0, 2, 0, {8, 0, 'C', 'P', 'U', '-', 'Q', '4', '8', '-'}); }

TEST_F(PortTest, OpensAtOnceClosesAndReopensWithNothingLeftFromBefore) {
  const std::string path = emulator->SlavePath();
  const uint8_t byte = 'x';
  {
    ComPort port;
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(port.ResumeReader());
    EXPECT_EQ(port.Write(&byte, 1), 0);
    port.Close();  // closed already: nothing to do
    const OpenResult opened = port.Open(path);
    ASSERT_TRUE(opened) << opened.reason;
    EXPECT_EQ(opened.failure, OpenFailureKind::None);
    const OpenResult again = port.Open(path);
    EXPECT_FALSE(again);
    EXPECT_EQ(again.reason, "already open");
    ASSERT_TRUE(port.ResumeReader());  // the refused Open left the port working
    emulator->SendRaw(Identity());
    ASSERT_TRUE(WaitForQueued(port, 1));
    // Half of the next frame reaches the reader thread, then the port closes.
    const auto next = Identity();
    emulator->SendRaw(std::vector<uint8_t>(next.begin(), next.begin() + 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port.Close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.Write(&byte, 1), 0);

    // Reopened: neither the untaken message nor the half frame survives.
    ASSERT_TRUE(port.Open(path));
    EXPECT_EQ(port.QueuedCount(), 0u);
    port.ResumeReader();
    emulator->SendRaw(std::vector<uint8_t>(next.begin() + 10, next.end()));
    emulator->SendRaw(q48emu::BuildResponseFrame(3, 10, 0, {5}));
    ASSERT_TRUE(WaitForQueued(port, 1));
    std::vector<uint8_t> area(kReceivedMessageSize, 0);
    EXPECT_EQ(port.TakeReceived(area.data()), 4);
    EXPECT_EQ(area[0], 3);
  }
  // Destroyed while open: released for the next one.
  ComPort next;
  EXPECT_TRUE(next.Open(path));
}

TEST_F(PortTest, OpenDiscardsWhatWaitedAndKeepsWhatArrivesBeforeTheThreadStarts) {
  ComPort port;
  // Nothing reads the pty yet, so this waits in its queue until Open.
  emulator->SendRaw(q48emu::BuildResponseFrame(3, 10, 0, {1}));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(port.Open(emulator->SlavePath()));
  emulator->SendRaw(q48emu::BuildResponseFrame(3, 10, 0, {2}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(port.QueuedCount(), 0u) << "the reader thread ran before ResumeReader";
  ASSERT_TRUE(port.ResumeReader());
  ASSERT_TRUE(WaitForQueued(port, 1));
  std::vector<uint8_t> area(kReceivedMessageSize, 0);
  ASSERT_EQ(port.TakeReceived(area.data()), 4);
  EXPECT_EQ(area[3], 2);
}

TEST_F(PortTest, OpenFailuresGiveTheSystemsReason) {
  ComPort port;
  const OpenResult missing = port.Open("/nonexistent-q48/ttyUSB0");
  EXPECT_EQ(missing.failure, OpenFailureKind::NotFound);
  EXPECT_EQ(missing.reason, "No such file or directory");
  EXPECT_FALSE(port.isOpen());
  const OpenResult notSerial = port.Open("/dev/null");  // not a terminal
  EXPECT_EQ(notSerial.failure, OpenFailureKind::Other);
  EXPECT_EQ(notSerial.reason, "Inappropriate ioctl for device");
  EXPECT_FALSE(port.isOpen());

  // Held by another port (its lock; root is not stopped by TIOCEXCL): busy.
  ComPort first;
  ASSERT_TRUE(first.Open(emulator->SlavePath()));
  const OpenResult busy = port.Open(emulator->SlavePath());
  EXPECT_EQ(busy.failure, OpenFailureKind::InUse);
  EXPECT_EQ(busy.reason, "Device or resource busy");
  first.Close();
  EXPECT_TRUE(port.Open(emulator->SlavePath()));  // released at close
}

TEST_F(PortTest, CloseOfANeverResumedPortIsPrompt) {
  ComPort port;
  ASSERT_TRUE(port.Open(emulator->SlavePath()));
  const auto start = Clock::now();
  port.Close();
  EXPECT_LT(Seconds(start), 0.5);
}

TEST_F(PortTest, QueueHandsOutMessagesInOrderAndOverwritesOnlyTheirLength) {
  ComPort port;
  ASSERT_TRUE(port.Open(emulator->SlavePath()));
  port.ResumeReader();
  emulator->SendRaw(Identity());
  emulator->SendRaw(q48emu::BuildResponseFrame(3, 10, 0, {5}));
  ASSERT_TRUE(WaitForQueued(port, 2));
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
      ComPort port;
      if (!port.Open(path)) _exit(20 + round);
      // While open, a second opener is refused, and told that the port is busy.
      const int other = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (other >= 0) _exit(30);
      ComPort second;
      const OpenResult refused = second.Open(path);
      if (refused || refused.reason != "Device or resource busy") _exit(31);
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
