// What every tool needs from the platform: text conversion between the
// library's GBK and UTF-8 (and UTF-8 to the card's UTF-16), the system's own
// words and advice for a port that would not open, the command line as
// UTF-8, and the stop requests of a tool that runs until stopped. One backend
// per platform (tool_platform_posix.cpp: iconv and signals;
// tool_platform_win32.cpp: code pages and console events).
//
// Safe on any thread and quick unless said otherwise; every buffer is the
// caller's.
#pragma once

#include <string>
#include <vector>

namespace q48tool {

// GBK bytes from the library to UTF-8. A byte that is no GBK becomes U+FFFD,
// so the result is always valid UTF-8.
std::string GbkToUtf8(const std::string& gbk);

// UTF-8 from a person or a web page to GBK for the reader. False, with *gbk
// unspecified, when the text is not valid UTF-8 or holds a character that
// GBK lacks: a text is written as given or not at all.
bool Utf8ToGbk(const std::string& utf8, std::string* gbk);

// UTF-8 to UTF-16 code units, as cards store text; characters beyond the
// BMP become surrogate pairs, and malformed bytes U+FFFD (on POSIX each
// byte; Windows follows its own converter).
std::u16string Utf8ToUtf16(const std::string& utf8);

// The system's own words (the exchange's "cannot open DEVICE: REASON") as
// UTF-8: on Windows they are in the ANSI code page.
std::string SystemTextToUtf8(const std::string& text);

// How this platform names a port to someone looking for it ("the device
// name"; on Windows "the port's name (COM7) in the Device Manager").
const char* PortNameHint();

// What to do when this user may not open the reader's port.
const char* PermissionAdvice();

// The program's arguments as UTF-8 (Windows passes them in the ANSI code
// page; the wide command line has them all).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Has the console show the UTF-8 the tools print (Windows; elsewhere the
// terminal already does). Called first thing in main.
void UseUtf8Console();

// Whether standard error is a terminal (for progress shown in place).
bool StderrIsTerminal();

// For a tool that runs until stopped (q48-emulator). Called first in main,
// before any thread starts: makes the stop requests (SIGINT and SIGTERM;
// Ctrl+C, Ctrl+Break and the console closing) reach WaitForStopRequest only,
// and keeps a tool started in the background of a shell from being stopped
// when it reads its commands.
void CatchStopRequests();

// Blocks until a stop is requested; returns what asked ("SIGINT", "Ctrl+C").
// Called by the main thread only, after CatchStopRequests.
std::string WaitForStopRequest();

}  // namespace q48tool
