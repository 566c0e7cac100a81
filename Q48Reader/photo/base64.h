// Base64 (RFC 4648 alphabet, "=" padding, no line breaks). Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace q48 {

// Returns (length + 2) / 3 * 4, the number of characters; -1 (nothing
// written) when data is null or length negative. With text null nothing is
// written (a size query); otherwise text must hold the result plus one byte
// for the terminating NUL.
int32_t Base64Encode(char* text, const uint8_t* data, int32_t length);

// Why a text is not Base64, and where.
struct Base64Error {
  size_t offset = 0;   // of the first character in the way (the length when the text is short)
  const char* reason = "";
};

// Strict decoder, the inverse of Base64Encode: the length a multiple of 4,
// "=" only as padding at the end, no white space. Returns false, with *out
// empty and *error filled when given, for any other text.
bool Base64Decode(const char* text, size_t length, std::vector<uint8_t>* out, Base64Error* error = nullptr);
inline bool Base64Decode(const std::string& text, std::vector<uint8_t>* out, Base64Error* error = nullptr) {
  return Base64Decode(text.data(), text.size(), out, error);
}

}  // namespace q48
