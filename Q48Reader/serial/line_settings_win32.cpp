#include "line_settings_win32.h"

namespace q48 {

bool SetReaderLineState(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return false;
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  // The parity check is on, but with NOPARITY no parity bit is sent or
  // received: there is nothing for it to look at, the line is 8N1, and with
  // fErrorChar off no byte is ever replaced.
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  return SetCommState(port, &dcb) != 0;
}

bool SetReaderLineTimeouts(HANDLE port) {
  COMMTIMEOUTS timeouts{};
  (void)GetCommTimeouts(port, &timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  return SetCommTimeouts(port, &timeouts) != 0;
}

bool ConfigureReaderLine(HANDLE port) { return SetReaderLineState(port) && SetReaderLineTimeouts(port); }

std::string ComDevicePath(const std::string& name) {
  if (name.rfind("\\\\.\\", 0) == 0 || name.rfind("\\\\?\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

std::string SystemErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  const size_t end = message.find_last_not_of(" \t\r\n");
  message.erase(end == std::string::npos ? 0 : end + 1);
  if (message.empty()) message = "system error " + std::to_string(error);
  return message;
}

}  // namespace q48
