// The installer's script over a scripted Windows: which targets end up with
// which sources and in what order, which controls are registered and when,
// the exact message for each failure, and how each run ends.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "installer.h"

namespace {

// The messages, as GBK bytes.
const std::string kMark = "......\n";
// "\n安装成功！\n"
const std::string kSucceeded = "\n\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6\xA3\xA1\n";
// "\n安装失败！\n"
const std::string kFailed = "\n\xB0\xB2\xD7\xB0\xCA\xA7\xB0\xDC\xA3\xA1\n";
// "\n安装失败[" ... "]\n"
std::string RegistrationFailed(const std::string& status) {
  return "\n\xB0\xB2\xD7\xB0\xCA\xA7\xB0\xDC[" + status + "]\n";
}
// path + "文件被占用，请关闭相关程序后重试[" + code + "]\n"
std::string InUse(const std::string& path, const std::string& code) {
  return path +
         "\xCE\xC4\xBC\xFE\xB1\xBB\xD5\xBC\xD3\xC3\xA3\xAC\xC7\xEB\xB9\xD8\xB1\xD5\xCF\xE0\xB9\xD8"
         "\xB3\xCC\xD0\xF2\xBA\xF3\xD6\xD8\xCA\xD4[" +
         code + "]\n";
}
// path + "文件拒绝访问，请关闭相关程序并确认有操作权限[" + code + "]\n"
std::string AccessDenied(const std::string& path, const std::string& code) {
  return path +
         "\xCE\xC4\xBC\xFE\xBE\xDC\xBE\xF8\xB7\xC3\xCE\xCA\xA3\xAC\xC7\xEB\xB9\xD8\xB1\xD5\xCF\xE0"
         "\xB9\xD8\xB3\xCC\xD0\xF2\xB2\xA2\xC8\xB7\xC8\xCF\xD3\xD0\xB2\xD9\xD7\xF7\xC8\xA8\xCF\xDE[" +
         code + "]\n";
}
// "请以管理员身份运行[" + code + "]\n"
std::string RunAsAdministrator(const std::string& code) {
  return "\xC7\xEB\xD2\xD4\xB9\xDC\xC0\xED\xD4\xB1\xC9\xED\xB7\xDD\xD4\xCB\xD0\xD0[" + code + "]\n";
}
// name + "文件丢失\n"
std::string Missing(const std::string& name) { return name + "\xCE\xC4\xBC\xFE\xB6\xAA\xCA\xA7\n"; }
// path + "复制失败，请以管理员身份运行[" + code + "]\n"
std::string CopyFailed(const std::string& path, const std::string& code) {
  return path +
         "\xB8\xB4\xD6\xC6\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB\xD2\xD4\xB9\xDC\xC0\xED\xD4\xB1\xC9\xED"
         "\xB7\xDD\xD4\xCB\xD0\xD0[" +
         code + "]\n";
}

std::string Marks(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += kMark;
  return out;
}

// Windows as the script sees it: targets hold the source last copied over
// them; failures are scripted by target or source. It keeps what the script
// did, not the calls it made.
class FakeWindows final : public installer::Platform {
 public:
  // Set up by the test.
  std::map<std::string, std::string> files;            // target -> the source it holds
  std::set<std::string> missing_sources;               // copies from these fail with 2
  std::map<std::string, std::uint32_t> delete_errors;  // by target
  std::map<std::string, std::uint32_t> copy_errors;    // by target
  std::map<std::string, int> command_status;           // by command; default 0
  bool wow64 = false;

  // What happened.
  struct Copied {
    std::string target, source;
    bool removed_first;  // the script deleted this target just before (absent or not)
  };
  std::vector<Copied> copies;
  struct Registered {
    std::string command;
    std::string holding;  // the source the control's file held when it was registered
    size_t copies_before;
    size_t output_before;  // bytes printed before the command ran
  };
  std::vector<Registered> registrations;
  std::vector<std::pair<std::string, size_t>> directories;  // and the copies made before each
  std::string output;
  std::vector<size_t> reads_after;  // bytes printed before each character read
  std::optional<int> exit_status;
  bool acted_after_exit = false;

  bool Delete(const std::string& path) override {
    Act();
    just_deleted_ = path;
    if (auto it = delete_errors.find(path); it != delete_errors.end()) return Fail(it->second);
    if (files.erase(path) == 0) return Fail(2);
    return true;
  }
  bool Copy(const std::string& source, const std::string& target) override {
    Act();
    const bool removed = just_deleted_ == target;
    just_deleted_.clear();
    if (auto it = copy_errors.find(target); it != copy_errors.end()) return Fail(it->second);
    if (missing_sources.count(source) != 0) return Fail(2);
    files[target] = source;
    copies.push_back({target, source, removed});
    return true;
  }
  std::uint32_t LastError() override { return last_error_; }
  void CreateDir(const std::string& path) override {
    Act();
    directories.emplace_back(path, copies.size());
  }
  bool IsWow64() override { return wow64; }
  int Run(const std::string& command) override {
    Act();
    const std::string file = command.substr(command.find(' ') + 1);
    const auto held = files.find(file);
    registrations.push_back({command, held == files.end() ? "" : held->second, copies.size(), output.size()});
    auto it = command_status.find(command);
    return it == command_status.end() ? 0 : it->second;
  }
  void Print(const std::string& text) override {
    Act();
    output += text;
    last_error_ = 0xDEAD;  // writing output changes the error code on Windows as well
  }
  int ReadChar() override {
    Act();
    reads_after.push_back(output.size());
    return '\n';
  }
  void Exit(int status) override {
    Act();
    exit_status = status;
  }

 private:
  void Act() {
    if (exit_status) acted_after_exit = true;
  }
  bool Fail(std::uint32_t code) {
    last_error_ = code;
    return false;
  }
  std::uint32_t last_error_ = 0;
  std::string just_deleted_;
};

// Every run ends alike: after its last message one character is read, then
// the process ends with the status, and nothing happens after that.
void ExpectEnd(const FakeWindows& windows, const std::string& output, int status) {
  EXPECT_EQ(windows.output, output);
  EXPECT_EQ(windows.reads_after, std::vector<size_t>{output.size()});
  EXPECT_EQ(windows.exit_status, status);
  EXPECT_FALSE(windows.acted_after_exit);
}

using Deployment = std::vector<std::pair<std::string, std::string>>;  // target, source

// Every copy of a first installation, in order.
Deployment FullDeployment(const std::string& system_dir) {
  Deployment all = {
      {"C:\\Palvix\\Palvix.ocx", "./Tarnix.ocx"},  // registered, then replaced by the next
      {"C:\\Palvix\\Palvix.ocx", "./Palvix.ocx"},       {"C:\\Palvix\\Q37Reader.dll", "./Q37Reader.dll"},
      {"C:\\Palvix\\Q48Reader.dll", "./Q48Reader.dll"}, {"C:\\Palvix\\Morvane.ocx", "./Morvane.ocx"},
      {"C:\\Palvix\\Unstall.bat", "./Unstall.bat"},
  };
  for (const char* name : {"Palvix.ocx", "Morvane.ocx", "Q48Reader.dll", "Q37Reader.dll", "sdtapi.dll", "WltRS.dll"})
    all.emplace_back(system_dir + "\\" + name, std::string("./") + name);
  return all;
}

Deployment Copies(const FakeWindows& windows) {
  Deployment done;
  for (const auto& copy : windows.copies) done.emplace_back(copy.target, copy.source);
  return done;
}

TEST(SetupScript, FirstInstallationReplacesEveryTargetInOrder) {
  FakeWindows windows;
  installer::RunSetup(windows);

  EXPECT_EQ(Copies(windows), FullDeployment("C:\\windows\\system32"));
  for (const auto& copy : windows.copies) EXPECT_TRUE(copy.removed_first) << copy.target;
  EXPECT_EQ(windows.directories, (std::vector<std::pair<std::string, size_t>>{{"C:\\Palvix", 0}}));
  // Absent targets are deleted silently: a mark for each copy and for the
  // one delete that found the registered Tarnix copy.
  ExpectEnd(windows, Marks(13) + kSucceeded, installer::kExitSuccess);
}

TEST(SetupScript, ControlsAreRegisteredWhereTheScriptPlacesThem) {
  FakeWindows windows;
  installer::RunSetup(windows);

  ASSERT_EQ(windows.registrations.size(), 2u);
  const auto& palvix = windows.registrations[0];
  EXPECT_EQ(palvix.command, "regsvr32 C:\\Palvix\\Palvix.ocx");
  EXPECT_EQ(palvix.holding, "./Tarnix.ocx");  // registered under the Palvix name
  EXPECT_EQ(palvix.copies_before, 1u);
  EXPECT_EQ(palvix.output_before, Marks(1).size());
  const auto& morvane = windows.registrations[1];
  EXPECT_EQ(morvane.command, "regsvr32 C:\\Palvix\\Morvane.ocx");
  EXPECT_EQ(morvane.holding, "./Morvane.ocx");
  EXPECT_EQ(morvane.copies_before, 6u);  // every C:\Palvix file, nothing in the system directory
  EXPECT_EQ(morvane.output_before, Marks(7).size());
}

TEST(SetupScript, SecondRunRemovesEachTargetBeforeCopying) {
  FakeWindows first;
  installer::RunSetup(first);
  FakeWindows second;
  second.files = first.files;
  installer::RunSetup(second);

  EXPECT_EQ(Copies(second), FullDeployment("C:\\windows\\system32"));
  for (const auto& copy : second.copies) EXPECT_TRUE(copy.removed_first) << copy.target;
  ExpectEnd(second, Marks(24) + kSucceeded, installer::kExitSuccess);  // twelve deletes, twelve copies
}

TEST(SetupScript, SystemDirectoryFollowsWow64) {
  for (const bool wow64 : {false, true}) {
    SCOPED_TRACE(wow64 ? "WOW64" : "native");
    FakeWindows windows;
    windows.wow64 = wow64;
    installer::RunSetup(windows);
    EXPECT_EQ(Copies(windows), FullDeployment(wow64 ? "C:\\windows\\syswow64" : "C:\\windows\\system32"));
    EXPECT_EQ(windows.files.size(), 11u);
    EXPECT_EQ(windows.exit_status, installer::kExitSuccess);
  }
}

// A stop: the message, one character read after it, status 1, and nothing
// copied or registered after the step that failed.
void ExpectStop(const FakeWindows& windows, const std::string& output, size_t copies, size_t registrations) {
  ExpectEnd(windows, output, installer::kExitFailure);
  EXPECT_EQ(windows.copies.size(), copies);
  EXPECT_EQ(windows.registrations.size(), registrations);
}

TEST(SetupScript, MissingSourceNamesTheFile) {
  FakeWindows windows;
  windows.missing_sources = {"./Q37Reader.dll"};
  installer::RunSetup(windows);
  // Tarnix (1 mark), Palvix (delete and copy), then the failed copy.
  ExpectStop(windows, Marks(3) + Missing("Q37Reader.dll") + kFailed, 2, 1);
}

TEST(SetupScript, FailedRegistrationShowsItsStatusAndStops) {
  struct Case {
    std::string command;
    int status;
    std::string marks_before;
    size_t copies, registrations;
  };
  const Case cases[] = {
      {"regsvr32 C:\\Palvix\\Palvix.ocx", 3, Marks(1), 1, 1},
      {"regsvr32 C:\\Palvix\\Morvane.ocx", 5, Marks(7), 6, 2},
      {"regsvr32 C:\\Palvix\\Palvix.ocx", -1, Marks(1), 1, 1},  // no command interpreter
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " -> " + std::to_string(c.status));
    FakeWindows windows;
    windows.command_status[c.command] = c.status;
    installer::RunSetup(windows);
    ExpectStop(windows, c.marks_before + RegistrationFailed(std::to_string(c.status)), c.copies, c.registrations);
    EXPECT_EQ(windows.registrations.back().command, c.command);
  }
}

// Failures of C:\Palvix\Q48Reader.dll, replaced after three copies (Tarnix,
// Palvix, Q37Reader) and four marks on a first installation.
constexpr char kTarget[] = "C:\\Palvix\\Q48Reader.dll";
const std::string kBefore = Marks(4);

TEST(SetupScript, DeleteErrors) {
  struct Case {
    std::uint32_t code;
    std::string message;
  };
  const Case cases[] = {
      {3, RunAsAdministrator("3")},
      {5, AccessDenied(kTarget, "5")},
      {32, InUse(kTarget, "32")},
      {33, InUse(kTarget, "33")},
      {1224, RunAsAdministrator("1224")},
      {0xFFFFFFFF, RunAsAdministrator("-1")},  // printed as %d prints it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    FakeWindows windows;
    windows.delete_errors[kTarget] = c.code;
    installer::RunSetup(windows);
    ExpectStop(windows, kBefore + c.message + kFailed, 3, 1);
  }
}

TEST(SetupScript, DeleteOfAbsentTargetIsSilent) {
  FakeWindows windows;
  windows.files[kTarget] = "an older copy";
  windows.delete_errors[kTarget] = 2;  // gone between runs: same as absent
  installer::RunSetup(windows);
  EXPECT_EQ(windows.files[kTarget], "./Q48Reader.dll");
  ExpectEnd(windows, Marks(13) + kSucceeded, installer::kExitSuccess);
}

TEST(SetupScript, CopyErrors) {
  struct Case {
    std::uint32_t code;
    std::string message;
  };
  const Case cases[] = {
      {2, Missing("Q48Reader.dll")},
      {5, AccessDenied(kTarget, "5")},
      {32, InUse(kTarget, "32")},
      {33, InUse(kTarget, "33")},
      {3, CopyFailed(kTarget, "3")},
      {112, CopyFailed(kTarget, "112")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    FakeWindows windows;
    windows.copy_errors[kTarget] = c.code;
    installer::RunSetup(windows);
    ExpectStop(windows, kBefore + c.message + kFailed, 3, 1);
    EXPECT_EQ(windows.files.count(kTarget), 0u);
  }
}

TEST(SetupScript, FailureInSystemDirectoryShowsItsPath) {
  FakeWindows windows;
  windows.wow64 = true;
  windows.delete_errors["C:\\windows\\syswow64\\sdtapi.dll"] = 32;
  installer::RunSetup(windows);
  // Six C:\Palvix copies and four system ones before it.
  ExpectStop(windows, Marks(11) + InUse("C:\\windows\\syswow64\\sdtapi.dll", "32") + kFailed, 10, 2);
}

}  // namespace
