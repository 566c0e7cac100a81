#include "base64.h"

namespace q48 {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

int32_t Base64Encode(char* text, const uint8_t* data, int32_t length) {
  if (data == nullptr || length < 0) return -1;
  const auto size = static_cast<int32_t>((static_cast<int64_t>(length) + 2) / 3 * 4);
  if (text == nullptr) return size;
  char* out = text;
  int32_t i = 0;
  for (; i + 2 < length; i += 3) {
    const unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *out++ = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    *out++ = kAlphabet[b2 & 63];
  }
  if (length - i == 1) {
    const unsigned b0 = data[i];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[(b0 & 3) << 4];
    *out++ = '=';
    *out++ = '=';
  } else if (length - i == 2) {
    const unsigned b0 = data[i], b1 = data[i + 1];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *out++ = kAlphabet[(b1 & 15) << 2];
    *out++ = '=';
  }
  *out = '\0';
  return size;
}

namespace {

int DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool Fail(std::vector<uint8_t>* out, Base64Error* error, size_t offset, const char* reason) {
  out->clear();
  if (error) *error = {offset, reason};
  return false;
}

}  // namespace

bool Base64Decode(const char* text, size_t length, std::vector<uint8_t>* out, Base64Error* error) {
  out->clear();
  if (length % 4 != 0) return Fail(out, error, length, "its length is not a multiple of 4");
  out->reserve(length / 4 * 3);
  for (size_t group = 0; group < length; group += 4) {
    const bool last = group + 4 == length;
    uint32_t bits = 0;
    int padding = 0;
    for (size_t i = 0; i < 4; ++i) {
      const char c = text[group + i];
      if (c == '=' && last && i >= 2 && (i == 3 || text[group + 3] == '=')) {
        ++padding;
        bits <<= 6;
        continue;
      }
      const int digit = DigitValue(c);
      if (digit < 0 || padding > 0)
        return Fail(out, error, group + i,
                    c == '=' ? "'=' may only pad the end" : "it holds a character outside the Base64 alphabet");
      bits = (bits << 6) | static_cast<uint32_t>(digit);
    }
    // The bits that padding leaves unused must be zero, as the encoder
    // writes them: each byte string has one Base64 text.
    if ((padding == 2 && (bits & 0xFFFF) != 0) || (padding == 1 && (bits & 0xFF) != 0))
      return Fail(out, error, group + 3 - static_cast<size_t>(padding), "its last character carries stray bits");
    out->push_back(static_cast<uint8_t>(bits >> 16));
    if (padding < 2) out->push_back(static_cast<uint8_t>((bits >> 8) & 0xFF));
    if (padding < 1) out->push_back(static_cast<uint8_t>(bits & 0xFF));
  }
  return true;
}

}  // namespace q48
