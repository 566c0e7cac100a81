// The installer's script over a scripted platform: what it prints, in which
// order it touches which files, how each stop ends.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
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

// A file system of target paths, scripted failures, and a record of every
// call in order.
class FakePlatform final : public installer::Platform {
 public:
  std::set<std::string> files;                         // targets that exist
  std::set<std::string> missing_sources;               // copies from these fail with 2
  std::map<std::string, std::uint32_t> delete_errors;  // by target
  std::map<std::string, std::uint32_t> copy_errors;    // by target
  std::map<std::string, int> command_status;           // by command; default 0
  bool wow64 = false;

  std::vector<std::string> calls;
  std::string output;
  int chars_read = 0;
  std::optional<int> exit_status;

  bool Delete(const std::string& path) override {
    calls.push_back("delete " + path);
    if (auto it = delete_errors.find(path); it != delete_errors.end()) return Fail(it->second);
    if (files.erase(path) == 0) return Fail(2);
    return true;
  }
  bool Copy(const std::string& source, const std::string& target) override {
    calls.push_back("copy " + source + " " + target);
    if (auto it = copy_errors.find(target); it != copy_errors.end()) return Fail(it->second);
    if (missing_sources.count(source) != 0) return Fail(2);
    files.insert(target);
    return true;
  }
  std::uint32_t LastError() override { return last_error_; }
  void CreateDir(const std::string& path) override { calls.push_back("mkdir " + path); }
  bool IsWow64() override {
    calls.push_back("wow64?");
    return wow64;
  }
  int Run(const std::string& command) override {
    calls.push_back("run " + command);
    auto it = command_status.find(command);
    return it == command_status.end() ? 0 : it->second;
  }
  void Print(const std::string& text) override {
    calls.push_back("print " + text);
    output += text;
    // Writing output changes the error code on Windows as well.
    last_error_ = 0xDEAD;
  }
  int ReadChar() override {
    calls.push_back("getchar");
    ++chars_read;
    return '\n';
  }
  void Exit(int status) override {
    calls.push_back("exit " + std::to_string(status));
    exit_status = status;
  }

 private:
  bool Fail(std::uint32_t code) {
    last_error_ = code;
    return false;
  }
  std::uint32_t last_error_ = 0;
};

// Every run ends the same way: one character read, then the exit with the
// status, and nothing after it.
void ExpectEnd(const FakePlatform& fake, int status) {
  EXPECT_EQ(fake.chars_read, 1);
  ASSERT_GE(fake.calls.size(), 2u);
  EXPECT_EQ(fake.calls[fake.calls.size() - 2], "getchar");
  EXPECT_EQ(fake.calls.back(), "exit " + std::to_string(status));
}

const char* const kPalvixTargets[] = {
    "C:\\Palvix\\Palvix.ocx",    "C:\\Palvix\\Q37Reader.dll", "C:\\Palvix\\Q48Reader.dll",
    "C:\\Palvix\\Morvane.ocx",   "C:\\Palvix\\Unstall.bat",
};
const char* const kSystemNames[] = {"Palvix.ocx",    "Morvane.ocx", "Q48Reader.dll",
                                    "Q37Reader.dll", "sdtapi.dll",  "WltRS.dll"};

TEST(SetupScript, FirstInstallationRunsEveryStepInOrder) {
  FakePlatform fake;
  installer::RunSetup(fake);

  const std::string mark = "print " + kMark;
  const std::vector<std::string> expected = {
      "wow64?",
      "mkdir C:\\Palvix",
      "delete C:\\Palvix\\Palvix.ocx",
      "copy ./Tarnix.ocx C:\\Palvix\\Palvix.ocx", mark,
      "run regsvr32 C:\\Palvix\\Palvix.ocx",
      "delete C:\\Palvix\\Palvix.ocx", mark,  // the registered Tarnix copy is there now
      "copy ./Palvix.ocx C:\\Palvix\\Palvix.ocx", mark,
      "delete C:\\Palvix\\Q37Reader.dll",
      "copy ./Q37Reader.dll C:\\Palvix\\Q37Reader.dll", mark,
      "delete C:\\Palvix\\Q48Reader.dll",
      "copy ./Q48Reader.dll C:\\Palvix\\Q48Reader.dll", mark,
      "delete C:\\Palvix\\Morvane.ocx",
      "copy ./Morvane.ocx C:\\Palvix\\Morvane.ocx", mark,
      "delete C:\\Palvix\\Unstall.bat",
      "copy ./Unstall.bat C:\\Palvix\\Unstall.bat", mark,
      "run regsvr32 C:\\Palvix\\Morvane.ocx",
      "delete C:\\windows\\system32\\Palvix.ocx",
      "copy ./Palvix.ocx C:\\windows\\system32\\Palvix.ocx", mark,
      "delete C:\\windows\\system32\\Morvane.ocx",
      "copy ./Morvane.ocx C:\\windows\\system32\\Morvane.ocx", mark,
      "delete C:\\windows\\system32\\Q48Reader.dll",
      "copy ./Q48Reader.dll C:\\windows\\system32\\Q48Reader.dll", mark,
      "delete C:\\windows\\system32\\Q37Reader.dll",
      "copy ./Q37Reader.dll C:\\windows\\system32\\Q37Reader.dll", mark,
      "delete C:\\windows\\system32\\sdtapi.dll",
      "copy ./sdtapi.dll C:\\windows\\system32\\sdtapi.dll", mark,
      "delete C:\\windows\\system32\\WltRS.dll",
      "copy ./WltRS.dll C:\\windows\\system32\\WltRS.dll", mark,
      "print " + kSucceeded,
      "getchar",
      "exit 0",
  };
  EXPECT_EQ(fake.calls, expected);
  EXPECT_EQ(fake.output, Marks(13) + kSucceeded);
  ExpectEnd(fake, installer::kExitSuccess);
}

TEST(SetupScript, SecondRunDeletesThenCopiesEveryTarget) {
  FakePlatform fake;
  installer::RunSetup(fake);
  FakePlatform second;
  second.files = fake.files;
  installer::RunSetup(second);

  // Twelve replacements, each now a delete and a copy.
  EXPECT_EQ(second.output, Marks(24) + kSucceeded);
  ExpectEnd(second, installer::kExitSuccess);
}

TEST(SetupScript, SystemDirectoryFollowsWow64) {
  for (const bool wow64 : {false, true}) {
    SCOPED_TRACE(wow64 ? "WOW64" : "native");
    FakePlatform fake;
    fake.wow64 = wow64;
    installer::RunSetup(fake);
    const std::string used = wow64 ? "C:\\windows\\syswow64\\" : "C:\\windows\\system32\\";
    const std::string unused = wow64 ? "C:\\windows\\system32\\" : "C:\\windows\\syswow64\\";
    for (const char* name : kSystemNames) EXPECT_EQ(fake.files.count(used + name), 1u) << name;
    for (const char* target : kPalvixTargets) EXPECT_EQ(fake.files.count(target), 1u) << target;
    EXPECT_EQ(fake.files.size(), 11u);
    for (const std::string& call : fake.calls) EXPECT_EQ(call.find(unused), std::string::npos) << call;
    EXPECT_EQ(fake.exit_status, installer::kExitSuccess);
  }
}

TEST(SetupScript, MissingSourceNamesTheFile) {
  FakePlatform fake;
  fake.missing_sources = {"./Q37Reader.dll"};
  installer::RunSetup(fake);

  // Tarnix (1 mark), Palvix (delete and copy), then the failed copy.
  EXPECT_EQ(fake.output, Marks(3) + Missing("Q37Reader.dll") + kFailed);
  ExpectEnd(fake, installer::kExitFailure);
  EXPECT_EQ(fake.files.count("C:\\Palvix\\Q48Reader.dll"), 0u);
}

TEST(SetupScript, FailedRegistrationShowsItsStatusAndStops) {
  struct Case {
    std::string command;
    int status;
    std::string marks_before;
  };
  const Case cases[] = {
      {"regsvr32 C:\\Palvix\\Palvix.ocx", 3, Marks(1)},
      {"regsvr32 C:\\Palvix\\Morvane.ocx", 5, Marks(7)},
      {"regsvr32 C:\\Palvix\\Palvix.ocx", -1, Marks(1)},  // no command interpreter
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " -> " + std::to_string(c.status));
    FakePlatform fake;
    fake.command_status[c.command] = c.status;
    installer::RunSetup(fake);
    EXPECT_EQ(fake.output, c.marks_before + RegistrationFailed(std::to_string(c.status)));
    ExpectEnd(fake, installer::kExitFailure);
    EXPECT_EQ(fake.calls[fake.calls.size() - 4], "run " + c.command);
  }
}

// Failures of C:\Palvix\Q48Reader.dll, replaced after three marks (Tarnix, then
// Palvix deleted and copied) and after Q37Reader.dll on a first installation.
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
    FakePlatform fake;
    fake.delete_errors[kTarget] = c.code;
    installer::RunSetup(fake);
    EXPECT_EQ(fake.output, kBefore + c.message + kFailed);
    ExpectEnd(fake, installer::kExitFailure);
    EXPECT_EQ(fake.calls[fake.calls.size() - 5], std::string("delete ") + kTarget);
  }
}

TEST(SetupScript, DeleteOfAbsentTargetIsSilent) {
  FakePlatform fake;
  fake.files.insert(kTarget);
  fake.delete_errors[kTarget] = 2;  // gone between runs: same as absent
  installer::RunSetup(fake);
  EXPECT_EQ(fake.output, Marks(13) + kSucceeded);
  ExpectEnd(fake, installer::kExitSuccess);
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
    FakePlatform fake;
    fake.copy_errors[kTarget] = c.code;
    installer::RunSetup(fake);
    EXPECT_EQ(fake.output, kBefore + c.message + kFailed);
    ExpectEnd(fake, installer::kExitFailure);
    EXPECT_EQ(fake.calls[fake.calls.size() - 5], std::string("copy ./Q48Reader.dll ") + kTarget);
  }
}

TEST(SetupScript, FailureInSystemDirectoryShowsItsPath) {
  FakePlatform fake;
  fake.wow64 = true;
  fake.delete_errors["C:\\windows\\syswow64\\sdtapi.dll"] = 32;
  installer::RunSetup(fake);
  EXPECT_EQ(fake.output, Marks(11) + InUse("C:\\windows\\syswow64\\sdtapi.dll", "32") + kFailed);
  ExpectEnd(fake, installer::kExitFailure);
}

}  // namespace
