#include "text.h"

#include <climits>

namespace q48 {

namespace {
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
}  // namespace

std::string TrimRight(const std::string& text) {
  size_t keep = 0;  // end of the last character that is not white space
  size_t at = 0;
  while (at < text.size()) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (IsGbkLead(c) && at + 1 < text.size()) {
      at += 2;
      keep = at;
    } else {
      ++at;
      if (!IsSpace(c)) keep = at;
    }
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
