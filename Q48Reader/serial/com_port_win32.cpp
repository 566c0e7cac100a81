// ComPort on Windows: the communications API with overlapped reads and
// writes, and a reader thread that polls the port every 10 ms.
//
// A read or write is never left pending when this code returns: its buffer
// and OVERLAPPED record belong to this ComPort and go away with it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "com_port.h"
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

}  // namespace

struct ComPort::Platform {
  ComPort* port = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE closeEvent = nullptr;
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  bool resumed = false;
  // Set by Close besides the named event, which another ComPort of the same
  // port number could consume.
  std::atomic<bool> stopping{false};
  // A read is outstanding (reader thread); Close looks at it only after the
  // thread has ended.
  std::atomic<bool> readPending{false};
  OVERLAPPED readOverlapped{};
  OVERLAPPED writeOverlapped{};
  std::vector<uint8_t> chunk = std::vector<uint8_t>(kMaxChunkSize);

  ~Platform() {
    CloseIfSet(readOverlapped.hEvent);
    CloseIfSet(writeOverlapped.hEvent);
  }

  static DWORD WINAPI ReaderThreadMain(LPVOID parameter);
  void ReaderLoop();
  DWORD ReadChunk(DWORD limit);
};

std::string ComPort::DeviceName(int32_t portNumber, const std::string& /*directory*/) {
  return "COM" + std::to_string(portNumber);
}

bool ComPort::OpenDevice(const std::string& device, std::string* reason, OpenFailureKind* kind) {
  const auto fail = [reason, kind](DWORD error) {
    *reason = SystemErrorText(error);
    *kind = KindOf(error);
    return false;
  };

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

  // Each ComPort has its own overlapped events: without them an outstanding
  // read or write could not be waited for.
  auto* platform = new (std::nothrow) Platform;
  if (platform != nullptr) {
    platform->readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    platform->writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  if (platform == nullptr || platform->readOverlapped.hEvent == nullptr ||
      platform->writeOverlapped.hEvent == nullptr) {
    const DWORD error = platform == nullptr ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : GetLastError();
    delete platform;
    CloseHandle(file);
    return fail(error);
  }
  platform->port = this;
  platform->file = file;
  platform_ = platform;

  char eventName[40];
  std::snprintf(eventName, sizeof eventName, "Com_ReadCloseEvent%d", PortNumberOf(device));
  platform->closeEvent = CreateEventA(nullptr, FALSE, FALSE, eventName);
  platform->thread = CreateThread(nullptr, 0, &Platform::ReaderThreadMain, platform, CREATE_SUSPENDED,
                                  &platform->threadId);
  if (platform->thread != nullptr) (void)SetThreadPriority(platform->thread, THREAD_PRIORITY_TIME_CRITICAL);
  // Without a thread nothing is ever queued and the caller's poll runs out.
  return true;
}

bool ComPort::ResumeReader() {
  if (platform_ == nullptr || platform_->thread == nullptr) return false;
  if (!platform_->resumed) {
    platform_->resumed = true;
    (void)ResumeThread(platform_->thread);
  }
  return true;
}

int32_t ComPort::Write(const uint8_t* bytes, int32_t count) {
  if (platform_ == nullptr || bytes == nullptr || count <= 0) return 0;
  const HANDLE file = platform_->file;
  OVERLAPPED& overlapped = platform_->writeOverlapped;

  DWORD errors = 0;
  if (ClearCommError(file, &errors, nullptr) && errors != 0) (void)PurgeComm(file, PURGE_TXABORT | PURGE_TXCLEAR);

  DWORD written = 0;
  if (WriteFile(file, bytes, static_cast<DWORD>(count), &written, &overlapped)) {
    (void)FlushFileBuffers(file);
    return static_cast<int32_t>(written);
  }
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  // The caller's bytes and our OVERLAPPED must outlive the write, so wait for
  // it; the write time-outs end it within 10 ms a byte plus 1 s. Past that
  // (a driver that ignores them) it is cancelled and its end awaited.
  const DWORD budget = 1000 + 10 * static_cast<DWORD>(count) + 500;
  if (WaitForSingleObject(overlapped.hEvent, budget) != WAIT_OBJECT_0) (void)CancelIo(file);
  written = 0;
  (void)GetOverlappedResult(file, &overlapped, &written, TRUE);
  return static_cast<int32_t>(written);
}

void ComPort::Close() {
  if (platform_ == nullptr) return;
  Platform& p = *platform_;
  p.stopping = true;
  if (p.closeEvent != nullptr) (void)SetEvent(p.closeEvent);
  (void)SetCommMask(p.file, 0);
  (void)PurgeComm(p.file, PURGE_RXCLEAR);
  if (p.thread != nullptr) {
    // A thread that never ran would otherwise sit out the whole wait; let
    // it run, and it ends at its first look at the stop signal.
    if (!p.resumed) {
      p.resumed = true;
      (void)ResumeThread(p.thread);
    }
    if (WaitForSingleObject(p.thread, kStopWaitMs) == WAIT_TIMEOUT) {
      // Last resort: the thread is stuck beyond its 10 ms cycle.
      (void)TerminateThread(p.thread, 0);
      (void)WaitForSingleObject(p.thread, kStopWaitMs);
    }
    if (p.readPending) {
      // The thread was cut off inside a read: the read must end before its
      // buffer and OVERLAPPED are freed.
      CancelOverlapped(p.file, &p.readOverlapped);
      DWORD ignored = 0;
      (void)GetOverlappedResult(p.file, &p.readOverlapped, &ignored, TRUE);
      p.readPending = false;
    }
    CloseIfSet(p.thread);
  }
  CloseIfSet(p.file);
  CloseIfSet(p.closeEvent);
  delete platform_;
  platform_ = nullptr;
}

DWORD WINAPI ComPort::Platform::ReaderThreadMain(LPVOID parameter) {
  auto* platform = static_cast<Platform*>(parameter);
  try {
    platform->ReaderLoop();
  } catch (...) {
    // Nothing may unwind out of a thread routine; the caller's poll runs out.
  }
  (void)SetCommMask(platform->file, 0);
  (void)PurgeComm(platform->file, PURGE_TXCLEAR | PURGE_RXCLEAR);
  return 0;
}

void ComPort::Platform::ReaderLoop() {
  for (;;) {
    if (WaitForSingleObject(closeEvent, kPollWaitMs) == WAIT_OBJECT_0 || stopping) return;
    DWORD errors = 0;
    COMSTAT status{};
    // Resets the line-error flags, so ReadChunk sees only errors that arise
    // after this.
    (void)ClearCommError(file, &errors, &status);
    if (status.cbInQue == 0) {
      Sleep(1);
      continue;
    }
    const DWORD got = ReadChunk(std::min<DWORD>(status.cbInQue, static_cast<DWORD>(chunk.size())));
    if (got == 0) continue;
    try {
      port->OnChunk(chunk.data(), got);
    } catch (...) {
      port->OnLineError();  // no memory for a message: drop it, keep running
    }
  }
}

DWORD ComPort::Platform::ReadChunk(DWORD limit) {
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(file, &errors, &status) && errors != 0) {
    // Overrun, framing, parity or break: what is waiting cannot be trusted.
    (void)PurgeComm(file, PURGE_RXABORT | PURGE_RXCLEAR);
    port->OnLineError();
    return 0;
  }
  if (status.cbInQue == 0) return 0;
  const DWORD count = std::min(limit, status.cbInQue);
  DWORD read = 0;
  readPending = true;
  if (ReadFile(file, chunk.data(), count, &read, &readOverlapped)) {
    readPending = false;
    return read;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    readPending = false;
    return 0;
  }
  (void)WaitForSingleObject(readOverlapped.hEvent, kReadWaitMs);
  read = 0;
  if (!GetOverlappedResult(file, &readOverlapped, &read, FALSE)) {
    if (GetLastError() != ERROR_IO_INCOMPLETE) {
      readPending = false;
      return 0;
    }
    // Still outstanding: cancel it and take what it got before the cancel,
    // so it never lands in the chunk buffer during a later cycle.
    (void)CancelIo(file);
    read = 0;
    if (!GetOverlappedResult(file, &readOverlapped, &read, TRUE)) read = 0;
  }
  readPending = false;
  return read;
}

}  // namespace q48
