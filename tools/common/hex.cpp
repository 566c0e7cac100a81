#include "hex.h"

#include <algorithm>

namespace q48tool {

std::string Hex(const uint8_t* bytes, size_t size, size_t limit) {
  static const char kDigits[] = "0123456789ABCDEF";
  const size_t shown = std::min(size, limit);
  std::string out;
  out.reserve(shown * 3 + 4);
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  if (shown < size) out += " ...";
  return out;
}

}  // namespace q48tool
