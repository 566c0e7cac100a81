// The stand-in portrait format (see FORMAT.md): a small palette image stored
// as run-length pairs, with its encoder, its decoder and the 24-bit BMP
// writer that the stand-in GetBmp uses. Pure functions over caller-owned
// bytes; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wltrs {

constexpr uint8_t kMagic[4] = {'Q', 'P', 'T', '1'};
constexpr size_t kHeaderSize = 9;  // magic, width, height, palette count
constexpr size_t kMaxPalette = 4;  // two bits of palette index per run byte
constexpr uint16_t kMaxDimension = 1024;
constexpr size_t kMaxRunShort = 63;        // one run byte
constexpr size_t kMaxRunLong = 64 + 255;   // run byte with length 0, then one extension byte
constexpr uint16_t kPortraitWidth = 102;   // what an identity card holds
constexpr uint16_t kPortraitHeight = 126;
constexpr size_t kPortraitCapacity = 1024;  // room for the portrait on the card
constexpr size_t kMaxFileSize = 64 * 1024;  // larger files are not portraits

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
};

// A palette image, rows top first, one palette index per pixel.
struct Image {
  uint16_t width = 0;
  uint16_t height = 0;
  std::vector<Rgb> palette;
  std::vector<uint8_t> pixels;  // width * height indices into palette
};

// Compresses `image`. Returns false (and leaves `out` empty) when the image
// cannot be stored: no pixels, a side above kMaxDimension, a size mismatch,
// an empty or too large palette, or an index outside it.
bool EncodePortrait(const Image& image, std::vector<uint8_t>* out);

// Decodes a stand-in portrait that starts at `data`. Bytes after the encoded
// data are ignored (the card pads the portrait with zeros). Never reads past
// data[size - 1]. Returns false with a reason in *error for malformed input.
bool DecodePortrait(const uint8_t* data, size_t size, Image* out, std::string* error = nullptr);

// A 24-bit, bottom-up BMP (BITMAPFILEHEADER + BITMAPINFOHEADER, rows padded
// to four bytes).
std::vector<uint8_t> EncodeBmp24(const Image& image);

// The decoder's file-level contract: reads the portrait at `wltPath`, writes
// the BMP at the same path with its extension replaced by ".bmp" and returns
// kDecodeOk. Any other result means nothing was written.
enum DecodeResult : int {
  kDecodeOk = 1,
  kDecodeBadMode = -1,       // mode other than 1
  kDecodeUnreadable = -2,    // missing path or file, or a read error
  kDecodeMalformed = -3,     // not a stand-in portrait
  kDecodeUnwritable = -4,    // the BMP could not be written
};
int DecodeFileToBmp(const char* wltPath, int mode);

// "dir/pic.wlt" -> "dir/pic.bmp"; a name without extension gets ".bmp".
std::string BmpPathFor(const std::string& wltPath);

// The sample holder's portrait: a drawn head and shoulders, 102 x 126.
Image DrawSamplePortrait();

}  // namespace wltrs
