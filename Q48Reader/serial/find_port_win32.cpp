// Finding the reader on Windows: the Setup API's list of present devices
// with the ports interface class, matched by the USB identity in the
// interface path; the port number comes from the device's friendly name.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "find_port.h"
#include "friendly_name_win32.h"

namespace q48 {

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the setup class of ports.
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The bridge's identity as the FTDI driver ("+", after "\\?\FTDIBUS#") and
// the generic USB driver ("&", after "\\?\USB#") put it into the path.
constexpr size_t kFtdiOffset = 12;
constexpr size_t kUsbOffset = 8;

// "VID_0403" `joint` "PID_6001", without regard to case, at `offset`.
bool IdentityAt(const std::string& path, size_t offset, char joint) {
  char identity[24];
  const int length = std::snprintf(identity, sizeof identity, "VID_%04X%cPID_%04X",
                                   static_cast<unsigned>(kReaderVendorId), joint,
                                   static_cast<unsigned>(kReaderProductId));
  if (path.size() < offset || length <= 0) return false;
  return lstrcmpiA(path.substr(offset, static_cast<size_t>(length)).c_str(), identity) == 0;
}

// A device registry property as text, or false.
bool ReadTextProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property, std::string* text) {
  std::vector<BYTE> buffer(260);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD needed = 0;
    if (SetupDiGetDeviceRegistryPropertyA(list, device, property, nullptr, buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &needed)) {
      const size_t size = std::min<size_t>(needed, buffer.size());
      const auto* begin = reinterpret_cast<const char*>(buffer.data());
      *text = std::string(begin, strnlen(begin, size));
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return false;
    buffer.assign(needed, 0);
  }
  return false;
}

// The interface path, sized from what the Setup API reports; false when it
// cannot be fetched. `device` receives the device the interface belongs to.
bool InterfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* iface, SP_DEVINFO_DATA* device, std::string* path) {
  DWORD needed = 0;
  (void)SetupDiGetDeviceInterfaceDetailA(list, iface, nullptr, 0, &needed, nullptr);
  if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
  // Whole DWORDs keep the detail record aligned; one spare keeps the path
  // terminated even if the driver fills every byte.
  std::vector<DWORD> storage(needed / sizeof(DWORD) + 2, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(list, iface, detail, needed, nullptr, device)) return false;
  const size_t room = needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  *path = std::string(detail->DevicePath, strnlen(detail->DevicePath, room));
  return true;
}

class DeviceList {
 public:
  DeviceList()
      : list_(SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}
  ~DeviceList() {
    if (valid()) SetupDiDestroyDeviceInfoList(list_);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  bool valid() const { return list_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return list_; }

 private:
  HDEVINFO list_;
};

}  // namespace

int32_t FindReaderPort(const DiscoveryRoots& /*roots: Linux only*/) {
  try {
    DeviceList list;
    if (!list.valid()) return -1;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA iface{};
      iface.cbSize = sizeof iface;
      if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &kPortsClass, index, &iface)) return -1;
      // The device that owns this interface (not merely the index-th device
      // of the list) gives the name.
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      std::string path;
      // An interface whose detail cannot be had ends the search.
      if (!InterfacePath(list.get(), &iface, &device, &path)) return -1;
      if (!IdentityAt(path, kFtdiOffset, '+') && !IdentityAt(path, kUsbOffset, '&')) continue;

      std::string name;
      if (!ReadTextProperty(list.get(), &device, SPDRP_FRIENDLYNAME, &name))
        (void)ReadTextProperty(list.get(), &device, SPDRP_DEVICEDESC, &name);
      return PortNumberFromName(name);
    }
  } catch (...) {
    return -1;  // out of memory: as if no reader were attached
  }
}

std::string ReaderDeviceName(int32_t portNumber, const DiscoveryRoots& /*roots: Linux only*/) {
  return "COM" + std::to_string(portNumber);
}

}  // namespace q48
