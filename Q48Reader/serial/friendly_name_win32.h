// The port number in a Windows device's friendly name, for
// find_port_win32.cpp. Pure text work (no Windows call), so the unit tests
// and the fuzz target build it on Linux too. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace q48 {

// "USB Serial Port (COM7)" gives 7: the digits after the "M" inside the
// first "(" ... ")" pair (without an "M", the inner text less its last
// character), read like atoi; 0 when there are none. Walks the characters of
// the text's code page (IsLeadByte in protocol/text_platform.h) without
// splitting double-byte ones.
int32_t PortNumberFromName(const std::string& name);

}  // namespace q48
