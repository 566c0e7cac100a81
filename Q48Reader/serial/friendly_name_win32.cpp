// Port number from a device's friendly name. Positions are byte positions in
// the library's text; searches step over double-byte characters of its code
// page so that a trail byte is never taken for "(", ")" or "M".
#include "friendly_name_win32.h"

#include <climits>

#include "protocol/text.h"

namespace q48 {

namespace {

long FindChar(const std::string& text, char wanted) {
  for (size_t at = 0; at < text.size(); at += CharacterLength(text, at)) {
    if (text[at] == wanted) return static_cast<long>(at);  // a lead byte is never ASCII
  }
  return -1;
}

// A part of the text that never fails: a negative start counts as 0, a
// negative length as 0, a start past the end gives the empty text, and a
// part running past the end stops there.
std::string Mid(const std::string& text, long start, long count) {
  if (start < 0) start = 0;
  if (count < 0) count = 0;
  if (static_cast<size_t>(start) >= text.size()) return std::string();
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(count));
}

}  // namespace

int32_t PortNumberFromName(const std::string& name) {
  const long close = FindChar(name, ')');
  const long open = FindChar(name, '(');
  const std::string inner = Mid(name, open + 1, close - open - 1);
  const long m = FindChar(inner, 'M');
  const std::string digits = Mid(inner, m + 1, static_cast<long>(inner.size()) - 1);
  const long value = ParseDecimal(digits);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace q48
