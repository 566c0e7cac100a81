// What the library's 8-bit text asks of the platform: where a character
// begins, and the card's UTF-16LE converted into it. The text is GBK on
// Linux and the ANSI code page on Windows (GBK on the systems served).
//
// Backends: text_iconv.cpp (POSIX), text_win32.cpp; CMake picks one. A new
// platform defines both functions below.
//
// Caller: the portable text helpers (text.h) and the record decoder, on any
// thread. Blocks: never. Buffers: the caller's, read during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace q48 {

// Whether `c` opens a double-byte character in the code page the library's
// text is in: on Windows the ANSI code page's own rule (IsDBCSLeadByteEx),
// elsewhere GBK's lead bytes 0x81..0xFE.
bool IsLeadByte(unsigned char c);

// UTF-16LE to the library's text, up to the first U+0000 or the end of the
// bytes (an odd final byte is ignored). Characters the code page lacks, and
// unpaired surrogates, become "?".
std::string Utf16LeToGbk(const uint8_t* bytes, size_t byteCount);

}  // namespace q48
