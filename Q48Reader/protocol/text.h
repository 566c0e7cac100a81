// Text helpers over the library's 8-bit text: GBK on Linux, the ANSI code page
// on Windows (GBK on the systems served). Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace q48 {

// Whether `c` opens a double-byte character in the code page the library's
// text is in: on Windows the ANSI code page's own rule (IsDBCSLeadByteEx),
// elsewhere GBK's lead bytes 0x81..0xFE. Implemented per platform, beside
// Utf16LeToGbk.
bool IsLeadByte(unsigned char c);

// Bytes of the character that starts at `at` (< text.size()): 2 for a lead
// byte with a byte after it, else 1 (a lead byte at the very end stands alone).
size_t CharacterLength(const std::string& text, size_t at);

// Removes the trailing run of white space (space, \t, \n, \v, \f, \r),
// walking characters so that a double-byte character is never split or
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
