// Text helpers over the library's 8-bit text (text_platform.h says which
// code page). Portable and pure; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "text_platform.h"

namespace q48 {

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

}  // namespace q48
