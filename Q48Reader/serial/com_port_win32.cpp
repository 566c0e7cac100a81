// The serial port's device on Windows: the communications API with
// overlapped reads and writes, and a reader thread that polls the port every
// 10 ms.
//
// A read or write is never left pending when this code returns: its buffer
// and OVERLAPPED record belong to the device and go away with it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "com_port_platform.h"
#include "line_settings_win32.h"

namespace q48 {

namespace {

constexpr DWORD kQueueSize = 512;
constexpr DWORD kStopWaitMs = 1000;
constexpr DWORD kPollWaitMs = 10;
constexpr DWORD kReadWaitMs = 300;

void CloseIfSet(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

// Cancels pending I/O of another thread on `file`. Looked up at run time so
// the library still loads where the system lacks it; there, the end of the
// thread that issued the I/O cancels it.
void CancelOverlapped(HANDLE file, OVERLAPPED* overlapped) {
  using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
  static const auto cancelIoEx = reinterpret_cast<CancelIoExFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIoEx")));
  if (cancelIoEx != nullptr) cancelIoEx(file, overlapped);
}

OpenFailureKind KindOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return OpenFailureKind::NotFound;
    // A COM port opens for one program at a time: access denied means
    // another one holds it.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return OpenFailureKind::InUse;
    default: return OpenFailureKind::Other;
  }
}

// n of a device named COMn, which names the reader thread's stop event; 0
// for other names.
int PortNumberOf(const std::string& device) {
  const size_t digits = device.find_last_not_of("0123456789") + 1;  // npos + 1 is 0
  if (digits < 3 || digits == device.size()) return 0;
  const char* name = device.c_str() + digits - 3;
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
  return std::atoi(device.c_str() + digits);
}

class Win32PortDevice final : public PortDevice {
 public:
  Win32PortDevice(HANDLE file, PortReceiver& receiver) : file_(file), receiver_(receiver) {}
  ~Win32PortDevice() override;
  Win32PortDevice(const Win32PortDevice&) = delete;
  Win32PortDevice& operator=(const Win32PortDevice&) = delete;

  // Each device has its own overlapped events: without them an outstanding
  // read or write could not be waited for. False (GetLastError says why)
  // when the system has none to give.
  bool MakeEvents();
  // The stop event and the reader thread, created suspended. Without a
  // thread nothing is ever queued and the caller's poll runs out.
  void CreateReaderThread(int portNumber);
  bool ResumeReader() override;
  int32_t Write(const uint8_t* bytes, int32_t count) override;

 private:
  static DWORD WINAPI ReaderThreadMain(LPVOID parameter);
  void ReaderLoop();
  DWORD ReadChunk(DWORD limit);

  HANDLE file_;
  PortReceiver& receiver_;
  HANDLE closeEvent_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  bool resumed_ = false;
  // Set by the destructor besides the named event, which another port of
  // the same number could consume.
  std::atomic<bool> stopping_{false};
  // A read is outstanding (reader thread); the destructor looks at it only
  // after the thread has ended.
  std::atomic<bool> readPending_{false};
  OVERLAPPED readOverlapped_{};
  OVERLAPPED writeOverlapped_{};
  std::vector<uint8_t> chunk_;  // the reader thread's, made by it
};

bool Win32PortDevice::MakeEvents() {
  readOverlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  writeOverlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return readOverlapped_.hEvent != nullptr && writeOverlapped_.hEvent != nullptr;
}

void Win32PortDevice::CreateReaderThread(int portNumber) {
  char eventName[40];
  std::snprintf(eventName, sizeof eventName, "Com_ReadCloseEvent%d", portNumber);
  closeEvent_ = CreateEventA(nullptr, FALSE, FALSE, eventName);
  thread_ = CreateThread(nullptr, 0, &ReaderThreadMain, this, CREATE_SUSPENDED, &threadId_);
  if (thread_ != nullptr) (void)SetThreadPriority(thread_, THREAD_PRIORITY_TIME_CRITICAL);
}

bool Win32PortDevice::ResumeReader() {
  if (thread_ == nullptr) return false;
  if (!resumed_) {
    resumed_ = true;
    (void)ResumeThread(thread_);
  }
  return true;
}

int32_t Win32PortDevice::Write(const uint8_t* bytes, int32_t count) {
  OVERLAPPED& overlapped = writeOverlapped_;
  DWORD errors = 0;
  if (ClearCommError(file_, &errors, nullptr) && errors != 0) (void)PurgeComm(file_, PURGE_TXABORT | PURGE_TXCLEAR);

  DWORD written = 0;
  if (WriteFile(file_, bytes, static_cast<DWORD>(count), &written, &overlapped)) {
    (void)FlushFileBuffers(file_);
    return static_cast<int32_t>(written);
  }
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  // The caller's bytes and our OVERLAPPED must outlive the write, so wait for
  // it; the write time-outs end it within 10 ms a byte plus 1 s. Past that
  // (a driver that ignores them) it is cancelled and its end awaited.
  const DWORD budget = 1000 + 10 * static_cast<DWORD>(count) + 500;
  if (WaitForSingleObject(overlapped.hEvent, budget) != WAIT_OBJECT_0) (void)CancelIo(file_);
  written = 0;
  (void)GetOverlappedResult(file_, &overlapped, &written, TRUE);
  return static_cast<int32_t>(written);
}

Win32PortDevice::~Win32PortDevice() {
  stopping_ = true;
  if (closeEvent_ != nullptr) (void)SetEvent(closeEvent_);
  (void)SetCommMask(file_, 0);
  (void)PurgeComm(file_, PURGE_RXCLEAR);
  if (thread_ != nullptr) {
    // A thread that never ran would otherwise sit out the whole wait; let
    // it run, and it ends at its first look at the stop signal.
    if (!resumed_) {
      resumed_ = true;
      (void)ResumeThread(thread_);
    }
    if (WaitForSingleObject(thread_, kStopWaitMs) == WAIT_TIMEOUT) {
      // Last resort: the thread is stuck beyond its 10 ms cycle.
      (void)TerminateThread(thread_, 0);
      (void)WaitForSingleObject(thread_, kStopWaitMs);
    }
    if (readPending_) {
      // The thread was cut off inside a read: the read must end before its
      // buffer and OVERLAPPED are freed.
      CancelOverlapped(file_, &readOverlapped_);
      DWORD ignored = 0;
      (void)GetOverlappedResult(file_, &readOverlapped_, &ignored, TRUE);
      readPending_ = false;
    }
    CloseIfSet(thread_);
  }
  CloseIfSet(file_);
  CloseIfSet(closeEvent_);
  CloseIfSet(readOverlapped_.hEvent);
  CloseIfSet(writeOverlapped_.hEvent);
}

DWORD WINAPI Win32PortDevice::ReaderThreadMain(LPVOID parameter) {
  auto* device = static_cast<Win32PortDevice*>(parameter);
  try {
    device->ReaderLoop();
  } catch (...) {
    // Nothing may unwind out of a thread routine (no memory for the chunk
    // buffer, for one); the caller's poll runs out.
  }
  (void)SetCommMask(device->file_, 0);
  (void)PurgeComm(device->file_, PURGE_TXCLEAR | PURGE_RXCLEAR);
  return 0;
}

void Win32PortDevice::ReaderLoop() {
  chunk_.assign(kMaxChunkSize, 0);
  for (;;) {
    if (WaitForSingleObject(closeEvent_, kPollWaitMs) == WAIT_OBJECT_0 || stopping_) return;
    DWORD errors = 0;
    COMSTAT status{};
    // Resets the line-error flags, so ReadChunk sees only errors that arise
    // after this.
    (void)ClearCommError(file_, &errors, &status);
    if (status.cbInQue == 0) {
      Sleep(1);
      continue;
    }
    const DWORD got = ReadChunk(std::min<DWORD>(status.cbInQue, static_cast<DWORD>(chunk_.size())));
    if (got == 0) continue;
    try {
      receiver_.OnChunk(chunk_.data(), got);
    } catch (...) {
      receiver_.OnLineError();  // no memory for a message: drop it, keep running
    }
  }
}

DWORD Win32PortDevice::ReadChunk(DWORD limit) {
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(file_, &errors, &status) && errors != 0) {
    // Overrun, framing, parity or break: what is waiting cannot be trusted.
    (void)PurgeComm(file_, PURGE_RXABORT | PURGE_RXCLEAR);
    receiver_.OnLineError();
    return 0;
  }
  if (status.cbInQue == 0) return 0;
  const DWORD count = std::min(limit, status.cbInQue);
  DWORD read = 0;
  readPending_ = true;
  if (ReadFile(file_, chunk_.data(), count, &read, &readOverlapped_)) {
    readPending_ = false;
    return read;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    readPending_ = false;
    return 0;
  }
  (void)WaitForSingleObject(readOverlapped_.hEvent, kReadWaitMs);
  read = 0;
  if (!GetOverlappedResult(file_, &readOverlapped_, &read, FALSE)) {
    if (GetLastError() != ERROR_IO_INCOMPLETE) {
      readPending_ = false;
      return 0;
    }
    // Still outstanding: cancel it and take what it got before the cancel,
    // so it never lands in the chunk buffer during a later cycle.
    (void)CancelIo(file_);
    read = 0;
    if (!GetOverlappedResult(file_, &readOverlapped_, &read, TRUE)) read = 0;
  }
  readPending_ = false;
  return read;
}

}  // namespace

OpenResult OpenPortDevice(const std::string& device, PortReceiver& receiver, std::unique_ptr<PortDevice>* opened) {
  const auto fail = [](DWORD error) { return OpenResult::Failed(KindOf(error), SystemErrorText(error)); };

  const HANDLE file = CreateFileA(ComDevicePath(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
  if (!ConfigureReaderLine(file)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    return fail(error);
  }
  (void)SetCommMask(file, EV_RXCHAR);
  (void)SetupComm(file, kQueueSize, kQueueSize);
  // Purge here rather than when the thread starts, so that an answer that
  // arrives before the thread first runs is never thrown away.
  (void)PurgeComm(file, PURGE_TXCLEAR | PURGE_RXCLEAR);

  std::unique_ptr<Win32PortDevice> port;
  try {
    port = std::make_unique<Win32PortDevice>(file, receiver);
  } catch (...) {
    CloseHandle(file);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  // From here the device owns the file: its destructor closes it.
  if (!port->MakeEvents()) return fail(GetLastError());
  port->CreateReaderThread(PortNumberOf(device));
  *opened = std::move(port);
  return OpenResult();
}

}  // namespace q48
