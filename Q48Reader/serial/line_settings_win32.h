// The reader's serial line on Windows, set the same way by the library's
// port (com_port_win32.cpp) and by the emulator serving the other end of a
// null-modem cable (tools/emulator/line_win32.cpp).
//
// Each call works on an open COM port handle that the caller owns, on the
// caller's thread, and returns at once. False when the system refuses
// (GetLastError says why); the caller closes the port.
#pragma once

#include <windows.h>

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

}  // namespace q48
