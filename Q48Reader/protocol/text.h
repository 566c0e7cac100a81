// Text helpers over the library's 8-bit GBK text. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace q48 {

// Removes the trailing run of white space (space, \t, \n, \v, \f, \r),
// walking GBK characters so that a double-byte character is never split or
// taken for white space.
std::string TrimRight(const std::string& text);

// atoi rules: leading white space, optional sign, digits up to the first
// other character; 0 without digits. Saturates instead of overflowing.
long ParseDecimal(const std::string& text);

// UTF-16LE to GBK, up to the first U+0000 or the end of the bytes (an odd
// final byte is ignored). Characters that GBK lacks, and unpaired surrogates,
// become "?". Implemented per platform (iconv, or WideCharToMultiByte into the
// ANSI code page).
std::string Utf16LeToGbk(const uint8_t* bytes, size_t byteCount);

}  // namespace q48
