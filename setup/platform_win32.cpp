#include "platform_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace installer {

bool Win32Platform::Delete(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool Win32Platform::Copy(const std::string& source, const std::string& target) {
  return CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
}

std::uint32_t Win32Platform::LastError() { return GetLastError(); }

void Win32Platform::CreateDir(const std::string& path) { CreateDirectoryA(path.c_str(), nullptr); }

bool Win32Platform::IsWow64() {
  // Looked up rather than imported: the function is missing on the oldest
  // systems, which are never WOW64.
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  BOOL flag = FALSE;
  const HMODULE kernel = GetModuleHandleA("kernel32");
  const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "IsWow64Process") : nullptr;
  if (found != nullptr) {
    const auto is_wow64_process =
        reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void (*)()>(found));
    is_wow64_process(GetCurrentProcess(), &flag);
  }
  return flag != FALSE;
}

int Win32Platform::Run(const std::string& command) {
  // The command writes to the same console or pipe: our earlier messages must
  // come out before its own.
  std::fflush(stdout);
  return std::system(command.c_str());
}

void Win32Platform::Print(const std::string& text) { std::printf("%s", text.c_str()); }

int Win32Platform::ReadChar() {
  // The message must be visible while the user is asked to press a key, also
  // when standard output is a pipe and therefore fully buffered.
  std::fflush(stdout);
  return std::getchar();
}

void Win32Platform::Exit(int status) { std::exit(status); }

}  // namespace installer
