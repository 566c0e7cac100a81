// The reader's serial line on Windows, opened, set and reported the same way
// by the library's port (com_port_win32.cpp) and by the emulator serving the
// other end of a null-modem cable (tools/emulator/line_win32.cpp).
//
// The line calls work on an open COM port handle that the caller owns, on
// the caller's thread, and return at once. False when the system refuses
// (GetLastError says why); the caller closes the port. The two text helpers
// at the end are pure.
#pragma once

#include <windows.h>

#include <string>

namespace q48 {

// 115200 baud, 8 data bits, no parity, one stop bit; no flow control (no
// CTS/DSR handshake, no XON/XOFF), DTR and RTS held on, binary mode, no
// character replacement or stripping, no abort on errors. Every other DCB
// field stays as the port had it.
bool SetReaderLineState(HANDLE port);

// Reads return at once with whatever has arrived (both sides poll); a write
// may take 10 ms a byte plus 1 s before the system gives up on it.
bool SetReaderLineTimeouts(HANDLE port);

// Both of the above.
bool ConfigureReaderLine(HANDLE port);

// The path CreateFile opens for a port name: "COM5" -> "\\.\COM5"; a name
// that already carries "\\.\" or "\\?\" stays as it is.
std::string ComDevicePath(const std::string& name);

// The system's text for an error code (GetLastError after a failed call), in
// the ANSI code page, without the line break that ends it; "system error N"
// when the system has no text for it.
std::string SystemErrorText(DWORD error);

}  // namespace q48
