#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include "platform.h"

namespace q48tool {

namespace {

constexpr UINT kGbk = 936;

std::wstring ToWide(UINT codePage, DWORD flags, const std::string& text, bool* ok) {
  *ok = true;
  if (text.empty()) return std::wstring();
  const int n = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(codePage, flags, text.data(), n, nullptr, 0);
  if (wide <= 0) {
    *ok = false;
    return std::wstring();
  }
  std::wstring out(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), n, &out[0], wide);
  return out;
}

// usedDefault non-null: fail (return false) when a character has no mapping.
bool FromWide(UINT codePage, const std::wstring& wide, std::string* out, BOOL* usedDefault) {
  out->clear();
  if (wide.empty()) return true;
  const int n = static_cast<int>(wide.size());
  const DWORD flags = usedDefault != nullptr ? WC_NO_BEST_FIT_CHARS : 0;
  const int bytes = WideCharToMultiByte(codePage, flags, wide.data(), n, nullptr, 0, nullptr, usedDefault);
  if (bytes <= 0 || (usedDefault != nullptr && *usedDefault)) return false;
  out->assign(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), n, &(*out)[0], bytes, nullptr, usedDefault);
  return usedDefault == nullptr || !*usedDefault;
}

std::string AnsiToUtf8(const std::string& text) {
  bool ok;
  const std::wstring wide = ToWide(CP_ACP, 0, text, &ok);
  std::string out;
  return ok && FromWide(CP_UTF8, wide, &out, nullptr) ? out : text;
}

// The system's text for an error, as the exchange words a reason: in the
// ANSI code page, without the line break that ends it.
std::string SystemText(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  const size_t end = message.find_last_not_of(" \t\r\n");
  message.erase(end == std::string::npos ? 0 : end + 1);
  return message;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return !end.empty() && text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string GbkToUtf8(const std::string& gbk) {
  bool ok;
  const std::wstring wide = ToWide(kGbk, 0, gbk, &ok);
  std::string out;
  return ok && FromWide(CP_UTF8, wide, &out, nullptr) ? out : gbk;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  bool ok;
  const std::wstring wide = ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, &ok);
  BOOL usedDefault = FALSE;
  return ok && FromWide(kGbk, wide, gbk, &usedDefault);
}

std::string ExplainOpenFailure(const std::string& openError) {
  const std::string said = AnsiToUtf8(openError);
  // A COM port opens for one program at a time: access denied means another holds it.
  if (EndsWith(openError, SystemText(ERROR_ACCESS_DENIED)) || EndsWith(openError, SystemText(ERROR_SHARING_VIOLATION)))
    return said + "; another program is using the port: close other reader software";
  if (EndsWith(openError, SystemText(ERROR_FILE_NOT_FOUND)) || EndsWith(openError, SystemText(ERROR_PATH_NOT_FOUND)))
    return said + "; check the port's name (COM7) in the Device Manager and that the reader is plugged in";
  return said + "; check the port's name, the reader and its cable";
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    std::string arg;
    FromWide(CP_UTF8, wide[i], &arg, nullptr);
    out.push_back(arg);
  }
  LocalFree(wide);
  return out;
}

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

bool StderrIsTerminal() { return _isatty(2) != 0; }

}  // namespace q48tool
