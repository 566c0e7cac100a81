// Q48Reader.dll (x64 build) under wine64, through its real exports, against
// the emulator on a pty: the registry declares the reader's USB serial device
// and $WINEPREFIX/dosdevices/com7 links to the pty, so discovery, the port,
// the exchange and the portrait conversion all run as on Windows.
//
// Wine runs as an unprivileged user in a prefix of its own: the port-held
// case relies on TIOCEXCL, which root ignores. When the suite itself runs as
// root it drops to "nobody" for Wine (through this program's --run-as mode).
//
// Modes besides the tests: --prepare (boot the prefix and start its
// wineserver, a CTest fixture) and --stop (stop that wineserver).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"
#include "export_results.h"
#include "photo/base64.h"
#include "protocol/requests.h"
#include "wine_harness.h"

namespace {

namespace fs = std::filesystem;
using q48::wine::RunOptions;
using q48::wine::RunResult;
using q48::wine::WineHarness;
using q48::test::Situation;

const std::string kWin64Bin = Q48_WIN64_BIN;
const std::string kBuildPrefix = Q48_READER_WINE_PREFIX;
const std::string kHostDir = "q48host";               // under C:, with the stand-in decoder
const std::string kNoDecoderDir = "q48host-nodecoder";  // under C:, without it
const std::string kTimerDir = "q48host-timer";          // under C:, with a counting winmm.dll
const std::string kTimerShim = kWin64Bin + "/timer-shim/winmm.dll";
const char* const kHostFiles[] = {"q48_wine_host.exe", "Q48Reader.dll", "WltRS.dll", "q48.exe",
                                  "q48_wine_open_error.exe"};
const char kPortsClass[] = "{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr int kSkipped = 77;

// ---------------------------------------------------------------------------
// Who runs Wine.

struct WineUser {
  bool drop = false;  // run Wine as uid/gid instead of ourselves (we are root)
  uid_t uid = 0;
  gid_t gid = 0;
};

WineUser ChooseUser() {
  WineUser user;
  user.uid = getuid();
  user.gid = getgid();
  if (geteuid() != 0) return user;
  user.drop = true;
  user.uid = 65534;
  user.gid = 65534;
  if (const passwd* nobody = getpwnam("nobody")) {
    user.uid = nobody->pw_uid;
    user.gid = nobody->pw_gid;
  }
  return user;
}

// The build tree's prefix, unless the Wine user cannot reach it (a build
// tree under a private home): then one in /tmp named after it.
std::string PrefixFor(const WineUser& user) {
  if (!user.drop) return kBuildPrefix;
  bool reachable = true;
  for (fs::path dir = fs::path(kBuildPrefix).parent_path(); !dir.empty() && dir != dir.root_path();
       dir = dir.parent_path()) {
    struct stat info {};
    if (stat(dir.c_str(), &info) == 0 && !(info.st_mode & S_IXOTH)) reachable = false;
  }
  if (reachable) return kBuildPrefix;
  return "/tmp/q48-wineprefix-reader-" + std::to_string(std::hash<std::string>()(kBuildPrefix));
}

std::string SelfPath() {
  std::error_code error;
  return fs::read_symlink("/proc/self/exe", error).string();
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ChownTree(const std::string& path, const WineUser& user) {
  if (!user.drop) return;
  (void)lchown(path.c_str(), user.uid, user.gid);
  std::error_code error;
  if (!fs::is_directory(path, error)) return;
  for (const auto& entry : fs::recursive_directory_iterator(path, error))
    (void)lchown(entry.path().c_str(), user.uid, user.gid);
}

// Runs a program as the Wine user with standard streams on /dev/null (for
// the wineserver and for programs whose helpers outlive them).
int RunDetachedAs(const WineUser& user, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env) {
  const q48::wine::RunAs as{user.uid, user.gid};
  return q48::wine::RunDetached(argv, env, std::chrono::seconds(60), user.drop ? &as : nullptr);
}

// The Wine programs as found before this program points $Q48_WINE64 at its
// wrapper.
struct WineTools {
  std::string unavailable;
  std::string wine64;
  std::string wineserver;
};

const WineTools& Tools() {
  static const WineTools tools = [] {
    const WineHarness plain;
    return WineTools{plain.Unavailable(), plain.wine64(), plain.wineserver()};
  }();
  return tools;
}

// The prefix of these tests, its Wine user and the host program's folders.
class ReaderPrefix {
 public:
  ReaderPrefix() : user_(ChooseUser()), path_(PrefixFor(user_)), home_(path_ + "-home") {}

  // Why the suite cannot run here, or "".
  std::string Unavailable() const {
    if (!Tools().unavailable.empty()) return Tools().unavailable;
    for (const char* name : kHostFiles) {
      if (!fs::exists(kWin64Bin + "/" + name))
        return kWin64Bin + "/" + name + " is missing: build the windows-x64 preset first";
    }
    return "";
  }

  const WineUser& user() const { return user_; }
  const std::string& Path() const { return path_; }
  std::string DriveC() const { return path_ + "/drive_c"; }
  std::string HostDir(const std::string& name) const { return DriveC() + "/" + name; }

  // Boots the prefix (first time only) and starts its wineserver, which
  // then stays for two minutes after its last program. "" on success.
  std::string Prepare() {
    std::error_code error;
    struct stat info {};
    if (stat(path_.c_str(), &info) == 0 && user_.drop && info.st_uid != user_.uid) fs::remove_all(path_, error);
    fs::create_directories(path_, error);
    fs::create_directories(home_, error);
    ChownTree(home_, user_);
    if (user_.drop) (void)chown(path_.c_str(), user_.uid, user_.gid);

    const std::string& wine64 = Tools().wine64;
    const std::string& wineserver = Tools().wineserver;
    if (user_.drop) {
      // The harness runs $Q48_WINE64; make that a script that drops to the
      // Wine user and then runs the real wine64.
      const std::string wrapper = path_ + "-wine64";
      WriteFile(wrapper, "#!/bin/sh\nexec " + Quoted(SelfPath()) + " --run-as " + std::to_string(user_.uid) + ":" +
                             std::to_string(user_.gid) + " " + Quoted(wine64) + " \"$@\"\n");
      chmod(wrapper.c_str(), 0755);
      setenv("Q48_WINE64", wrapper.c_str(), 1);
    }
    harness_ = std::make_unique<WineHarness>(path_);
    const std::string booted = harness_->EnsurePrefix();
    if (!booted.empty()) return booted;
    ChownTree(path_ + "/.q48-booted", user_);
    // Our own server (the harness starts one as the caller, which Wine
    // refuses for another user's prefix), then one program with its output
    // on /dev/null, so that the helper processes it starts, which live as
    // long as the server, hold none of our pipes.
    RunDetachedAs(user_, {wineserver, "-p120"}, ServerEnvironment());
    RunDetachedAs(user_, {wine64, "cmd", "/c", "exit"}, ServerEnvironment());
    return "";
  }

  std::string Stop() {
    if (!Tools().unavailable.empty() || !fs::exists(path_)) return "";
    if (RunDetachedAs(user_, {Tools().wineserver, "-k"}, ServerEnvironment()) < 0) return "wineserver -k hung";
    RunDetachedAs(user_, {Tools().wineserver, "-w"}, ServerEnvironment());
    return "";
  }

  RunResult Run(RunOptions options) const {
    options.environment.emplace_back("HOME", home_);
    return harness_->Run(options);
  }

  // Fresh copies of the host program with the library, with and without the
  // stand-in decoder beside it.
  void InstallHost() const {
    for (const std::string& dir : {kHostDir, kNoDecoderDir}) {
      fs::create_directories(HostDir(dir));
      for (const char* name : kHostFiles) {
        if (dir == kNoDecoderDir && std::string(name) == "WltRS.dll") continue;
        fs::copy_file(kWin64Bin + "/" + name, HostDir(dir) + "/" + name, fs::copy_options::overwrite_existing);
      }
      ChownTree(HostDir(dir), user_);
    }
    if (fs::exists(kTimerShim)) {
      fs::create_directories(HostDir(kTimerDir));
      for (const std::string& name : {std::string("q48_wine_host.exe"), std::string("Q48Reader.dll"),
                                      std::string("WltRS.dll")})
        fs::copy_file(kWin64Bin + "/" + name, HostDir(kTimerDir) + "/" + name, fs::copy_options::overwrite_existing);
      fs::copy_file(kTimerShim, HostDir(kTimerDir) + "/winmm.dll", fs::copy_options::overwrite_existing);
      ChownTree(HostDir(kTimerDir), user_);
    }
  }

 private:
  std::vector<std::string> ServerEnvironment() const {
    return {"WINEPREFIX=" + path_, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=", "HOME=" + home_,
            "LANG=zh_CN.UTF-8", "LC_ALL=zh_CN.UTF-8", "PATH=/usr/bin:/bin"};
  }

  WineUser user_;
  std::string path_;
  std::string home_;
  std::unique_ptr<WineHarness> harness_;
};

// ---------------------------------------------------------------------------
// Registry devices.

struct Device {
  std::string instance;      // e.g. FTDIBUS\VID_0403+PID_6001+Q48A\0000
  std::string friendlyName;  // empty: none
  std::string description;   // empty: none
  std::string symbolicLink;  // empty: \\?\ + instance with # for \ + #{class}
};

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\\' ? std::string("\\\\") : c == '"' ? std::string("\\\"") : std::string(1, c);
  return out;
}

std::string Hashed(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '#');
  return text;
}

const char kControl[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet";

// Instances the tests declare, all removed before each declaration.
const char* const kOurInstances[] = {
    "Enum\\FTDIBUS",
    "Enum\\FTDIBUSX",
    "Enum\\USB\\VID_0403&PID_6001",
    "Enum\\USB\\VID_0403+PID_6001",
    "Enum\\USB\\X_VID_0403&PID_6001",
    "Enum\\ACPI\\Q48TEST",
};

std::string RegistryText(const std::vector<Device>& devices) {
  std::ostringstream reg;
  reg << "REGEDIT4\n\n";
  reg << "[-" << kControl << "\\Control\\DeviceClasses\\" << kPortsClass << "]\n";
  for (const char* key : kOurInstances) reg << "[-" << kControl << "\\" << key << "]\n";
  for (const Device& device : devices) {
    reg << "\n[" << kControl << "\\Enum\\" << device.instance << "]\n";
    reg << "\"ClassGUID\"=\"" << kPortsClass << "\"\n\"Class\"=\"Ports\"\n";
    if (!device.friendlyName.empty()) reg << "\"FriendlyName\"=\"" << Escaped(device.friendlyName) << "\"\n";
    if (!device.description.empty()) reg << "\"DeviceDesc\"=\"" << Escaped(device.description) << "\"\n";
    const std::string ifaceKey = std::string(kControl) + "\\Control\\DeviceClasses\\" + kPortsClass + "\\##?#" +
                                 Hashed(device.instance) + "#" + kPortsClass;
    const std::string link = device.symbolicLink.empty()
                                 ? "\\\\?\\" + Hashed(device.instance) + "#" + kPortsClass
                                 : device.symbolicLink;
    reg << "\n[" << ifaceKey << "]\n\"DeviceInstance\"=\"" << Escaped(device.instance) << "\"\n";
    reg << "\n[" << ifaceKey << "\\#]\n\"SymbolicLink\"=\"" << Escaped(link) << "\"\n";
    reg << "\n[" << ifaceKey << "\\#\\Control]\n\"Linked\"=dword:00000001\n";
  }
  return reg.str();
}

Device FtdiReader(const std::string& serial, const std::string& com) {
  return {"FTDIBUS\\VID_0403+PID_6001+" + serial + "\\0000", "USB Serial Port (" + com + ")", "USB Serial Port", ""};
}

// ---------------------------------------------------------------------------
// Text and picture helpers.

std::string Gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv GBK>";
  std::string in = utf8, out(utf8.size() * 2 + 4, '\0');
  char* inp = in.data();
  char* outp = out.data();
  size_t inLeft = in.size(), outLeft = out.size();
  const size_t done = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1)) return "<not GBK>";
  out.resize(out.size() - outLeft);
  return out;
}

// The bytes of a Base64 text, or a note saying why it is none.
std::string Base64Bytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  q48::Base64Error error;
  if (!q48::Base64Decode(text, &bytes, &error))
    return "<not Base64 at " + std::to_string(error.offset) + ": " + error.reason + ">";
  return std::string(bytes.begin(), bytes.end());
}

// Width and height from a baseline or progressive JPEG's frame header.
bool JpegSize(const std::string& jpeg, int* width, int* height) {
  for (size_t at = 2; at + 9 < jpeg.size();) {
    if (static_cast<unsigned char>(jpeg[at]) != 0xFF) return false;
    const auto marker = static_cast<unsigned char>(jpeg[at + 1]);
    const size_t length = (static_cast<unsigned char>(jpeg[at + 2]) << 8) | static_cast<unsigned char>(jpeg[at + 3]);
    if (marker == 0xC0 || marker == 0xC2) {
      *height = (static_cast<unsigned char>(jpeg[at + 5]) << 8) | static_cast<unsigned char>(jpeg[at + 6]);
      *width = (static_cast<unsigned char>(jpeg[at + 7]) << 8) | static_cast<unsigned char>(jpeg[at + 8]);
      return true;
    }
    at += 2 + length;
  }
  return false;
}

// ---------------------------------------------------------------------------
// A call of one export through the host program.

struct Call {
  bool ran = false;
  int result = 99999;
  long long elapsedUs = -1;
  std::string buffer;  // the whole buffer, when the export has one
  std::string output;  // for failure messages
};

Call Parse(const RunResult& run, unsigned char fill) {
  Call call;
  call.output = run.stdout_bytes + run.stderr_bytes + run.error;
  call.ran = run.started && !run.timed_out && run.exit_status == 0;
  std::istringstream lines(run.stdout_bytes);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "result") {
      words >> call.result;
    } else if (key == "elapsed_us") {
      words >> call.elapsedUs;
    } else if (key == "buffer") {
      size_t size = 0;
      std::string hex;
      words >> size >> hex;
      call.buffer.assign(size, static_cast<char>(fill));
      for (size_t i = 0; i + 1 < hex.size() && i / 2 < size; i += 2)
        call.buffer[i / 2] = static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
  }
  return call;
}

// ---------------------------------------------------------------------------
// The fixture: the emulator on a pty that Wine sees as COM7, and the reader
// declared in the registry.

class WineReader : public ::testing::Test {
 protected:
  static constexpr unsigned char kFill = 0xEE;  // what the caller's buffers hold before a call

  void SetUp() override {
    const std::string why = prefix_.Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(prefix_.Prepare(), "");
    prefix_.InstallHost();

    emulator_ = std::make_unique<q48emu::Emulator>(q48emu::SampleCard());
    std::string error;
    ASSERT_TRUE(emulator_->OpenPty(&error)) << error;
    emulator_->Start();
    slave_ = emulator_->SlavePath();
    if (prefix_.user().drop) {
      ASSERT_EQ(chown(slave_.c_str(), prefix_.user().uid, prefix_.user().gid), 0);
    }
    LinkPort("com7");
    DeclareDevices({FtdiReader("Q48A", "COM7")});
  }

  void TearDown() override {
    if (emulator_) emulator_->Stop();
  }

  // $WINEPREFIX/dosdevices/<name> -> the emulator's pty.
  void LinkPort(const std::string& name) {
    const std::string link = prefix_.Path() + "/dosdevices/" + name;
    std::error_code error;
    fs::remove(link, error);
    fs::create_symlink(slave_, link, error);
    ASSERT_FALSE(error) << error.message();
  }

  void DeclareDevices(const std::vector<Device>& devices) {
    const std::string file = prefix_.DriveC() + "/q48-devices.reg";
    WriteFile(file, RegistryText(devices));
    ChownTree(file, prefix_.user());
    RunOptions run;
    run.program = "regedit";
    run.args = {"/S", "C:\\q48-devices.reg"};
    const RunResult result = prefix_.Run(run);
    ASSERT_TRUE(result.started && !result.timed_out && result.exit_status == 0)
        << "regedit: status " << result.exit_status << (result.timed_out ? " (timed out) " : " ") << result.error
        << result.stderr_bytes << result.stdout_bytes;
  }

  // Runs one export in a fresh host process. args: the export's name, then
  // zelWriteCard's content and number.
  Call Export(std::vector<std::string> args, const std::string& dir = kHostDir, int repeat = 1) {
    RunOptions run;
    run.program = prefix_.HostDir(dir) + "/q48_wine_host.exe";
    run.working_directory = prefix_.HostDir(dir);
    char fill[8];
    std::snprintf(fill, sizeof fill, "%02X", kFill);
    args.insert(args.end(), {"--fill", fill, "--repeat", std::to_string(repeat)});
    run.args = args;
    run.time_limit = std::chrono::seconds(90);
    return Parse(prefix_.Run(run), kFill);
  }

  int Result(const std::vector<std::string>& args) {
    const Call call = Export(args);
    EXPECT_TRUE(call.ran) << call.output;
    return call.result;
  }

  // Whether a caller's buffer came back as it went in.
  static bool Untouched(const Call& call) {
    return !call.buffer.empty() && std::all_of(call.buffer.begin(), call.buffer.end(), [](char c) {
      return static_cast<unsigned char>(c) == kFill;
    });
  }

  size_t RequestCount() const { return emulator_->Requests().size(); }

  // Every export in one situation of the table, each in a fresh host; a
  // failed call leaves the caller's buffer as it went in.
  void ExpectSituation(Situation situation) {
    for (const q48::test::Export e : q48::test::kExports) {
      std::vector<std::string> args = {q48::test::ExportName(e)};
      if (e == q48::test::Export::WriteCard) args.insert(args.end(), {q48::test::kWriteContent, q48::test::kWriteNumber});
      const Call call = Export(args);
      EXPECT_TRUE(call.ran) << call.output;
      EXPECT_EQ(call.result, q48::test::ResultOf(situation, e)) << args[0];
      if (e == q48::test::Export::ReadCard || e == q48::test::Export::ReadIccid) {
        EXPECT_TRUE(Untouched(call)) << args[0];
      }
    }
  }

  // Another program's hold on the port: TIOCEXCL (which refuses every later
  // open but root's) and an exclusive lock.
  class PortHold {
   public:
    explicit PortHold(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
      if (fd_ >= 0) held_ = ioctl(fd_, TIOCEXCL) == 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    ~PortHold() {
      if (fd_ < 0) return;
      // TIOCEXCL outlives the close on a pty.
      (void)ioctl(fd_, TIOCNXCL);
      close(fd_);
    }
    bool held() const { return held_; }

   private:
    int fd_;
    bool held_ = false;
  };

  ReaderPrefix prefix_;
  std::unique_ptr<q48emu::Emulator> emulator_;
  std::string slave_;
};

// The situation table, one situation at a time, for all five exports.

TEST_F(WineReader, NoReaderDeclared) {
  DeclareDevices({});
  ExpectSituation(Situation::NoReader);
  // The argument check comes before discovery.
  EXPECT_EQ(Result({"zelWriteCard", "", "13800138000"}), -3);
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(WineReader, PortHeldByAnotherProgram) {
  if (!prefix_.user().drop && geteuid() == 0) GTEST_SKIP() << "Wine runs as root, which TIOCEXCL does not stop";
  {
    PortHold hold(slave_);
    ASSERT_TRUE(hold.held()) << strerror(errno);
    ExpectSituation(Situation::PortHeld);
    EXPECT_EQ(RequestCount(), 0u);
  }
  // Released, the same port works: the hold was the cause.
  EXPECT_EQ(Result({"zelListReaderCard"}), 1);
}

TEST_F(WineReader, NoAnswer) {
  q48emu::Behaviour silent;
  silent.noAnswer = true;
  emulator_->SetBehaviour(silent);
  ExpectSituation(Situation::NoAnswer);
  // Every request went out; the write stopped after its first step.
  const auto requests = emulator_->Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[4].group, 3);
  EXPECT_EQ(requests[4].code, 12);
}

TEST_F(WineReader, RejectedAnswer) {
  q48emu::Behaviour refusing;
  refusing.status = 1;
  emulator_->SetBehaviour(refusing);
  ExpectSituation(Situation::Rejected);
  // A refused first step: the second is never sent.
  EXPECT_EQ(RequestCount(), 5u);
  EXPECT_TRUE(emulator_->WrittenContents().empty());
}

TEST_F(WineReader, AcceptedAnswer) {
  EXPECT_EQ(Result({"zelListReaderCard"}), 1);

  const Call iccid = Export({"zelReadICCID"});
  EXPECT_EQ(iccid.result, 0);
  const std::string expected = q48emu::SampleCard().iccid;
  ASSERT_EQ(iccid.buffer.size(), 60u);
  EXPECT_EQ(iccid.buffer.substr(0, expected.size()), expected);
  EXPECT_EQ(static_cast<unsigned char>(iccid.buffer[expected.size()]), kFill) << "no terminator is written";

  q48emu::CardProfile profile = q48emu::SampleCard();
  for (int type : {0, 200}) {
    profile.cardType = static_cast<uint8_t>(type);
    emulator_->SetProfile(profile);
    EXPECT_EQ(Result({"zelReadCardType"}), type);
  }

  EXPECT_EQ(Result({"zelWriteCard", "hello", "13800138000"}), 0);
  EXPECT_EQ(emulator_->WrittenNumbers(), std::vector<std::string>{"+8613800138000"});
  EXPECT_EQ(emulator_->WrittenContents(), std::vector<std::string>{"hello"});

  const Call card = Export({"zelReadCard"});
  EXPECT_EQ(card.result, 0);
  EXPECT_EQ(card.buffer.substr(0, 6), Gbk("陈思远"));
}

// The read-card fields as GBK text at their offsets, without terminators.
TEST_F(WineReader, ReadCardFields) {
  q48emu::CardProfile profile = q48emu::SampleCard();
  profile.idCard.name = "欧阳娜娜";
  profile.idCard.sexCode = "2";
  profile.idCard.nationCode = "20";
  profile.idCard.birthDate = "20000229";
  profile.idCard.address = "北京市东城区景山前街4号";
  profile.idCard.idNumber = "11010120000229002X";
  profile.idCard.issuingAuthority = "北京市公安局东城分局";
  profile.idCard.validFrom = "20200101";
  profile.idCard.validTo = "长期";
  profile.idCard.reserved = "AB12";
  emulator_->SetProfile(profile);

  const Call call = Export({"zelReadCard"});
  ASSERT_EQ(call.result, 0) << call.output;
  ASSERT_EQ(call.buffer.size(), 52200u);
  auto field = [&](size_t index, size_t size) { return call.buffer.substr(index * 100, size); };
  auto endsAt = [&](size_t index, size_t size) {
    return static_cast<unsigned char>(call.buffer[index * 100 + size]) == kFill;
  };
  struct Expected {
    size_t index;
    std::string text;
  };
  const Expected expected[] = {
      {0, Gbk("欧阳娜娜") + std::string(11, ' ')},  // the card's blank fill kept
      {1, "2"},
      {2, "\xC0\xFC\xC0\xFC\xD7\xE5"},  // 傈傈族, as the table stores it
      {3, "20000229"},
      {4, Gbk("北京市东城区景山前街4号")},
      {5, "11010120000229002X"},
      {6, Gbk("北京市公安局东城分局")},
      {7, "20200101"},
      {8, "\xB3\xA4\xC6\xDA"},  // 长期
      {9, "AB12"},
  };
  for (const Expected& e : expected) {
    EXPECT_EQ(field(e.index, e.text.size()), e.text) << "field " << e.index;
    EXPECT_TRUE(endsAt(e.index, e.text.size())) << "field " << e.index << " runs on";
  }
}

// The portrait: the stand-in decoder's bitmap through GDI+ as JPEG, in
// Base64 at offset 1000, and the same bytes in C:\Palvix\pic.jpg.
TEST_F(WineReader, ReadCardPortrait) {
  const std::string picture = prefix_.DriveC() + "/Palvix/pic.jpg";
  std::error_code error;
  fs::remove(picture, error);
  const Call call = Export({"zelReadCard"});
  ASSERT_EQ(call.result, 0) << call.output;
  const std::string text = call.buffer.substr(1000, call.buffer.find(static_cast<char>(kFill), 1000) - 1000);
  const std::string jpeg = Base64Bytes(text);
  ASSERT_GE(jpeg.size(), 4u);
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
  EXPECT_EQ(jpeg, ReadFile(picture));
  int width = 0, height = 0;
  ASSERT_TRUE(JpegSize(jpeg, &width, &height));
  EXPECT_EQ(width, 102);
  EXPECT_EQ(height, 126);
  EXPECT_EQ(fs::file_size(prefix_.DriveC() + "/Palvix/pic.wlt"), 2048u);
}

// Without a picture (no decoder, or one that refuses the portrait) the text
// is that of 2048 zero bytes, never an earlier picture.
TEST_F(WineReader, ReadCardWithoutPicture) {
  // 2048 zero bytes: 682 groups of "AAAA", then "AAA=" for the last two.
  const std::string noPicture = std::string(2731, 'A') + "=";

  ASSERT_EQ(Result({"zelReadCard"}), 0);  // leaves a good pic.jpg behind
  const Call noDecoder = Export({"zelReadCard"}, kNoDecoderDir);
  EXPECT_EQ(noDecoder.result, 0);
  EXPECT_EQ(noDecoder.buffer.substr(1000, 2733), noPicture + static_cast<char>(kFill));

  q48emu::CardProfile profile = q48emu::SampleCard();
  profile.portrait.assign(1024, 0x5A);  // not a portrait the decoder accepts
  emulator_->SetProfile(profile);
  const Call refused = Export({"zelReadCard"});
  EXPECT_EQ(refused.result, 0);
  EXPECT_EQ(refused.buffer.substr(1000, 2733), noPicture + static_cast<char>(kFill));
}

TEST_F(WineReader, WriteCard) {
  // Lengths: content 1..19, number 1..19 (sent whole with "+86").
  EXPECT_EQ(Result({"zelWriteCard", std::string(20, 'c'), "138"}), -3);
  EXPECT_EQ(Result({"zelWriteCard", "x", ""}), -3);
  EXPECT_EQ(Result({"zelWriteCard", "x", std::string(20, '1')}), -3);
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_EQ(Result({"zelWriteCard", std::string(19, 'c'), "1"}), 0);
  EXPECT_EQ(Result({"zelWriteCard", "short", std::string(19, '9')}), 0);
  EXPECT_EQ(emulator_->WrittenNumbers(), (std::vector<std::string>{"+861", "+86" + std::string(19, '9')}));
  EXPECT_EQ(emulator_->WrittenContents(), (std::vector<std::string>{std::string(19, 'c'), "short"}));

  // Step 1 accepted, step 2 refused; then step 2 unanswered.
  q48emu::Behaviour refusing;
  refusing.status = 1;
  emulator_->SetBehaviour(refusing);
  emulator_->PushBehaviour(q48emu::Behaviour());
  EXPECT_EQ(Result({"zelWriteCard", "second", "139"}), -2);
  q48emu::Behaviour silent;
  silent.noAnswer = true;
  emulator_->SetBehaviour(silent);
  emulator_->PushBehaviour(q48emu::Behaviour());
  EXPECT_EQ(Result({"zelWriteCard", "third", "137"}), -4);
  // Both reached step 2.
  const auto requests = emulator_->Requests();
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](const q48emu::Request& r) { return r.code == 11; }), 4);
}

// Discovery by what the registry holds. zelListReaderCard tells the cases
// apart: 1 = COM7 found and answering, 0 = no reader, -1 = a reader on a
// port that does not open.
TEST_F(WineReader, DiscoveryIdentityForms) {
  DeclareDevices({{"USB\\VID_0403&PID_6001\\Q48B", "USB Serial Port (COM7)", "", ""}});
  EXPECT_EQ(Result({"zelListReaderCard"}), 1) << "\"&\" form at offset 8";

  DeclareDevices({FtdiReader("Q48A", "COM7")});
  EXPECT_EQ(Result({"zelListReaderCard"}), 1) << "\"+\" form at offset 12";

  DeclareDevices({{"FTDIBUS\\VID_0403+PID_6001+Q48A\\0000", "USB Serial Port (COM7)", "",
                   "\\\\?\\FtDiBuS#vId_0403+PiD_6001+Q48A#0000#{4D36E978-E325-11CE-BFC1-08002BE10318}"}});
  EXPECT_EQ(Result({"zelListReaderCard"}), 1) << "mixed case";

  const std::vector<Device> elsewhere[] = {
      {{"FTDIBUS\\VID_0403&PID_6001+Q48A\\0000", "USB Serial Port (COM7)", "", ""}},  // "&" at 12
      {{"USB\\VID_0403+PID_6001\\Q48B", "USB Serial Port (COM7)", "", ""}},          // "+" at 8
      {{"FTDIBUSX\\VID_0403+PID_6001+Q48A\\0000", "USB Serial Port (COM7)", "", ""}},  // at 13
      {{"USB\\X_VID_0403&PID_6001\\Q48B", "USB Serial Port (COM7)", "", ""}},        // at 10
      {{"FTDIBUS\\VID_0403+PID_6015+Q48A\\0000", "USB Serial Port (COM7)", "", ""}},  // another product
  };
  for (const auto& devices : elsewhere) {
    DeclareDevices(devices);
    EXPECT_EQ(Result({"zelListReaderCard"}), 0) << devices[0].instance;
  }
}

TEST_F(WineReader, DiscoveryPortNames) {
  DeclareDevices({{"FTDIBUS\\VID_0403+PID_6001+Q48A\\0000", "", "USB Serial Port (COM7)", ""}});
  EXPECT_EQ(Result({"zelListReaderCard"}), 1) << "description when there is no friendly name";

  DeclareDevices({{"FTDIBUS\\VID_0403+PID_6001+Q48A\\0000", "USB Serial Port (COM8)", "USB Serial Port (COM7)", ""}});
  EXPECT_EQ(Result({"zelListReaderCard"}), -1) << "the friendly name comes first";

  LinkPort("com12");
  DeclareDevices({FtdiReader("Q48A", "COM12")});
  EXPECT_EQ(Result({"zelListReaderCard"}), 1) << "two-digit port";
}

TEST_F(WineReader, DiscoveryFirstReaderWins) {
  // Enumeration follows the interface keys' names: Q48A before Q48B.
  DeclareDevices({FtdiReader("Q48A", "COM7"), FtdiReader("Q48B", "COM8")});
  EXPECT_EQ(Result({"zelListReaderCard"}), 1);
  DeclareDevices({FtdiReader("Q48A", "COM8"), FtdiReader("Q48B", "COM7")});
  EXPECT_EQ(Result({"zelListReaderCard"}), -1) << "the first reader decides, even when its port fails";

  // Another serial port before the reader is passed over.
  DeclareDevices({{"ACPI\\Q48TEST\\1", "Communications Port (COM1)", "", ""}, FtdiReader("Q48A", "COM7")});
  EXPECT_EQ(Result({"zelListReaderCard"}), 1);
}

// What a client is told when a port cannot be opened: the COM name and
// Windows' own message for the failing call, without its line break.
TEST_F(WineReader, OpenErrorNamesThePortAndTheSystemsMessage) {
  auto cardType = [&](const std::string& device) {
    RunOptions run;
    run.program = prefix_.HostDir(kHostDir) + "/q48_wine_open_error.exe";
    run.working_directory = prefix_.HostDir(kHostDir);
    run.args = {device};
    const RunResult result = prefix_.Run(run);
    EXPECT_EQ(result.exit_status, 0) << result.stdout_bytes << result.stderr_bytes << result.error;
    const Call call = Parse(result, 0);
    const size_t at = result.stdout_bytes.find("open_error ");
    const size_t end = result.stdout_bytes.find("\r\n", at);
    const std::string text = at == std::string::npos || end == std::string::npos
                                 ? "<none>"
                                 : result.stdout_bytes.substr(at + 11, end - at - 11);
    return std::make_pair(call.result, text);
  };
  auto expectReason = [](const std::string& text, const std::string& device) {
    const std::string prefix = "cannot open " + device + ": ";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix) << text;
    const std::string reason = text.substr(prefix.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
    EXPECT_NE(reason.back(), ' ') << reason;
  };

  const auto [present, none] = cardType("COM7");
  EXPECT_EQ(present, q48emu::SampleCard().cardType);
  EXPECT_EQ(none, "");
  const auto [absent, missing] = cardType("COM9");
  EXPECT_EQ(absent, -4);
  expectReason(missing, "COM9");
  if (prefix_.user().drop || geteuid() != 0) {
    PortHold hold(slave_);
    ASSERT_TRUE(hold.held()) << strerror(errno);
    const auto [held, busy] = cardType("\\\\.\\COM7");
    EXPECT_EQ(held, -4);
    expectReason(busy, "\\\\.\\COM7");
    EXPECT_NE(busy.substr(busy.find(": ")), missing.substr(missing.find(": "))) << "a held port is not a missing one";
  }
}

// Each exchange asks for a 1 ms timer resolution and gives it back, whichever
// way it ends. The counting winmm.dll beside the host stands in for the
// system's (Wine loads it first when told "winmm=n,b").
TEST_F(WineReader, TimerResolutionIsAskedForAndReturnedOnEveryWayOut) {
  ASSERT_TRUE(fs::exists(kTimerShim)) << kTimerShim << " is missing: build the windows-x64 preset";
  const std::string log = prefix_.HostDir(kTimerDir) + "/timer.log";
  // The host's calls of one export and the timer calls they made.
  auto run = [&](std::vector<std::string> args, int repeat) {
    std::error_code ignored;
    fs::remove(log, ignored);
    RunOptions options;
    options.program = prefix_.HostDir(kTimerDir) + "/q48_wine_host.exe";
    options.working_directory = prefix_.HostDir(kTimerDir);
    args.insert(args.end(), {"--repeat", std::to_string(repeat)});
    options.args = args;
    options.environment = {{"WINEDLLOVERRIDES", "mscoree,mshtml=;winmm=n,b"},
                           {"Q48_TIMER_LOG", "C:\\" + kTimerDir + "\\timer.log"}};
    options.time_limit = std::chrono::seconds(90);
    const Call call = Parse(prefix_.Run(options), 0);
    EXPECT_TRUE(call.ran) << call.output;
    return std::make_pair(call, ReadFile(log));
  };
  std::string pairs;
  for (int i = 0; i < 2; ++i) pairs += "begin 1\nend 1\n";

  auto [success, successLog] = run({"zelReadCard"}, 2);
  EXPECT_EQ(success.result, 0);
  EXPECT_EQ(successLog, pairs) << "two reads, each bracketed by one pair";

  q48emu::Behaviour silent;
  silent.noAnswer = true;
  emulator_->SetBehaviour(silent);
  auto [timeout, timeoutLog] = run({"zelListReaderCard"}, 1);
  EXPECT_EQ(timeout.result, -1);
  EXPECT_EQ(timeoutLog, "begin 1\nend 1\n");

  DeclareDevices({});
  auto [noReader, noReaderLog] = run({"zelReadICCID"}, 2);
  EXPECT_EQ(noReader.result, -1);
  EXPECT_EQ(noReaderLog, pairs);
}

// The q48 client as a Windows user runs it: discovery or --port COM7, JSON
// out, its exit status per failure class.
TEST_F(WineReader, CommandLineClient) {
  auto q48 = [&](std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> environment = {}) {
    RunOptions run;
    run.program = prefix_.HostDir(kHostDir) + "/q48.exe";
    run.working_directory = prefix_.HostDir(kHostDir);
    run.args = std::move(args);
    run.environment = std::move(environment);
    run.time_limit = std::chrono::seconds(60);
    return prefix_.Run(run);
  };
  RunResult run = q48({"--json", "read-card", "--photo", "me.jpg"});
  ASSERT_EQ(run.exit_status, 0) << run.stdout_bytes << run.stderr_bytes;
  // One JSON object; the fields converted from GBK to UTF-8.
  EXPECT_EQ(run.stdout_bytes.find("{\"command\":\"read-card\",\"result\":0,\"result_name\":\"Q48_OK\""), 0u)
      << run.stdout_bytes;
  EXPECT_NE(run.stdout_bytes.find("\"nation\":\"\xE6\xB1\x89\xE6\x97\x8F\""), std::string::npos);  // 汉族
  EXPECT_NE(run.stdout_bytes.find("\"id_number\":\"" + q48emu::SampleCard().idCard.idNumber + "\""),
            std::string::npos);
  const std::string jpeg = ReadFile(prefix_.HostDir(kHostDir) + "/me.jpg");
  ASSERT_GT(jpeg.size(), 2u);
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");

  // A foreigner's card: its kind, its Chinese name through the ANSI code
  // page, its nationality with the names from the table built on the host.
  q48emu::CardProfile foreigner = q48emu::SampleCard();
  foreigner.idCard.kind = "foreign_2017";
  foreigner.idCard.englishName = "MILLER, JAMES ROBERT";
  foreigner.idCard.chineseName = "米乐杰";
  foreigner.idCard.nationality = "USA";
  emulator_->SetProfile(foreigner);
  run = q48({"read-card", "--no-photo"});
  EXPECT_EQ(run.exit_status, 0) << run.stderr_bytes;
  EXPECT_EQ(run.stdout_bytes.find("Card:           foreign permanent residence card (2017)\r\n"), 0u) << run.stdout_bytes;
  EXPECT_NE(run.stdout_bytes.find("\nChinese name:   米乐杰\r\n"), std::string::npos) << run.stdout_bytes;
  EXPECT_NE(run.stdout_bytes.find("\nNationality:    USA (United States, 美国)\r\n"), std::string::npos);
  emulator_->SetProfile(q48emu::SampleCard());

  run = q48({"--port", "COM7", "--json", "iccid"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.stdout_bytes.find("\"iccid\":\"" + q48emu::SampleCard().iccid + "\""), std::string::npos);

  q48emu::Behaviour refusing;
  refusing.status = 1;
  emulator_->PushBehaviour(refusing);
  run = q48({"--json", "card-type"});
  EXPECT_EQ(run.exit_status, 3);
  EXPECT_NE(run.stdout_bytes.find("\"result\":-2"), std::string::npos);

  run = q48({"--port", "COM9", "--json", "read-card"});  // no such port, named with the system's reason
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.stderr_bytes.find("q48: cannot open COM9: "), 0u) << run.stderr_bytes;

  // The wide command line is read as UTF-8 and written as GBK: nine Chinese
  // characters fit in 19 bytes only as GBK. (Wine decodes a Unix command
  // line in the Unix locale's charset, and zh_CN.UTF-8 need not be
  // installed here: this run says C.UTF-8.)
  run = q48({"--port", "COM7", "write", "--number", "13800138000", "--content",
             "\xE4\xB8\x80\xE4\xBA\x8C\xE4\xB8\x89\xE5\x9B\x9B\xE4\xBA\x94\xE5\x85\xAD\xE4\xB8\x83\xE5\x85\xAB\xE4\xB9\x9D"},
            {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_EQ(run.exit_status, 0) << run.stderr_bytes;
  ASSERT_FALSE(emulator_->WrittenContents().empty());
  EXPECT_EQ(emulator_->WrittenContents().back(),
            "\xD2\xBB\xB6\xFE\xC8\xFD\xCB\xC4\xCE\xE5\xC1\xF9\xC6\xDF\xB0\xCB\xBE\xC5");  // 一二三四五六七八九
  run = q48({"write", "--number", "1"});
  EXPECT_EQ(run.exit_status, 1);
}

// With the answer paced at 115200 baud (about 115 ms on the wire), each call
// ends once the answer is whole, not when the read-card limit (its takes,
// each with at least its sleep) runs out. The bound is half that limit, far
// from the expected time; how fast the exchange is, bench/e2e_bench measures.
TEST_F(WineReader, PacedReadCardEndsWhenTheAnswerIsWhole) {
  q48emu::Behaviour paced;
  paced.pace = true;
  emulator_->SetBehaviour(paced);
  constexpr int kCalls = 5;
  const Call run = Export({"zelReadCard"}, kHostDir, kCalls);
  ASSERT_TRUE(run.ran) << run.output;
  std::vector<long long> times;
  std::istringstream lines(run.output);
  std::string line;
  int failures = 0;
  while (std::getline(lines, line)) {
    long long value = 0;
    int result = 0;
    if (std::sscanf(line.c_str(), "elapsed_us %lld", &value) == 1) times.push_back(value);
    if (std::sscanf(line.c_str(), "result %d", &result) == 1 && result != 0) ++failures;
  }
  ASSERT_EQ(times.size(), static_cast<size_t>(kCalls));
  EXPECT_EQ(failures, 0);
  std::sort(times.begin(), times.end());
  const long long limitUs = 1000LL * q48::requests::kReadCard.maxTakes * q48::requests::kReadCard.sleepMs;
  EXPECT_LT(times[kCalls / 2], limitUs / 2) << "median of " << kCalls << " calls, in microseconds";
}

int RunAs(int argc, char** argv) {
  // --run-as uid:gid program args...
  if (argc < 4) return 2;
  unsigned uid = 0, gid = 0;
  if (std::sscanf(argv[2], "%u:%u", &uid, &gid) != 2) return 2;
  if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
    std::perror("dropping privileges");
    return 126;
  }
  execv(argv[3], argv + 3);
  std::perror(argv[3]);
  return 127;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc >= 2 ? argv[1] : "";
  if (mode == "--run-as") return RunAs(argc, argv);
  if (mode == "--prepare" || mode == "--stop") {
    ReaderPrefix prefix;
    const std::string why = prefix.Unavailable();
    if (!why.empty()) {
      std::printf("skipped: %s\n", why.c_str());
      return kSkipped;
    }
    const std::string error = mode == "--prepare" ? prefix.Prepare() : prefix.Stop();
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return error.empty() ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
