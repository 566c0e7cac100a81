#include "wlt_format.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace wltrs {

namespace {

void PutLe16(std::vector<uint8_t>& out, size_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool Fail(std::string* error, const char* reason) {
  if (error) *error = reason;
  return false;
}

void PutRun(std::vector<uint8_t>& out, uint8_t index, size_t length) {
  const auto tag = static_cast<uint8_t>(index << 6);
  while (length > 0) {
    const size_t take = length < kMaxRunLong ? length : kMaxRunLong;
    if (take <= kMaxRunShort) {
      out.push_back(static_cast<uint8_t>(tag | take));
    } else {
      out.push_back(tag);
      out.push_back(static_cast<uint8_t>(take - (kMaxRunShort + 1)));
    }
    length -= take;
  }
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool EncodePortrait(const Image& image, std::vector<uint8_t>* out) {
  out->clear();
  const size_t count = static_cast<size_t>(image.width) * image.height;
  if (image.width == 0 || image.height == 0 || image.width > kMaxDimension ||
      image.height > kMaxDimension || image.pixels.size() != count || image.palette.empty() ||
      image.palette.size() > kMaxPalette)
    return false;
  for (uint8_t index : image.pixels)
    if (index >= image.palette.size()) return false;

  std::vector<uint8_t> runs;
  for (size_t at = 0; at < count;) {
    size_t end = at + 1;
    while (end < count && image.pixels[end] == image.pixels[at]) ++end;
    PutRun(runs, image.pixels[at], end - at);
    at = end;
  }
  if (runs.size() > 0xFFFF) return false;

  out->assign(kMagic, kMagic + sizeof kMagic);
  PutLe16(*out, image.width);
  PutLe16(*out, image.height);
  out->push_back(static_cast<uint8_t>(image.palette.size()));
  for (const Rgb& colour : image.palette) {
    out->push_back(colour.r);
    out->push_back(colour.g);
    out->push_back(colour.b);
  }
  PutLe16(*out, runs.size());
  out->insert(out->end(), runs.begin(), runs.end());
  return true;
}

bool DecodePortrait(const uint8_t* data, size_t size, Image* out, std::string* error) {
  if (data == nullptr || size < kHeaderSize) return Fail(error, "shorter than the header");
  if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return Fail(error, "bad magic");
  const uint16_t width = GetLe16(data + 4);
  const uint16_t height = GetLe16(data + 6);
  if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension)
    return Fail(error, "bad image size");
  const size_t paletteCount = data[8];
  if (paletteCount == 0 || paletteCount > kMaxPalette) return Fail(error, "bad palette size");

  size_t at = kHeaderSize;
  if (size - at < paletteCount * 3 + 2) return Fail(error, "truncated palette");
  Image image;
  image.width = width;
  image.height = height;
  for (size_t i = 0; i < paletteCount; ++i, at += 3) image.palette.push_back({data[at], data[at + 1], data[at + 2]});
  const size_t runBytes = GetLe16(data + at);
  at += 2;
  if (size - at < runBytes) return Fail(error, "truncated run data");
  const size_t end = at + runBytes;

  const size_t count = static_cast<size_t>(width) * height;
  image.pixels.reserve(count);
  while (at < end) {
    const uint8_t run = data[at++];
    const uint8_t index = static_cast<uint8_t>(run >> 6);
    size_t length = run & 0x3F;
    if (length == 0) {
      if (at == end) return Fail(error, "run extension missing");
      length = kMaxRunShort + 1 + data[at++];
    }
    if (index >= paletteCount) return Fail(error, "palette index out of range");
    if (length > count - image.pixels.size()) return Fail(error, "runs overflow the image");
    image.pixels.insert(image.pixels.end(), length, index);
  }
  if (image.pixels.size() != count) return Fail(error, "runs end before the image is full");
  *out = std::move(image);
  return true;
}

std::vector<uint8_t> EncodeBmp24(const Image& image) {
  const size_t rowBytes = (static_cast<size_t>(image.width) * 3 + 3) / 4 * 4;
  const size_t pixelBytes = rowBytes * image.height;
  const uint32_t pixelOffset = 14 + 40;
  std::vector<uint8_t> bmp;
  bmp.reserve(pixelOffset + pixelBytes);
  // BITMAPFILEHEADER
  bmp.push_back('B');
  bmp.push_back('M');
  PutLe32(bmp, static_cast<uint32_t>(pixelOffset + pixelBytes));
  PutLe32(bmp, 0);  // two reserved words
  PutLe32(bmp, pixelOffset);
  // BITMAPINFOHEADER; a positive height means the rows are stored bottom-up.
  PutLe32(bmp, 40);
  PutLe32(bmp, image.width);
  PutLe32(bmp, image.height);
  PutLe16(bmp, 1);   // planes
  PutLe16(bmp, 24);  // bits per pixel
  PutLe32(bmp, 0);   // BI_RGB
  PutLe32(bmp, static_cast<uint32_t>(pixelBytes));
  PutLe32(bmp, 3780);  // 96 dpi in pixels per metre
  PutLe32(bmp, 3780);
  PutLe32(bmp, 0);  // colours used
  PutLe32(bmp, 0);  // important colours

  for (size_t row = image.height; row-- > 0;) {
    const uint8_t* indices = image.pixels.data() + row * image.width;
    for (size_t x = 0; x < image.width; ++x) {
      const Rgb& colour = image.palette[indices[x]];
      bmp.push_back(colour.b);
      bmp.push_back(colour.g);
      bmp.push_back(colour.r);
    }
    for (size_t pad = static_cast<size_t>(image.width) * 3; pad < rowBytes; ++pad) bmp.push_back(0);
  }
  return bmp;
}

std::string BmpPathFor(const std::string& wltPath) {
  const size_t slash = wltPath.find_last_of("/\\");
  const size_t dot = wltPath.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? wltPath.substr(0, dot) : wltPath) + ".bmp";
}

int DecodeFileToBmp(const char* wltPath, int mode) {
  if (mode != 1) return kDecodeBadMode;
  if (wltPath == nullptr || *wltPath == '\0') return kDecodeUnreadable;

  std::vector<uint8_t> data;
  {
    File in(std::fopen(wltPath, "rb"));
    if (!in) return kDecodeUnreadable;
    uint8_t block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, in.get())) > 0) {
      data.insert(data.end(), block, block + got);
      if (data.size() > kMaxFileSize) return kDecodeMalformed;
    }
    if (std::ferror(in.get())) return kDecodeUnreadable;
  }

  Image image;
  if (!DecodePortrait(data.data(), data.size(), &image)) return kDecodeMalformed;
  const std::vector<uint8_t> bmp = EncodeBmp24(image);

  const std::string bmpPath = BmpPathFor(wltPath);
  File out(std::fopen(bmpPath.c_str(), "wb"));
  if (!out) return kDecodeUnwritable;
  const bool written = std::fwrite(bmp.data(), 1, bmp.size(), out.get()) == bmp.size();
  const bool closed = std::fclose(out.release()) == 0;
  if (!written || !closed) {
    // A partial picture must not pass for a decoded one.
    std::remove(bmpPath.c_str());
    return kDecodeUnwritable;
  }
  return kDecodeOk;
}

}  // namespace wltrs
