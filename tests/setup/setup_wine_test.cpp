// The real setup.exe (x64 build) under wine64, run from a folder holding
// stand-ins for every file it deploys.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "wine_harness.h"

namespace {

namespace fs = std::filesystem;
using q48::wine::WithCrLf;

const std::string kWin64Bin = Q48_WIN64_BIN;

// "\n安装成功！\n"
const std::string kSucceeded = "\n\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6\xA3\xA1\n";
// "\n安装失败！\n"
const std::string kFailed = "\n\xB0\xB2\xD7\xB0\xCA\xA7\xB0\xDC\xA3\xA1\n";

std::string Marks(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += "......\n";
  return out;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The tag the controls log when registered: 16 bytes at the end of the file.
std::string Tag(const std::string& name) {
  std::string tag = "TAG-" + name;
  tag.resize(16, '.');
  return tag;
}

const char* const kPalvixFiles[] = {"Palvix.ocx", "Q37Reader.dll", "Q48Reader.dll", "Morvane.ocx",
                                    "Unstall.bat"};
const char* const kSystemFiles[] = {"Palvix.ocx",    "Morvane.ocx", "Q48Reader.dll",
                                    "Q37Reader.dll", "sdtapi.dll",  "WltRS.dll"};

class SetupUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wine_.Unavailable().empty()) GTEST_SKIP() << wine_.Unavailable();
    for (const char* name : {"setup.exe", "fixture_control_ok.dll", "fixture_control_fail.dll",
                             "fixture_hold_file.exe"}) {
      if (!fs::exists(kWin64Bin + "/" + name)) {
        GTEST_SKIP() << kWin64Bin << "/" << name
                     << " is missing: build the windows-x64 preset first";
      }
    }
    ASSERT_EQ(wine_.EnsurePrefix(), "");

    char folder[] = "/tmp/q48-setup-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    fs::copy_file(kWin64Bin + "/setup.exe", folder_ / "setup.exe");
    for (const char* name : {"Tarnix", "Palvix", "Morvane"}) PlaceControl(name, "ok");
    for (const char* name : {"Q37Reader.dll", "Q48Reader.dll", "sdtapi.dll", "WltRS.dll"}) {
      WriteFile(folder_ / name, std::string("stand-in ") + name + "\n");
    }
    WriteFile(folder_ / "Unstall.bat", "@echo stand-in uninstaller\r\n");
    RemoveTargets();
  }

  void TearDown() override {
    if (!folder_.empty()) {
      RemoveTargets();
      fs::remove_all(folder_);
    }
  }

  // A control built from a fixture, tagged with its name so the copy at a
  // target can be told apart from the others.
  void PlaceControl(const std::string& name, const std::string& variant) {
    const fs::path path = folder_ / (name + ".ocx");
    fs::copy_file(kWin64Bin + "/fixture_control_" + variant + ".dll", path,
                  fs::copy_options::overwrite_existing);
    std::ofstream(path, std::ios::binary | std::ios::app) << Tag(name);
  }

  fs::path Palvix() const { return fs::path(wine_.DriveC()) / "Palvix"; }
  fs::path System32() const { return fs::path(wine_.DriveC()) / "windows/system32"; }
  fs::path SysWow64() const { return fs::path(wine_.DriveC()) / "windows/syswow64"; }

  void RemoveTargets() {
    fs::remove_all(Palvix());
    for (const char* name : kSystemFiles) {
      fs::remove(System32() / name);
      fs::remove(SysWow64() / name);
    }
  }

  std::string RegisterLog() const { return folder_ / "registered.log"; }

  q48::wine::RunResult RunSetup() {
    q48::wine::RunOptions run;
    run.program = (folder_ / "setup.exe").string();
    run.working_directory = folder_.string();
    run.stdin_bytes = "\n";
    run.environment = {{"Q48_FIXTURE_REGISTER_LOG", q48::wine::ToWindowsPath(RegisterLog())}};
    run.time_limit = std::chrono::minutes(2);
    q48::wine::RunResult result = wine_.Run(run);
    EXPECT_TRUE(result.started) << result.error;
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  // What Wine's regsvr32 prints and returns for a control at a Windows path,
  // run on its own (it writes its own line into setup's output).
  q48::wine::RunResult Regsvr32(const std::string& windows_path) {
    q48::wine::RunOptions run;
    run.program = "regsvr32";
    run.args = {windows_path};
    q48::wine::RunResult result = wine_.Run(run);
    EXPECT_TRUE(result.started) << result.error;
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  q48::wine::WineHarness wine_;
  fs::path folder_;
};

TEST_F(SetupUnderWine, InstallsAndRegistersThenReinstalls) {
  const q48::wine::RunResult first = RunSetup();
  ASSERT_EQ(first.exit_status, 0) << first.stdout_bytes << first.stderr_bytes;

  for (const char* name : kPalvixFiles) {
    EXPECT_EQ(ReadFile(Palvix() / name), ReadFile(folder_ / name)) << "C:\\Palvix\\" << name;
  }
  for (const char* name : kSystemFiles) {
    EXPECT_EQ(ReadFile(System32() / name), ReadFile(folder_ / name)) << "system32\\" << name;
    EXPECT_FALSE(fs::exists(SysWow64() / name)) << "an x64 process is not WOW64: " << name;
  }
  EXPECT_EQ(ReadFile(RegisterLog()), "C:\\Palvix\\Palvix.ocx " + Tag("Tarnix") +
                                         "\nC:\\Palvix\\Morvane.ocx " + Tag("Morvane") + "\n");

  const q48::wine::RunResult palvix = Regsvr32("C:\\Palvix\\Palvix.ocx");
  const q48::wine::RunResult morvane = Regsvr32("C:\\Palvix\\Morvane.ocx");
  ASSERT_EQ(palvix.exit_status, 0);
  ASSERT_EQ(morvane.exit_status, 0);
  EXPECT_EQ(first.stdout_bytes, WithCrLf(Marks(1)) + palvix.stdout_bytes + WithCrLf(Marks(6)) +
                                    morvane.stdout_bytes + WithCrLf(Marks(6) + kSucceeded));

  const q48::wine::RunResult second = RunSetup();
  EXPECT_EQ(second.exit_status, 0);
  EXPECT_EQ(second.stdout_bytes, WithCrLf(Marks(2)) + palvix.stdout_bytes + WithCrLf(Marks(10)) +
                                     morvane.stdout_bytes + WithCrLf(Marks(12) + kSucceeded));
}

TEST_F(SetupUnderWine, FailingControlStopsWithRegsvr32Status) {
  PlaceControl("Morvane", "fail");
  const q48::wine::RunResult run = RunSetup();

  // Registered by Wine's regsvr32, which then failed.
  EXPECT_EQ(ReadFile(RegisterLog()), "C:\\Palvix\\Palvix.ocx " + Tag("Tarnix") +
                                         "\nC:\\Palvix\\Morvane.ocx " + Tag("Morvane") + "\n");
  const q48::wine::RunResult palvix = Regsvr32("C:\\Palvix\\Palvix.ocx");
  const q48::wine::RunResult morvane = Regsvr32("C:\\Palvix\\Morvane.ocx");
  ASSERT_NE(morvane.exit_status, 0);
  EXPECT_EQ(run.stdout_bytes,
            WithCrLf(Marks(1)) + palvix.stdout_bytes + WithCrLf(Marks(6)) + morvane.stdout_bytes +
                // "\n安装失败[" status "]\n"
                WithCrLf("\n\xB0\xB2\xD7\xB0\xCA\xA7\xB0\xDC[" +
                         std::to_string(morvane.exit_status) + "]\n"));
  EXPECT_EQ(run.exit_status, 1);
  for (const char* name : kSystemFiles) EXPECT_FALSE(fs::exists(System32() / name)) << name;
}

TEST_F(SetupUnderWine, MissingSourceIsNamed) {
  fs::remove(folder_ / "Q37Reader.dll");
  const q48::wine::RunResult run = RunSetup();

  const q48::wine::RunResult palvix = Regsvr32("C:\\Palvix\\Palvix.ocx");
  EXPECT_EQ(run.stdout_bytes,
            WithCrLf(Marks(1)) + palvix.stdout_bytes +
                // "Q37Reader.dll文件丢失\n"
                WithCrLf(Marks(2) + "Q37Reader.dll\xCE\xC4\xBC\xFE\xB6\xAA\xCA\xA7\n" + kFailed));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_FALSE(fs::exists(Palvix() / "Q37Reader.dll"));
}

TEST_F(SetupUnderWine, TargetHeldByAnotherProgramIsInUse) {
  const std::string held_content = "held by another program\n";
  WriteFile(System32() / "Q48Reader.dll", held_content);
  const fs::path ready = folder_ / "held";

  q48::wine::RunOptions hold;
  hold.program = kWin64Bin + "/fixture_hold_file.exe";
  hold.args = {"C:\\windows\\system32\\Q48Reader.dll", q48::wine::ToWindowsPath(ready)};
  hold.close_stdin = false;
  hold.time_limit = std::chrono::minutes(2);
  q48::wine::WineProcess holder = wine_.Start(hold);
  ASSERT_TRUE(holder.started());
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(ready) && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(fs::exists(ready)) << "the holder never opened the file";

  const q48::wine::RunResult run = RunSetup();
  holder.CloseStdin();
  const q48::wine::RunResult held = holder.Wait();
  EXPECT_EQ(held.exit_status, 0) << held.stderr_bytes;

  const q48::wine::RunResult palvix = Regsvr32("C:\\Palvix\\Palvix.ocx");
  const q48::wine::RunResult morvane = Regsvr32("C:\\Palvix\\Morvane.ocx");
  EXPECT_EQ(run.stdout_bytes,
            WithCrLf(Marks(1)) + palvix.stdout_bytes + WithCrLf(Marks(6)) + morvane.stdout_bytes +
                WithCrLf(Marks(2) +
                         // "C:\windows\system32\Q48Reader.dll文件被占用，请关闭相关程序后重试[32]\n"
                         "C:\\windows\\system32\\Q48Reader.dll"
                         "\xCE\xC4\xBC\xFE\xB1\xBB\xD5\xBC\xD3\xC3\xA3\xAC\xC7\xEB\xB9\xD8\xB1\xD5"
                         "\xCF\xE0\xB9\xD8\xB3\xCC\xD0\xF2\xBA\xF3\xD6\xD8\xCA\xD4[32]\n" +
                         kFailed));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(ReadFile(System32() / "Q48Reader.dll"), held_content);
}

}  // namespace
