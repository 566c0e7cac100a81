// Base64 (RFC 4648 alphabet, "=" padding, no line breaks). Pure; any thread.
#pragma once

#include <cstdint>

namespace q48 {

// Returns (length + 2) / 3 * 4, the number of characters; -1 (nothing
// written) when data is null or length negative. With text null nothing is
// written (a size query); otherwise text must hold the result plus one byte
// for the terminating NUL.
int32_t Base64Encode(char* text, const uint8_t* data, int32_t length);

}  // namespace q48
