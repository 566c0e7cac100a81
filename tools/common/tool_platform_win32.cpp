#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include "tool_platform.h"

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

std::u16string Utf8ToUtf16(const std::string& utf8) {
  // Without MB_ERR_INVALID_CHARS, malformed bytes become U+FFFD.
  bool ok;
  const std::wstring wide = ToWide(CP_UTF8, 0, utf8, &ok);
  return std::u16string(wide.begin(), wide.end());
}

std::string SystemTextToUtf8(const std::string& text) { return AnsiToUtf8(text); }

const char* PortNameHint() { return "the port's name (COM7) in the Device Manager"; }

const char* PermissionAdvice() { return "you may not use the reader's port: ask the PC's administrator"; }

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

namespace {

HANDLE g_stop = nullptr;
volatile LONG g_stopKind = 0;

BOOL WINAPI OnConsoleEvent(DWORD kind) {
  InterlockedCompareExchange(&g_stopKind, static_cast<LONG>(kind) + 1, 0);
  SetEvent(g_stop);
  // For a closing console, Windows ends the process once this returns: give
  // the main thread a moment to stop and log it.
  if (kind == CTRL_CLOSE_EVENT) Sleep(2000);
  return TRUE;
}

}  // namespace

void CatchStopRequests() {
  g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string WaitForStopRequest() {
  WaitForSingleObject(g_stop, INFINITE);
  switch (g_stopKind - 1) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "console closing";
    default:
      return "a stop request";
  }
}

}  // namespace q48tool
