// The Windows kits under wine64, from the folders that check_kit.py unpacks
// (the CTest fixtures kit.<arch>.contents, kit.x64.msvc_link and
// kit.x64.signing make them):
//   - version information as Windows reads it (GetFileVersionInfo), in the
//     binaries of both kits (a 32-bit file's resources read from a 64-bit
//     process);
//   - the MSVC-style program linked against Q48Reader.lib alone, and the C
//     example, with the kit's stripped DLLs against the emulator on a pty
//     that the prefix sees as COM7 (the registry declares the reader);
//   - the signed binaries still load and run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "emulator.h"
#include "wine_harness.h"

namespace {

namespace fs = std::filesystem;
using q48::wine::RunOptions;
using q48::wine::RunResult;
using q48::wine::ToWindowsPath;
using q48::wine::WineHarness;

const std::string kWin64Bin = Q48_WIN64_BIN;
const std::string kWork = Q48_KIT_WORK;
const std::string kVersion = Q48_VERSION;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Describe(const RunResult& run) {
  return "status " + std::to_string(run.exit_status) + (run.timed_out ? " (timed out) " : " ") + run.error +
         "\nstdout:\n" + run.stdout_bytes + "\nstderr:\n" + run.stderr_bytes;
}

// The probe's answer for each file: key -> value.
std::map<std::string, std::map<std::string, std::string>> ParseProbe(const std::string& output) {
  std::map<std::string, std::map<std::string, std::string>> files;
  std::map<std::string, std::string>* current = nullptr;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string key = line.substr(0, space);
    const std::string value = line.substr(space + 1);
    if (key == "file") {
      current = &files[value];
    } else if (current != nullptr) {
      (*current)[key] = value;
    }
  }
  return files;
}

class KitUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wine_.Unavailable().empty()) GTEST_SKIP() << wine_.Unavailable();
    for (const std::string& path : {kWin64Bin + "/q48_kit_probe.exe", kWin64Bin + "/q48_example_read_card.exe",
                                    kWork + "/x64/kit/bin/Q48Reader.dll", kWork + "/x86/kit/bin/Q48Reader.dll",
                                    kWork + "/x64/msvc_link.exe", kWork + "/x64/signed/bin/Q48Reader.dll"}) {
      if (!fs::exists(path))
        GTEST_SKIP() << path << " is missing: build the Windows presets, run cpack in them, then the kit.* checks";
    }
    ASSERT_EQ(wine_.EnsurePrefix(), "");
    folder_ = wine_.DriveC() + "/q48kit";
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }

  // Copies files into the test's folder under C:.
  void Place(const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
      fs::copy_file(path, folder_ + "/" + fs::path(path).filename().string(), fs::copy_options::overwrite_existing);
  }

  RunResult Run(const std::string& program, const std::vector<std::string>& args) {
    RunOptions run;
    run.program = program;
    run.args = args;
    run.working_directory = folder_;
    run.time_limit = std::chrono::seconds(90);
    return wine_.Run(run);
  }

  static std::vector<std::string> Binaries(const std::string& kit) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(kit + "/bin")) out.push_back(entry.path().string());
    return out;
  }

  WineHarness wine_;
  std::string folder_;
};

TEST_F(KitUnderWine, VersionInformationAsWindowsReadsIt) {
  std::vector<std::string> files = Binaries(kWork + "/x64/kit");
  const std::vector<std::string> x86 = Binaries(kWork + "/x86/kit");
  files.insert(files.end(), x86.begin(), x86.end());
  std::vector<std::string> args;
  for (const std::string& file : files) args.push_back(ToWindowsPath(file));
  const RunResult run = Run(kWin64Bin + "/q48_kit_probe.exe", args);
  ASSERT_EQ(run.exit_status, 0) << Describe(run);

  const auto probed = ParseProbe(run.stdout_bytes);
  ASSERT_EQ(probed.size(), files.size()) << run.stdout_bytes;
  const std::string numbers = kVersion + ".0";
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const auto found = probed.find(ToWindowsPath(file));
    ASSERT_NE(found, probed.end());
    const auto& fields = found->second;
    EXPECT_EQ(fields.count("fixed") ? fields.at("fixed") : "", numbers + " " + numbers);
    EXPECT_EQ(fields.count("ProductName") ? fields.at("ProductName") : "", "Q48Reader");
    EXPECT_EQ(fields.count("ProductVersion") ? fields.at("ProductVersion") : "", kVersion);
    EXPECT_EQ(fields.count("FileVersion") ? fields.at("FileVersion") : "", kVersion);
    EXPECT_EQ(fields.count("OriginalFilename") ? fields.at("OriginalFilename") : "",
              fs::path(file).filename().string());
    EXPECT_FALSE(fields.count("FileDescription") == 0 || fields.at("FileDescription").empty());
  }
}

TEST_F(KitUnderWine, SignedBinariesStillLoadAndRun) {
  Place(Binaries(kWork + "/x64/signed"));
  const RunResult probe = Run(kWin64Bin + "/q48_kit_probe.exe", {"--load", ToWindowsPath(folder_ + "/Q48Reader.dll"),
                                                                 ToWindowsPath(folder_ + "/WltRS.dll")});
  EXPECT_EQ(probe.exit_status, 0) << Describe(probe);
  EXPECT_EQ(probe.stdout_bytes.find("loaded 0"), std::string::npos) << probe.stdout_bytes;

  const RunResult help = Run(folder_ + "/q48.exe", {"--help"});
  EXPECT_EQ(help.exit_status, 0) << Describe(help);
  EXPECT_NE(help.stdout_bytes.find("read-card"), std::string::npos) << Describe(help);
  const RunResult profile = Run(folder_ + "/q48-emulator.exe", {"--print-profile"});
  EXPECT_EQ(profile.exit_status, 0) << Describe(profile);
  EXPECT_NE(profile.stdout_bytes.find("\"iccid\""), std::string::npos) << Describe(profile);
}

// The emulator's sample card on a pty that the prefix sees as COM7.
class KitAgainstEmulator : public KitUnderWine {
 protected:
  void SetUp() override {
    KitUnderWine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string error;
    ASSERT_TRUE(emulator_.OpenPty(&error)) << error;
    emulator_.Start();
    std::error_code ignored;
    fs::remove(ComLink(), ignored);
    fs::create_symlink(emulator_.SlavePath(), ComLink());
    Registry(true);
    Place({kWork + "/x64/kit/bin/Q48Reader.dll", kWork + "/x64/kit/bin/WltRS.dll"});
  }

  void TearDown() override {
    emulator_.Stop();
    if (!fs::is_symlink(ComLink())) return;
    std::error_code ignored;
    fs::remove(ComLink(), ignored);
    Registry(false);  // the prefix is shared with other tests
  }

  std::string ComLink() const { return wine_.prefix() + "/dosdevices/com7"; }

  // Declares the reader's USB serial device (FTDIBUS, COM7) for the Setup
  // API, or takes the declaration away.
  void Registry(bool declare) {
    const std::string control = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet";
    const std::string ports = "{4d36e978-e325-11ce-bfc1-08002be10318}";
    const std::string instance = "FTDIBUS\\VID_0403+PID_6001+Q48KIT\\0000";
    const std::string hashed = "FTDIBUS#VID_0403+PID_6001+Q48KIT#0000";
    const std::string iface = control + "\\Control\\DeviceClasses\\" + ports + "\\##?#" + hashed + "#" + ports;
    std::ostringstream reg;
    reg << "REGEDIT4\n\n[-" << control << "\\Enum\\FTDIBUS\\VID_0403+PID_6001+Q48KIT]\n[-" << iface << "]\n";
    if (declare) {
      reg << "\n[" << control << "\\Enum\\" << instance << "]\n\"ClassGUID\"=\"" << ports
          << "\"\n\"Class\"=\"Ports\"\n\"FriendlyName\"=\"USB Serial Port (COM7)\"\n";
      reg << "\n[" << iface << "]\n\"DeviceInstance\"=\"FTDIBUS\\\\VID_0403+PID_6001+Q48KIT\\\\0000\"\n";
      reg << "\n[" << iface << "\\#]\n\"SymbolicLink\"=\"\\\\\\\\?\\\\" << hashed << "#" << ports << "\"\n";
      reg << "\n[" << iface << "\\#\\Control]\n\"Linked\"=dword:00000001\n";
    }
    std::ofstream(wine_.DriveC() + "/q48kit.reg", std::ios::binary) << reg.str();
    const RunResult run = Run("regedit", {"/S", "C:\\q48kit.reg"});
    ASSERT_EQ(run.exit_status, 0) << Describe(run);
  }

  q48emu::Emulator emulator_;
};

TEST_F(KitAgainstEmulator, MsvcStyleProgramCallsEveryExport) {
  Place({kWork + "/x64/msvc_link.exe"});
  const RunResult run = Run(folder_ + "/msvc_link.exe", {});
  // See msvc_link.c: 0, or the number of the first call that went wrong.
  EXPECT_EQ(run.exit_status, 0) << Describe(run);
  EXPECT_EQ(emulator_.Requests().size(), 6u);  // the write is two requests
  EXPECT_EQ(emulator_.WrittenNumbers(), std::vector<std::string>{"+8613800138000"});
  EXPECT_EQ(emulator_.WrittenContents(), std::vector<std::string>{"hello"});
}

TEST_F(KitAgainstEmulator, CExampleReadsTheSampleCard) {
  Place({kWin64Bin + "/q48_example_read_card.exe"});
  const RunResult run = Run(folder_ + "/q48_example_read_card.exe", {"--photo", "portrait.jpg"});
  ASSERT_EQ(run.exit_status, 0) << Describe(run);
  const std::string& out = run.stdout_bytes;
  EXPECT_NE(out.find("zelListReaderCard: 1\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("zelReadCard: 0\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\xB3\xC2\xCB\xBC\xD4\xB6"), std::string::npos) << out;  // 陈思远 in GBK
  EXPECT_NE(out.find("33010619880614131X"), std::string::npos) << out;
  EXPECT_NE(out.find("zelReadICCID: 0 89860318720012345678\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("zelWriteCard"), std::string::npos) << "wrote without being asked";
  EXPECT_TRUE(emulator_.WrittenContents().empty());
  const std::string jpeg = ReadFile(folder_ + "/portrait.jpg");
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
}

}  // namespace
