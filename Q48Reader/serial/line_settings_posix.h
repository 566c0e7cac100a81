// The reader's serial line on POSIX, set the same way by the library's port
// (com_port_posix.cpp) and by the emulator serving the other end of a pty or
// a null-modem cable (tools/emulator/line_posix.cpp).
//
// Caller: either of them, on its own thread, with a terminal descriptor it
// owns. Blocks: never. False when the system refuses (errno says why:
// ENOTTY for a descriptor that is no terminal, so no serial port).
#pragma once

namespace q48 {

// Raw 115200 baud, 8 data bits, no parity, one stop bit; no flow control
// (no RTS/CTS, no XON/XOFF), the receiver on, modem status lines ignored, no
// hang-up at the last close; reads return at once with what has arrived.
bool SetReaderLine(int fd);

}  // namespace q48
