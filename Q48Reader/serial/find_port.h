// Finding the reader's port by its USB identity (vendor 0403, product 6001).
//
// Runs on the caller's thread; keeps no state between calls.
#pragma once

#include <cstdint>
#include <string>

namespace q48 {

// Where the POSIX backend looks: the sysfs root (its class/tty directory and
// device links). The exports use "/sys"; tests point it at a tree of their
// own. The Windows backend asks the Setup API and ignores it.
struct DiscoveryRoots {
  std::string sys = "/sys";
  std::string dev = "/dev";
};

// The reader's port number (n of COMn, or of /dev/ttyUSBn), or -1 when no
// reader is attached. The first reader in a stable order decides.
int32_t FindReaderPort(const DiscoveryRoots& roots);

// The port number in a device's friendly name such as "USB Serial Port
// (COM7)": the digits after the "M" inside the first "(" ... ")" pair (without
// an "M", the inner text less its last character), read like atoi; 0 when
// there are none. Walks the characters of the text's code page (IsLeadByte in
// protocol/text.h) without splitting double-byte ones.
int32_t PortNumberFromName(const std::string& name);

}  // namespace q48
