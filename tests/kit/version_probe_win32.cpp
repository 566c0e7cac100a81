// What Windows' file properties show, read through the system's own calls
// (GetFileVersionInfo, VerQueryValue), for the kit's tests under wine64.
//
//   q48_kit_probe [--load] FILE...
//
// For each FILE it prints:
//   file <FILE>
//   fixed <file version a.b.c.d> <product version a.b.c.d>
//   <key> <value>    ProductName, ProductVersion, FileDescription, FileVersion,
//                    OriginalFilename, from the first language listed
//   loaded <0|1>     with --load, for a .dll: LoadLibrary found and ran it
// Exit status 0 when every file had version information (and loaded).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// "a.b.c.d" from a version's two halves.
std::string Numbers(DWORD high, DWORD low) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(high)),
                static_cast<unsigned>(LOWORD(high)), static_cast<unsigned>(HIWORD(low)),
                static_cast<unsigned>(LOWORD(low)));
  return text;
}

bool PrintVersion(const char* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) {
    std::printf("no version information (error %lu)\n", GetLastError());
    return false;
  }
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(path, 0, size, data.data())) return false;

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
    return false;
  std::printf("fixed %s %s\n", Numbers(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str(),
              Numbers(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());

  WORD* translation = nullptr;
  if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
      length < 2 * sizeof(WORD))
    return false;
  char table[64];
  std::snprintf(table, sizeof table, "\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
  for (const char* key : {"ProductName", "ProductVersion", "FileDescription", "FileVersion", "OriginalFilename"}) {
    char* value = nullptr;
    const std::string query = std::string(table) + key;
    if (VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) && value != nullptr)
      std::printf("%s %s\n", key, value);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool load = false;
  bool ok = argc > 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--load") == 0) {
      load = true;
      continue;
    }
    std::printf("file %s\n", argv[i]);
    ok = PrintVersion(argv[i]) && ok;
    const size_t size = std::strlen(argv[i]);
    if (load && size > 4 && _stricmp(argv[i] + size - 4, ".dll") == 0) {
      HMODULE module = LoadLibraryA(argv[i]);
      std::printf("loaded %d\n", module != nullptr ? 1 : 0);
      ok = module != nullptr && ok;
      if (module != nullptr) FreeLibrary(module);
    }
  }
  std::fflush(stdout);
  return ok ? 0 : 1;
}
