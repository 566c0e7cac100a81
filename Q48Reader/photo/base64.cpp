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

}  // namespace q48
