#include <windows.h>

#include "terminal_text.h"

namespace q48cli {

std::string GbkToUtf8(const std::string& gbk) {
  if (gbk.empty()) return gbk;
  const int n = static_cast<int>(gbk.size());
  const int wide = MultiByteToWideChar(936, 0, gbk.data(), n, nullptr, 0);
  if (wide <= 0) return gbk;
  std::wstring w(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(936, 0, gbk.data(), n, &w[0], wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace q48cli

#include <io.h>

namespace q48cli {
bool StderrIsTerminal() { return _isatty(2) != 0; }
}  // namespace q48cli
