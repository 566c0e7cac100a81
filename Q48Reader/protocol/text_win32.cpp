// The library's text on Windows: the process's ANSI code page (936, GBK, on
// the systems served), converted from UTF-16LE with WideCharToMultiByte.
#include <windows.h>

#include <vector>

#include "text_platform.h"

namespace q48 {

// The text came from this code page (Utf16LeToGbk, the Setup API's A
// functions), so its own rule says where characters begin.
bool IsLeadByte(unsigned char c) { return IsDBCSLeadByteEx(CP_ACP, c) != 0; }

std::string Utf16LeToGbk(const uint8_t* bytes, size_t byteCount) {
  std::vector<wchar_t> wide;
  for (size_t i = 0; bytes && i + 1 < byteCount; i += 2) {
    const auto unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == 0) break;
    wide.push_back(unit);
  }
  if (wide.empty()) return std::string();
  const int count = static_cast<int>(wide.size());
  // Default replacement ("?") for characters the code page lacks.
  const int needed = WideCharToMultiByte(CP_ACP, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string out(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), count, &out[0], needed, nullptr, nullptr);
  return out;
}

}  // namespace q48
