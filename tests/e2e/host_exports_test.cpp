// The exported functions as a host program loads them: the shared library
// opened with dlopen, its exports fixed to /sys and /dev. The test gives the
// host a private mount namespace whose /sys is a tree of the test's own and
// whose /dev holds ttyUSB7, the emulator's pty.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "reader_fixture.h"

namespace q48::test {
namespace {

struct HostRun {
  int status = -1;
  std::string output;
};

class HostExportsTest : public ReaderTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    if (std::system("unshare --mount --propagation private true 2>/dev/null") != 0)
      GTEST_SKIP() << "mount namespaces are not available here";
    ReaderTest::SetUp();
  }

  HostRun Host(const std::string& request) {
    // A pty slave opens only through its devpts mount: keep /dev/pts under
    // the new /dev and link ttyUSB7 to the emulator's slave.
    const std::string decoderDir = std::filesystem::path(StandInDecoderPath()).parent_path().string();
    const std::string pts = system->root() + "/pts";
    const std::string script =
        "mkdir -p '" + pts + "' && mount --bind /dev/pts '" + pts + "' && mount --bind '" + system->root() +
        "/sys' /sys && mount -t tmpfs none /dev && mkdir /dev/pts && mount --bind '" + pts +
        "' /dev/pts && ln -s '" + emulator->SlavePath() + "' /dev/ttyUSB7 && XDG_CACHE_HOME='" + portraitDir + "' LD_LIBRARY_PATH='" + decoderDir + "' exec '" Q48_TEST_HOST "' '" +
        Q48_TEST_LIBRARY "' " + request;
    const std::string command = "unshare --mount --propagation private sh -c \"" + script + "\" 2>&1";
    HostRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.output.append(chunk.data(), n);
    run.status = pclose(pipe);
    return run;
  }
};

std::string HexOf(const std::string& text) {
  std::string out;
  char digits[3];
  for (unsigned char c : text) {
    std::snprintf(digits, sizeof digits, "%02x", c);
    out += digits;
  }
  return out;
}

TEST_F(HostExportsTest, EveryExportThroughTheSharedLibrary) {
  auto run = Host("list");
  EXPECT_EQ(run.output.rfind("result=1\n", 0), 0u) << run.output;

  run = Host("iccid");
  EXPECT_EQ(run.output, "result=0\n" + HexOf(q48emu::SampleCard().iccid) +
                            std::string(2 * (60 - q48emu::SampleCard().iccid.size()), '0') + "\n");

  run = Host("card-type");
  EXPECT_EQ(run.output.rfind("result=1\n", 0), 0u) << run.output;

  run = Host("write hello 13800138000");
  EXPECT_EQ(run.output.rfind("result=0\n", 0), 0u) << run.output;
  EXPECT_EQ(emulator->WrittenNumbers().back(), "+8613800138000");

  run = Host("read-card");
  ASSERT_EQ(run.output.rfind("result=0\n", 0), 0u) << run.output;
  // Identity number at offset 500, the portrait JPEG's Base64 ("/9j/") at 1000.
  const std::string hex = run.output.substr(9);
  EXPECT_EQ(hex.substr(1000, 36), HexOf(q48emu::SampleCard().idCard.idNumber));
  EXPECT_EQ(hex.substr(2000, 8), HexOf("/9j/"));
  EXPECT_TRUE(std::filesystem::exists(portraitDir + "/Palvix/pic.jpg"));
  EXPECT_EQ(std::filesystem::status(portraitDir + "/Palvix").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

TEST_F(HostExportsTest, NoReaderThroughTheSharedLibrary) {
  system.swap(emptySystem);  // a tree with no USB serial device
  auto run = Host("list");
  EXPECT_EQ(run.output.rfind("result=0\n", 0), 0u) << run.output;
}

}  // namespace
}  // namespace q48::test
