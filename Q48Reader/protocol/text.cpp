#include "text.h"

#include <climits>

namespace q48 {

namespace {
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

size_t CharacterLength(const std::string& text, size_t at) {
  return IsLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
}

std::string TrimRight(const std::string& text) {
  size_t keep = 0;  // end of the last character that is not white space
  for (size_t at = 0; at < text.size();) {
    const size_t length = CharacterLength(text, at);
    if (length > 1 || !IsSpace(static_cast<unsigned char>(text[at]))) keep = at + length;
    at += length;
  }
  return text.substr(0, keep);
}

long ParseDecimal(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && IsSpace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  long value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const int digit = text[at] - '0';
    if (value > (LONG_MAX - digit) / 10) return negative ? LONG_MIN : LONG_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace q48
