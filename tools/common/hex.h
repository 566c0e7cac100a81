// Bytes as text for traces and logs: upper-case pairs one blank apart
// ("55 55 04"). Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace q48tool {

// The first `limit` of `size` bytes; " ..." stands for any left out.
std::string Hex(const uint8_t* bytes, size_t size, size_t limit = SIZE_MAX);

}  // namespace q48tool
