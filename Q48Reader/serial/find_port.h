// What discovery asks of the platform: the reader's port, found by its USB
// identity, and the name of its device.
//
// Backends: find_port_linux.cpp (a walk of sysfs), find_port_win32.cpp (the
// Setup API, with the friendly-name rule of friendly_name_win32.h); CMake
// picks one. A new platform defines both functions below.
#pragma once

#include <cstdint>
#include <string>

namespace q48 {

// The reader's USB-serial bridge: vendor 0403, product 6001.
constexpr uint16_t kReaderVendorId = 0x0403;
constexpr uint16_t kReaderProductId = 0x6001;

// Where the POSIX backend looks: the sysfs root (its class/tty directory and
// device links) and the device directory. The exports use "/sys" and
// "/dev"; tests point them at a tree of their own. The Windows backend asks
// the Setup API and ignores them.
struct DiscoveryRoots {
  std::string sys = "/sys";
  std::string dev = "/dev";
};

// The reader's port number (n of COMn, or of /dev/ttyUSBn), or -1 when no
// reader is attached. The first reader in a stable order decides.
// Caller: the exchange (and the command-line client), on the caller's
// thread, before it opens a port. Blocks: on the file system (sysfs) or the
// Setup API. Keeps no state between calls; never throws.
int32_t FindReaderPort(const DiscoveryRoots& roots);

// The device that port number n names: POSIX <roots.dev>/ttyUSB<n>,
// Windows COM<n>. Caller: the exchange, after FindReaderPort. Blocks: never.
std::string ReaderDeviceName(int32_t portNumber, const DiscoveryRoots& roots);

}  // namespace q48
