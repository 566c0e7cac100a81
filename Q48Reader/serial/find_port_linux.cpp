// Finding the reader on Linux: a walk of sysfs. Each ttyUSBn under
// class/tty is followed through its device link up to the first ancestor
// that carries idVendor/idProduct (the USB device), in order of n.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <vector>

#include "find_port.h"

namespace q48 {

namespace {

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// A sysfs identity ("0403", "6001", in hex) equal to `id`.
bool IsId(const std::string& text, uint16_t id) {
  if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      }))
    return false;
  return std::stoul(text, nullptr, 16) == id;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// Port numbers of the ttyUSBn entries, ascending.
std::vector<int32_t> UsbSerialPorts(const std::string& classDir) {
  std::vector<int32_t> ports;
  DIR* dir = opendir(classDir.c_str());
  if (dir == nullptr) return ports;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind("ttyUSB", 0) != 0 || name.size() == 6 || name.size() > 12) continue;
    if (!std::all_of(name.begin() + 6, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    ports.push_back(static_cast<int32_t>(std::stol(name.substr(6))));
  }
  closedir(dir);
  std::sort(ports.begin(), ports.end());
  return ports;
}

bool IsReader(const std::string& sysRoot, const std::string& device) {
  std::string at = RealPath(device);
  if (at.empty()) return false;
  // Walk up to the USB device, never above the sysfs root.
  while (at.size() > sysRoot.size() && at.compare(0, sysRoot.size(), sysRoot) == 0) {
    const std::string vendor = ReadFirstLine(at + "/idVendor");
    const std::string product = ReadFirstLine(at + "/idProduct");
    if (!vendor.empty() && !product.empty()) return IsId(vendor, kReaderVendorId) && IsId(product, kReaderProductId);
    const size_t slash = at.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    at.erase(slash);
  }
  return false;
}

}  // namespace

int32_t FindReaderPort(const DiscoveryRoots& roots) {
  const std::string sysRoot = RealPath(roots.sys);
  if (sysRoot.empty()) return -1;
  for (int32_t port : UsbSerialPorts(sysRoot + "/class/tty")) {
    if (IsReader(sysRoot, sysRoot + "/class/tty/ttyUSB" + std::to_string(port) + "/device")) return port;
  }
  return -1;
}

std::string ReaderDeviceName(int32_t portNumber, const DiscoveryRoots& roots) {
  return roots.dev + "/ttyUSB" + std::to_string(portNumber);
}

}  // namespace q48
