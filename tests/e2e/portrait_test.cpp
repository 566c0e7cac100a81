// The Linux portrait converter with the stand-in decoder and with decoders
// that break their contract.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "photo/portrait.h"
#include "photo/portrait_platform.h"
#include "reader_fixture.h"
#include "wlt_format.h"

namespace q48::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Decoder(const char* mode) { return std::string(Q48_TEST_DECODER_DIR) + "/libq48_decoder_" + mode + ".so"; }

class PortraitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempDir("photo");
    target = dir + "/Palvix";
    wltrs::EncodePortrait(wltrs::DrawSamplePortrait(), &card);
    card.resize(1024, 0);
    input.assign(2048, 0);
    std::copy(card.begin(), card.end(), input.begin());
    out.assign(51200, 0xEE);
  }
  void TearDown() override { RemoveTree(dir); }

  int32_t Convert(const std::string& decoder, size_t capacity = kMaxPortraitJpeg, bool keepFiles = true) {
    SystemPortraitConverter converter(target);
    converter.SetDecoderLibrary(decoder);
    converter.SetKeepFiles(keepFiles);
    length = 2048;
    return converter.ConvertPortrait(input.data(), &length, out.data(), capacity);
  }

  std::string dir, target;
  std::vector<uint8_t> card, input, out;
  int32_t length = 0;
};

std::string WorkingDirectory() {
  char path[PATH_MAX];
  return getcwd(path, sizeof path) != nullptr ? path : "<unknown>";
}

TEST_F(PortraitTest, StandInDecoderGivesTheJpegOnDisk) {
  ASSERT_EQ(Convert(StandInDecoderPath()), 1);

  const auto jpg = ReadFile(target + "/pic.jpg");
  ASSERT_EQ(static_cast<size_t>(length), jpg.size());
  EXPECT_TRUE(std::equal(jpg.begin(), jpg.end(), out.begin()));
  EXPECT_EQ(out[length], 0xEE);  // nothing past the picture
  EXPECT_EQ(jpg[0], 0xFF);
  EXPECT_EQ(jpg[1], 0xD8);
  EXPECT_EQ(ReadFile(target + "/pic.wlt"), input);  // exactly the 2048 bytes asked for
  // Personal data: private directory and files.
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_all);
  for (const char* name : {"/pic.wlt", "/pic.bmp", "/pic.jpg"})
    EXPECT_EQ(fs::status(target + name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << name;
}

TEST_F(PortraitTest, FailedDecodeNeverReturnsTheEarlierPicture) {
  ASSERT_EQ(Convert(StandInDecoderPath()), 1);
  out.assign(51200, 0xEE);
  EXPECT_EQ(Convert(Decoder("refuse")), 0);  // the decoder's own value
  EXPECT_EQ(length, 2048);
  EXPECT_EQ(out[0], 0);
  EXPECT_FALSE(fs::exists(target + "/pic.jpg"));
  EXPECT_FALSE(fs::exists(target + "/pic.bmp"));
}

TEST_F(PortraitTest, DecodersThatBreakTheirContract) {
  for (const char* mode : {"no_file", "corrupt", "huge_dims", "huge_file"}) {
    ASSERT_EQ(Convert(StandInDecoderPath()), 1);  // leave a good picture behind first
    out.assign(51200, 0xEE);
    EXPECT_EQ(Convert(Decoder(mode)), kNoPicture) << mode;
    EXPECT_EQ(length, 2048) << mode;
    EXPECT_EQ(out[1], 0xEE) << mode;
  }
}

// The service's converter: nothing of the card holder stays in the folder,
// whichever way the conversion ends.
TEST_F(PortraitTest, WithoutKeptFilesEveryOutcomeLeavesTheFolderEmpty) {
  ASSERT_EQ(Convert(StandInDecoderPath(), kMaxPortraitJpeg, false), 1);
  EXPECT_EQ(out[0], 0xFF);  // the picture still reached the caller
  EXPECT_TRUE(fs::is_empty(target));
  for (const char* mode : {"refuse", "no_file", "corrupt", "big_jpeg"}) {
    ASSERT_EQ(Convert(StandInDecoderPath()), 1);  // files kept by a host program's converter
    EXPECT_NE(Convert(Decoder(mode), kMaxPortraitJpeg, false), 1) << mode;
    EXPECT_TRUE(fs::is_empty(target)) << mode;
  }
}

TEST_F(PortraitTest, PictureLargerThanTheTextBufferIsAFailure) {
  EXPECT_EQ(Convert(Decoder("big_jpeg")), kJpegTooLarge);
  EXPECT_EQ(length, 2048);
  EXPECT_EQ(out[0], 0xEE);
  // With room for it, the same picture is fine.
  out.assign(1 << 20, 0);
  EXPECT_EQ(Convert(Decoder("big_jpeg"), out.size()), 1);
  EXPECT_GT(length, kMaxPortraitJpeg);
}

TEST_F(PortraitTest, MissingDecoderOrEntryWritesNothing) {
  EXPECT_EQ(Convert("libq48-no-such-decoder.so"), kNoDecoderLibrary);
  EXPECT_EQ(Convert(Decoder("no_entry")), kNoDecoderEntry);
  EXPECT_EQ(length, 2048);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_FALSE(fs::exists(target + "/pic.wlt"));
}

TEST_F(PortraitTest, UnwritableFilesAreFailures) {
  fs::create_directories(target + "/pic.jpg");  // a directory where the picture goes
  EXPECT_EQ(Convert(StandInDecoderPath()), kNoPicture);
  EXPECT_EQ(length, 2048);
  fs::remove(target + "/pic.jpg");

  // A read-only picture left behind is replaced, not read.
  std::ofstream(target + "/pic.jpg") << "old";
  fs::permissions(target + "/pic.jpg", fs::perms::owner_read);
  ASSERT_EQ(Convert(StandInDecoderPath()), 1);
  EXPECT_NE(out[0], 'o');

  // The portrait directory cannot be made.
  RemoveTree(target);
  std::ofstream(target) << "a file";
  EXPECT_EQ(Convert(StandInDecoderPath()), kNoFolder);
}

// Personal data goes only to a folder that is the caller's alone, and never
// through a link or into a file that was there before.
TEST_F(PortraitTest, OnlyAFolderOfTheCallersOwnTakesThePortrait) {
  const auto unchanged = [](const std::string& path, const std::string& content) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) == content;
  };
  // The caller's own folder, open to others: closed to them, then used.
  fs::create_directories(target);
  fs::permissions(target, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
  // Old files there: a link to a file elsewhere, and a second name of one.
  std::ofstream(dir + "/elsewhere") << "keep";
  std::ofstream(dir + "/second-name") << "keep";
  fs::create_hard_link(dir + "/second-name", target + "/pic.wlt");
  fs::create_symlink(dir + "/elsewhere", target + "/pic.bmp");
  ASSERT_EQ(Convert(StandInDecoderPath()), 1);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_TRUE(unchanged(dir + "/elsewhere", "keep"));
  EXPECT_TRUE(unchanged(dir + "/second-name", "keep"));
  EXPECT_EQ(ReadFile(target + "/pic.wlt"), input);

  // A link in the folder's place is refused; nothing reaches where it points.
  const std::string real = dir + "/real";
  fs::create_directories(real);
  RemoveTree(target);
  fs::create_directory_symlink(real, target);
  EXPECT_EQ(Convert(StandInDecoderPath()), kNoFolder);
  EXPECT_EQ(length, 2048);
  EXPECT_TRUE(fs::is_empty(real));

  // Another user's folder is refused.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  RemoveTree(target);
  fs::create_directories(target);
  ASSERT_EQ(chown(target.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  fs::permissions(target, fs::perms::owner_all);
  EXPECT_EQ(Convert(StandInDecoderPath()), kNoFolder);
  EXPECT_TRUE(fs::is_empty(target));
}

// Without HOME the home comes from the password database, never a shared
// folder such as /tmp.
TEST(PortraitFolderDefault, HomeFromThePasswordDatabaseWhenHomeIsUnset) {
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  } saved[] = {{"HOME", "", false}, {"XDG_CACHE_HOME", "", false}};
  for (Saved& variable : saved) {
    const char* value = std::getenv(variable.name);
    variable.set = value != nullptr;
    if (value != nullptr) variable.value = value;
    unsetenv(variable.name);
  }
  const passwd* me = getpwuid(geteuid());
  const std::string expected = me != nullptr ? std::string(me->pw_dir) + "/.cache/Palvix" : "";
  const std::string got = portrait_platform::DefaultDirectory();
  setenv("HOME", "relative/home", 1);  // not a place: the database again
  const std::string withRelativeHome = portrait_platform::DefaultDirectory();
  for (const Saved& variable : saved) {
    if (variable.set) setenv(variable.name, variable.value.c_str(), 1);
    else unsetenv(variable.name);
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(withRelativeHome, expected);
}

// The working directory belongs to the whole host: a decoder that moves it
// (on loading, in GetBmp, on unloading) must not move the host.
TEST_F(PortraitTest, DecoderThatMovesTheWorkingDirectoryDoesNotMoveTheHost) {
  const std::string before = WorkingDirectory();
  ASSERT_NE(before, "/");
  out.assign(1 << 20, 0);
  EXPECT_EQ(Convert(Decoder("chdir"), out.size()), 1);
  EXPECT_EQ(WorkingDirectory(), before);
  EXPECT_EQ(Convert(Decoder("chdir"), 1), kJpegTooLarge);  // a failure too
  EXPECT_EQ(WorkingDirectory(), before);
}

}  // namespace
}  // namespace q48::test
