// The Linux portrait converter with the stand-in decoder and with decoders
// that break their contract.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "photo/portrait.h"
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

  int32_t Convert(const std::string& decoder, size_t capacity = kMaxPortraitJpeg) {
    SystemPortraitConverter converter(target);
    converter.SetDecoderLibrary(decoder);
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
  EXPECT_EQ(Convert(StandInDecoderPath()), kFileError);
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
