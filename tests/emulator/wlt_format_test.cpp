// The stand-in portrait format and the stand-in decoder library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "emulator.h"
#include "wlt_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool SameImage(const wltrs::Image& a, const wltrs::Image& b) {
  if (a.width != b.width || a.height != b.height || a.pixels != b.pixels || a.palette.size() != b.palette.size())
    return false;
  for (size_t i = 0; i < a.palette.size(); ++i)
    if (a.palette[i].r != b.palette[i].r || a.palette[i].g != b.palette[i].g || a.palette[i].b != b.palette[i].b)
      return false;
  return true;
}

uint32_t Le32(const Bytes& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (uint32_t(bytes[at + 3]) << 24);
}

Bytes Encoded(const wltrs::Image& image) {
  Bytes out;
  EXPECT_TRUE(wltrs::EncodePortrait(image, &out));
  return out;
}

// 4 x 2, two colours, runs 3 and 5: 51 50 54 31 | 04 00 02 00 | 02 | palette | 02 00 | 03 45.
wltrs::Image Small() {
  wltrs::Image image;
  image.width = 4;
  image.height = 2;
  image.palette = {{1, 2, 3}, {200, 100, 50}};
  image.pixels = {0, 0, 0, 1, 1, 1, 1, 1};
  return image;
}

TEST(StandInFormat, RoundTripsImagesOfEveryShape) {
  const wltrs::Image sample = wltrs::DrawSamplePortrait();
  const Bytes encoded = Encoded(sample);
  EXPECT_LE(encoded.size(), wltrs::kPortraitCapacity);
  wltrs::Image decoded;
  ASSERT_TRUE(wltrs::DecodePortrait(encoded.data(), encoded.size(), &decoded));
  EXPECT_TRUE(SameImage(decoded, sample));
  EXPECT_EQ(q48emu::SampleCard().portrait, encoded);

  EXPECT_EQ(Encoded(Small()), Bytes({'Q', 'P', 'T', '1', 4, 0, 2, 0, 2, 1, 2, 3, 200, 100, 50, 2, 0, 0x03, 0x45}));

  // Random images: single-pixel runs, runs longer than one or two run bytes
  // hold, rows of width 1.
  std::mt19937 random(48);
  for (int round = 0; round < 200; ++round) {
    wltrs::Image image;
    image.width = static_cast<uint16_t>(1 + random() % 200);
    image.height = static_cast<uint16_t>(1 + random() % 40);
    image.palette.resize(1 + random() % 4);
    for (wltrs::Rgb& colour : image.palette) colour = {uint8_t(random()), uint8_t(random()), uint8_t(random())};
    const size_t count = size_t(image.width) * image.height;
    while (image.pixels.size() < count) {
      const size_t run = std::min<size_t>(count - image.pixels.size(), 1 + random() % (round % 2 ? 3 : 700));
      image.pixels.insert(image.pixels.end(), run, uint8_t(random() % image.palette.size()));
    }
    const Bytes bytes = Encoded(image);
    wltrs::Image back;
    ASSERT_TRUE(wltrs::DecodePortrait(bytes.data(), bytes.size(), &back)) << round;
    EXPECT_TRUE(SameImage(back, image)) << round;
  }
}

TEST(StandInFormat, EncoderRefusesWhatItCannotStore) {
  Bytes out;
  wltrs::Image image = Small();
  image.pixels.pop_back();
  EXPECT_FALSE(wltrs::EncodePortrait(image, &out));
  image = Small();
  image.pixels[0] = 2;
  EXPECT_FALSE(wltrs::EncodePortrait(image, &out));
  image = Small();
  image.palette.resize(5);
  EXPECT_FALSE(wltrs::EncodePortrait(image, &out));
  EXPECT_TRUE(out.empty());
}

TEST(StandInFormat, DecoderRefusesMalformedInput) {
  const Bytes good = Encoded(Small());
  struct Case {
    const char* name;
    Bytes bytes;
  };
  auto with = [&good](size_t at, uint8_t value) {
    Bytes bytes = good;
    bytes[at] = value;
    return bytes;
  };
  const std::vector<Case> cases = {
      {"bad magic", with(3, '2')},
      {"zero width", with(4, 0)},
      {"too wide", with(5, 0x10)},
      {"empty palette", with(8, 0)},
      {"five colours", with(8, 5)},
      {"header only", Bytes(good.begin(), good.begin() + 9)},
      {"truncated palette", Bytes(good.begin(), good.begin() + 13)},
      {"truncated runs", Bytes(good.begin(), good.end() - 1)},
      {"index outside the palette", with(18, 0x85)},
      {"run overflow", with(18, 0x46)},
      {"run underflow", with(18, 0x44)},
      {"bytes left after the image", [&] {
         Bytes bytes = with(15, 3);
         bytes.push_back(0x41);
         return bytes;
       }()},
      {"extension byte missing", [&] {
         Bytes bytes = with(15, 3);
         bytes.push_back(0x40);
         return bytes;
       }()},
  };
  for (const Case& c : cases) {
    wltrs::Image image;
    std::string error;
    EXPECT_FALSE(wltrs::DecodePortrait(c.bytes.data(), c.bytes.size(), &image, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }

  // Damage anywhere (run under the sanitizers: no read past the input).
  const Bytes sample = Encoded(wltrs::DrawSamplePortrait());
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    Bytes bytes(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(random() % (sample.size() + 1)));
    for (int k = 0; k < 3 && !bytes.empty(); ++k) bytes[random() % bytes.size()] = uint8_t(random());
    wltrs::Image image;
    if (wltrs::DecodePortrait(bytes.data(), bytes.size(), &image)) {
      EXPECT_EQ(image.pixels.size(), size_t(image.width) * image.height);
    }
  }
}

TEST(StandInFormat, BmpIsBottomUpWithPaddedRows) {
  wltrs::Image image;
  image.width = 3;
  image.height = 2;
  image.palette = {{10, 20, 30}, {40, 50, 60}};
  image.pixels = {0, 0, 0, 1, 1, 0};
  const Bytes bmp = wltrs::EncodeBmp24(image);
  ASSERT_EQ(bmp.size(), 54u + 2 * 12);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(Le32(bmp, 2), bmp.size());
  EXPECT_EQ(Le32(bmp, 10), 54u);
  EXPECT_EQ(Le32(bmp, 14), 40u);
  EXPECT_EQ(Le32(bmp, 18), 3u);
  EXPECT_EQ(Le32(bmp, 22), 2u);  // positive: bottom-up
  EXPECT_EQ(bmp[26] | bmp[27] << 8, 1);
  EXPECT_EQ(bmp[28] | bmp[29] << 8, 24);
  EXPECT_EQ(Le32(bmp, 30), 0u);
  EXPECT_EQ(Le32(bmp, 34), 24u);
  // First stored row is the bottom one (1, 1, 0), B G R, then 3 pad bytes.
  EXPECT_EQ(Bytes(bmp.begin() + 54, bmp.begin() + 66), Bytes({60, 50, 40, 60, 50, 40, 30, 20, 10, 0, 0, 0}));
  EXPECT_EQ(Bytes(bmp.begin() + 66, bmp.end()), Bytes({30, 20, 10, 30, 20, 10, 30, 20, 10, 0, 0, 0}));
}

class StandInDecoder : public ::testing::Test {
 protected:
  using GetBmpFn = int (*)(const char*, int);

  void SetUp() override {
    char pattern[] = "/tmp/q48-wltrs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    library_ = ::dlopen(WLTRS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    getBmp_ = reinterpret_cast<GetBmpFn>(::dlsym(library_, "GetBmp"));
    ASSERT_NE(getBmp_, nullptr);
  }
  void TearDown() override {
    if (library_) ::dlclose(library_);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
  }
  static bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }
  static Bytes Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;
  void* library_ = nullptr;
  GetBmpFn getBmp_ = nullptr;
};

TEST_F(StandInDecoder, DecodesTheCardFileWithItsTrailingZeros) {
  // What the library writes: the 1024-byte portrait field, then 1024 zeros.
  Bytes file = q48emu::SampleCard().portrait;
  file.resize(2048, 0);
  const std::string wlt = Write("pic.wlt", file);
  ASSERT_EQ(getBmp_(wlt.c_str(), 1), 1);
  const Bytes bmp = Read(dir_ + "/pic.bmp");
  EXPECT_EQ(bmp.size(), 54u + 126 * 308);
  EXPECT_EQ(bmp, wltrs::EncodeBmp24(wltrs::DrawSamplePortrait()));

  const std::string bare = Write("portrait", file);
  EXPECT_EQ(getBmp_(bare.c_str(), 1), 1);
  EXPECT_TRUE(Exists(dir_ + "/portrait.bmp"));
}

TEST_F(StandInDecoder, RefusesWithoutWritingABmp) {
  Bytes good = q48emu::SampleCard().portrait;
  good.resize(2048, 0);
  const std::string wlt = Write("pic.wlt", good);
  EXPECT_NE(getBmp_(wlt.c_str(), 0), 1);
  EXPECT_NE(getBmp_(wlt.c_str(), 2), 1);
  EXPECT_NE(getBmp_((dir_ + "/missing.wlt").c_str(), 1), 1);
  EXPECT_NE(getBmp_(nullptr, 1), 1);
  EXPECT_FALSE(Exists(dir_ + "/pic.bmp"));
  EXPECT_FALSE(Exists(dir_ + "/missing.bmp"));

  Bytes zeros(2048, 0);  // a card without a portrait
  // One run more than the image holds, in the place of the first padding zero.
  Bytes overflow = good;
  const size_t runBytes = overflow[21] | overflow[22] << 8;
  overflow[21] = uint8_t(runBytes + 1);
  overflow[22] = uint8_t((runBytes + 1) >> 8);
  overflow[23 + runBytes] = 0x41;
  Bytes truncated(good.begin(), good.begin() + 200);
  for (const Bytes* bad : {&zeros, &overflow, &truncated}) {
    const std::string path = Write("bad.wlt", *bad);
    EXPECT_NE(getBmp_(path.c_str(), 1), 1);
    EXPECT_FALSE(Exists(dir_ + "/bad.bmp"));
  }
}

}  // namespace
