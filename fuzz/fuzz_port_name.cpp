// Port number from a device's friendly name.
//
// Any name: no fault. A plain ASCII name: the same number as a reference
// written from the rule itself - the digits after the "M" inside the first
// "(" ... ")", or the inner text less its last character without an "M",
// read like atoi and clamped to 32 bits.
// GBK text in front of a name with a "(" does not change its number, even
// when the trail bytes of its double-byte characters are "(", ")" or "M".
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "check.h"
#include "serial/friendly_name_win32.h"

namespace {

int32_t Reference(const std::string& name) {
  const size_t close = name.find(')');
  const size_t open = name.find('(');
  std::string inner;
  // Mid(open + 1, close - open - 1) with the string class's forgiving bounds.
  const long start = open == std::string::npos ? 0 : static_cast<long>(open) + 1;
  const long count = (close == std::string::npos ? -1L : static_cast<long>(close)) -
                     (open == std::string::npos ? -1L : static_cast<long>(open)) - 1;
  if (count > 0 && static_cast<size_t>(start) < name.size()) inner = name.substr(static_cast<size_t>(start), count);
  const size_t m = inner.find('M');
  std::string digits;
  if (!inner.empty()) {
    const size_t from = m == std::string::npos ? 0 : m + 1;
    if (from < inner.size()) digits = inner.substr(from, inner.size() - 1);
  }
  // strtol reads like atoi in the C locale and saturates at the long limits;
  // the text may hold a NUL, which ends the number there as well.
  errno = 0;
  const long value = std::strtol(digits.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool IsAscii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const int32_t number = q48::PortNumberFromName(name);
  if (!IsAscii(name)) return 0;  // any GBK or non-GBK bytes: only no fault
  FUZZ_CHECK(number == Reference(name));

  // Without a "(" the inner text starts at the very beginning, so the
  // prefix would be part of it.
  if (name.find('(') == std::string::npos) return 0;
  static const std::string kPrefix = "\x81(\x81)\xFEM\xB4\xAE\x81\x30";
  FUZZ_CHECK(q48::PortNumberFromName(kPrefix + name) == number);
  return 0;
}
