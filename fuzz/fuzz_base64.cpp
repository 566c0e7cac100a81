// Base64Encode against its length formula and a reference decoder written
// apart from the product's, so that a fault the encoder and the product's
// decoder share (a wrong alphabet, say) still shows; the product's decoder on
// the encoder's output and, against the reference, on the raw input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "check.h"
#include "photo/base64.h"

namespace {

int Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict decoder: groups of four, "=" only as the last one or two
// characters, unused bits zero. False for anything else.
bool Decode(const char* text, size_t size, std::vector<uint8_t>* out) {
  if (size % 4 != 0) return false;
  for (size_t at = 0; at < size; at += 4) {
    const bool last = at + 4 == size;
    const int pad = last ? (text[at + 3] == '=') + (text[at + 2] == '=') : 0;
    if (pad == 1 && text[at + 2] == '=') return false;  // "x=y=" or "xy=z" shapes
    int v[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4 - pad; ++i)
      if ((v[i] = Value(text[at + i])) < 0) return false;
    const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
    out->push_back(static_cast<uint8_t>(bits >> 16));
    if (pad < 2) out->push_back(static_cast<uint8_t>(bits >> 8));
    if (pad < 1) out->push_back(static_cast<uint8_t>(bits));
    if ((pad == 1 && (bits & 0xFF)) || (pad == 2 && (bits & 0xFFFF))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX / 2) return 0;
  const auto length = static_cast<int32_t>(size);
  // Exactly the input and exactly the promised text plus its NUL, on the
  // heap, so that a read or write past either is caught.
  const std::vector<uint8_t> input(data, data + size);
  const uint8_t* bytes = input.empty() ? data : input.data();
  const int32_t expected = (length + 2) / 3 * 4;

  FUZZ_CHECK(q48::Base64Encode(nullptr, bytes, length) == expected);
  FUZZ_CHECK(q48::Base64Encode(nullptr, nullptr, length) == -1);
  std::vector<char> text(static_cast<size_t>(expected) + 1, 'x');
  FUZZ_CHECK(q48::Base64Encode(text.data(), bytes, length) == expected);
  FUZZ_CHECK(text[static_cast<size_t>(expected)] == '\0');
  FUZZ_CHECK(std::strlen(text.data()) == static_cast<size_t>(expected));

  std::vector<uint8_t> decoded;
  FUZZ_CHECK(Decode(text.data(), static_cast<size_t>(expected), &decoded));
  FUZZ_CHECK(decoded == input);
  std::vector<uint8_t> product;
  FUZZ_CHECK(q48::Base64Decode(text.data(), static_cast<size_t>(expected), &product));
  FUZZ_CHECK(product == input);

  // The input as a text: the product's decoder takes exactly what the
  // reference takes, alike, and says where it stopped for the rest.
  const auto* raw = reinterpret_cast<const char*>(input.empty() ? data : input.data());
  std::vector<uint8_t> reference;
  q48::Base64Error error;
  if (Decode(raw, size, &reference)) {
    FUZZ_CHECK(q48::Base64Decode(raw, size, &product, &error));
    FUZZ_CHECK(product == reference);
  } else {
    FUZZ_CHECK(!q48::Base64Decode(raw, size, &product, &error));
    FUZZ_CHECK(product.empty() && error.offset <= size && error.reason[0] != '\0');
  }

  // A negative length writes nothing.
  char untouched = 'u';
  FUZZ_CHECK(q48::Base64Encode(&untouched, bytes, -1 - length) == -1);
  FUZZ_CHECK(untouched == 'u');
  return 0;
}
