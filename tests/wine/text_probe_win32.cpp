// How the library walks text in the process's ANSI code page, for the Wine
// tests: prints "acp <code page>", then for each argument (a text as hex
// bytes) "<TrimRight of it, as hex> <PortNumberFromName of it>".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "protocol/text.h"
#include "serial/friendly_name_win32.h"

int main(int argc, char** argv) {
  std::printf("acp %u\n", GetACP());
  for (int i = 1; i < argc; ++i) {
    std::string text;
    for (const char* hex = argv[i]; hex[0] != '\0' && hex[1] != '\0'; hex += 2)
      text.push_back(static_cast<char>(std::strtoul(std::string(hex, 2).c_str(), nullptr, 16)));
    std::string trimmed;
    for (const char c : q48::TrimRight(text)) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(c));
      trimmed += hex;
    }
    std::printf("%s %d\n", trimmed.c_str(), static_cast<int>(q48::PortNumberFromName(text)));
  }
  return 0;
}
