// What q48-emulator needs from the platform besides the emulator itself.
#pragma once

#include <string>

namespace q48emu {
namespace tool {

// The usage text's first line and its line option, as they hold here.
extern const char kAbout[];
extern const char kLineUsage[];
// Whether the tool can serve a new pty when no port is named.
extern const bool kHasPty;

// Called first, before any thread starts: makes the stop requests (SIGINT and
// SIGTERM, or Ctrl+C and the console closing) reach WaitForStop only, and
// lets the console show the UTF-8 the tool prints.
void PrepareProcess();

// Blocks until a stop is requested; returns what asked ("SIGINT", "Ctrl+C").
std::string WaitForStop();

}  // namespace tool
}  // namespace q48emu
