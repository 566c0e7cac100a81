// What q48-emulator needs from the platform besides the emulator itself.
#pragma once

#include <string>

namespace q48emu {
namespace tool {

// What the tool does here, and its --com option's value name and help.
extern const char kAbout[];
extern const char kComName[];
extern const char kComHelp[];
// Whether the tool can serve a new pty when no port is named.
extern const bool kHasPty;

// Called first, before any thread starts: makes the stop requests (SIGINT and
// SIGTERM, or Ctrl+C and the console closing) reach WaitForStop only, lets
// the console show the UTF-8 the tool prints, and keeps a tool started in
// the background of a shell from being stopped when it reads its commands.
void PrepareProcess();

// Blocks until a stop is requested; returns what asked ("SIGINT", "Ctrl+C").
std::string WaitForStop();

}  // namespace tool
}  // namespace q48emu
