// q48-emulator.exe (x64 build) under wine64 on a COM port: the prefix's
// dosdevices/com8 links to the slave of a pty whose master this test holds,
// playing the library's end of a null-modem cable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"
#include "protocol/frame.h"
#include "wine_harness.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using q48::wine::RunOptions;
using q48::wine::RunResult;
using q48::wine::ToWindowsPath;
using q48::wine::WineHarness;
using q48::wine::WineProcess;

const std::string kEmulator = std::string(Q48_WIN64_BIN) + "/q48-emulator.exe";

Bytes RequestFrame(uint8_t group, uint8_t code, const char* payload = "") {
  const q48::CDataBufferDevice frame = q48::BuildCommandFrame(group, code, payload);
  return Bytes(frame.data, frame.data + frame.length);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The test's end of the cable: a pty master, with the slave held open (so
// the master never sees a hang-up) and raw (so nothing is echoed before the
// emulator sets its own modes).
class Cable {
 public:
  Cable() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0)
      return;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios modes{};
    if (slave_ < 0 || ::tcgetattr(slave_, &modes) != 0) return;
    ::cfmakeraw(&modes);
    ::tcsetattr(slave_, TCSANOW, &modes);
    path_ = name;
  }
  ~Cable() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  const std::string& path() const { return path_; }

  void Send(const Bytes& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

  // Reads until `want` bytes have come or nothing came for `quietMs`; the
  // arrival time of each chunk goes to *times.
  Bytes Read(size_t want, int quietMs = 3000, std::vector<Clock::time_point>* times = nullptr) {
    Bytes got;
    uint8_t buffer[4096];
    while (got.size() < want) {
      pollfd fds{master_, POLLIN, 0};
      if (::poll(&fds, 1, quietMs) <= 0) break;
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
      if (times) times->push_back(Clock::now());
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

class EmulatorUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wine_.Unavailable().empty()) {
      GTEST_SKIP() << wine_.Unavailable();
    }
    if (!fs::exists(kEmulator)) {
      GTEST_SKIP() << kEmulator << " is missing: build the windows-x64 preset first";
    }
    ASSERT_EQ(wine_.EnsurePrefix(), "");
    ASSERT_FALSE(cable_.path().empty()) << "no pty";
    char dir[] = "/tmp/q48-emulator-wine-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    link_ = wine_.prefix() + "/dosdevices/com8";
    std::error_code ignored;
    fs::remove(link_, ignored);
    fs::create_symlink(cable_.path(), link_);
  }

  void TearDown() override {
    std::error_code ignored;
    if (!link_.empty()) fs::remove(link_, ignored);
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
    if (wine_.Unavailable().empty()) {
      EXPECT_EQ(wine_.StopServer(), "");
    }
  }

  // Starts the emulator on COM8 and waits until its log says it serves.
  // Its standard input stays open for commands when `commands` is set.
  WineProcess StartEmulator(const std::string& logPath, std::vector<std::string> flags, bool commands = false) {
    RunOptions run;
    run.close_stdin = !commands;
    run.program = kEmulator;
    run.args = {"--com", "COM8", "--log", ToWindowsPath(logPath)};
    run.args.insert(run.args.end(), flags.begin(), flags.end());
    run.time_limit = std::chrono::seconds(120);
    WineProcess process = wine_.Start(run);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (ReadFile(logPath).find("serving COM8") == std::string::npos && Clock::now() < deadline) {
      if (::kill(process.pid(), 0) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return process;
  }

  // Waits until the log holds `text`.
  static bool Logged(const std::string& logPath, const std::string& text) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (ReadFile(logPath).find(text) == std::string::npos) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // Asks it to stop as Ctrl+C would (Wine turns SIGINT into the console
  // event) and collects its output.
  static RunResult StopEmulator(WineProcess& process) {
    ::kill(process.pid(), SIGINT);
    return process.Wait();
  }

  WineHarness wine_;
  Cable cable_;
  std::string dir_;
  std::string link_;
};

TEST_F(EmulatorUnderWine, ServesTheSampleCardOnAComPort) {
  const std::string log = dir_ + "/emulator.log";
  WineProcess emulator = StartEmulator(log, {});
  ASSERT_NE(ReadFile(log).find("serving COM8 with the built-in sample card"), std::string::npos)
      << emulator.Wait().stderr_bytes;

  cable_.Send(RequestFrame(3, 10, "\x01"));
  EXPECT_EQ(cable_.Read(19), q48emu::BuildResponseFrame(3, 10, 0, {1}));
  const q48emu::CardProfile sample = q48emu::SampleCard();
  cable_.Send(RequestFrame(10, 4));
  EXPECT_EQ(cable_.Read(1313), q48emu::BuildResponseFrame(10, 4, 0, q48emu::BuildIdCardRecord(sample)));
  cable_.Send(RequestFrame(3, 15));
  const std::string iccid = std::string(1, static_cast<char>(sample.iccid.size())) + sample.iccid;
  EXPECT_EQ(cable_.Read(39), q48emu::BuildResponseFrame(3, 15, 0, Bytes(iccid.begin(), iccid.end())));

  const RunResult result = StopEmulator(emulator);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 0) << result.stderr_bytes;
  EXPECT_EQ(result.stdout_bytes, q48::wine::WithCrLf("COM8\n"));
  const std::string written = ReadFile(log);
  EXPECT_NE(written.find("request 10,4 (17 bytes) -> 10,4 status 0, 1313 bytes"), std::string::npos) << written;
  EXPECT_NE(written.find("stopping on Ctrl+C"), std::string::npos) << written;
  EXPECT_NE(result.stderr_bytes.find("request 3,15 (17 bytes) -> 3,15 status 0, 39 bytes"), std::string::npos);
}

TEST_F(EmulatorUnderWine, ProfileWithWindowsPathsAndASplitAnswer) {
  fs::create_directories(dir_ + "/faces");
  const q48emu::CardProfile sample = q48emu::SampleCard();
  std::ofstream(dir_ + "/faces/p.wlt", std::ios::binary)
      .write(reinterpret_cast<const char*>(sample.portrait.data()), static_cast<std::streamsize>(sample.portrait.size()));
  std::ofstream(dir_ + "/card.json") << "{\"iccid\": \"898600\", \"accept_writes\": false,\n"
                                        " \"id_card\": {\"name\": \"林晓\", \"valid_from\": \"20200101\", \"valid_to\": \"长期\"},\n"
                                        " \"portrait_file\": \"faces\\\\p.wlt\"}\n";
  q48emu::CardProfile expected;
  expected.iccid = "898600";
  expected.acceptWrites = false;
  expected.idCard.name = "林晓";
  expected.idCard.validFrom = "20200101";
  expected.idCard.validTo = "长期";
  expected.portrait = sample.portrait;

  const std::string log = dir_ + "/emulator.log";
  WineProcess emulator =
      StartEmulator(log, {"--profile", ToWindowsPath(dir_ + "/card.json"), "--split", "100", "--pause-ms", "150"});
  ASSERT_NE(ReadFile(log).find("serving COM8 with profile"), std::string::npos) << emulator.Wait().stderr_bytes;

  const Clock::time_point sent = Clock::now();
  cable_.Send(RequestFrame(10, 4));
  std::vector<Clock::time_point> times;
  EXPECT_EQ(cable_.Read(1313, 3000, &times), q48emu::BuildResponseFrame(10, 4, 0, q48emu::BuildIdCardRecord(expected)));
  // A pause before each of the two pieces.
  ASSERT_FALSE(times.empty());
  EXPECT_GE(times.back() - sent, std::chrono::milliseconds(300));

  cable_.Send(RequestFrame(3, 12, "+8613800138000"));
  const Bytes refused = cable_.Read(18);
  ASSERT_EQ(refused.size(), 18u);
  EXPECT_EQ(refused[14], 1);  // status: the profile refuses writes

  const RunResult result = StopEmulator(emulator);
  EXPECT_EQ(result.exit_status, 0) << result.stderr_bytes;
}

TEST_F(EmulatorUnderWine, CardCommandsOnStandardInput) {
  std::ofstream(dir_ + "/other.json") << "{\"iccid\": \"8986001\", \"id_card\": {\"id_number\": \"110101199003077777\"}}";
  q48emu::CardProfile other;
  other.iccid = "8986001";
  other.idCard.idNumber = "110101199003077777";
  const std::string log = dir_ + "/emulator.log";
  WineProcess emulator = StartEmulator(log, {}, true);
  ASSERT_TRUE(Logged(log, "serving COM8")) << emulator.Wait().stderr_bytes;

  // Lines as a Windows console ends them.
  ASSERT_TRUE(emulator.WriteStdin("remove\r\n"));
  ASSERT_TRUE(Logged(log, "card removed"));
  cable_.Send(RequestFrame(10, 4));
  EXPECT_EQ(cable_.Read(18), q48emu::BuildResponseFrame(10, 4, q48emu::kNoCardStatus, {}));

  ASSERT_TRUE(emulator.WriteStdin("fly away\r\nplace " + ToWindowsPath(dir_ + "/other.json") + "\r\n"));
  ASSERT_TRUE(Logged(log, "card placed"));
  EXPECT_NE(ReadFile(log).find("unknown command \"fly away\""), std::string::npos);
  cable_.Send(RequestFrame(10, 4));
  EXPECT_EQ(cable_.Read(1313), q48emu::BuildResponseFrame(10, 4, 0, q48emu::BuildIdCardRecord(other)));

  // The end of the commands is no reason to stop serving.
  emulator.CloseStdin();
  cable_.Send(RequestFrame(3, 15));
  EXPECT_EQ(cable_.Read(26), q48emu::BuildResponseFrame(3, 15, 0, {7, '8', '9', '8', '6', '0', '0', '1'}));

  const RunResult result = StopEmulator(emulator);
  EXPECT_EQ(result.exit_status, 0) << result.stderr_bytes;
}

// The shared pump on Windows: a stop cuts a long pause short.
TEST_F(EmulatorUnderWine, StopCutsAPauseShort) {
  const std::string log = dir_ + "/emulator.log";
  WineProcess emulator = StartEmulator(log, {"--pause-ms", "60000"});
  ASSERT_TRUE(Logged(log, "serving COM8")) << emulator.Wait().stderr_bytes;
  cable_.Send(RequestFrame(3, 10, "\x01"));
  ASSERT_TRUE(Logged(log, "request 3,10"));
  const Clock::time_point asked = Clock::now();
  const RunResult result = StopEmulator(emulator);
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(15));
  EXPECT_EQ(result.exit_status, 0) << result.stderr_bytes;
  EXPECT_TRUE(cable_.Read(1, 100).empty());
}

}  // namespace
