// The emulator's line on Windows: a COM port (one end of a null-modem pair).
// Read looks at the port's input queue and, when it is empty, waits a few
// milliseconds on the wake-up event; it reads only what has arrived. A read
// that waits for data behaves differently on Windows and under Wine (which
// never completes the "return at once" time-outs with data), while the queue
// count means the same on both.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <system_error>

#include "emulator.h"
#include "line.h"
#include "serial/line_settings_win32.h"

namespace q48emu {
namespace detail {

namespace {

constexpr DWORD kPollMs = 2;
constexpr DWORD kQueueSize = 4096;
// An overlapped read of bytes already queued ends at once; this only bounds
// a driver that misbehaves.
constexpr DWORD kReadWaitMs = 1000;

std::string Reason(const std::string& what, DWORD error = GetLastError()) {
  return what + ": error " + std::to_string(error) + " (" + q48::SystemErrorText(error) + ")";
}

void CloseIfSet(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

class Win32Line final : public LineBackend {
 public:
  Win32Line() {
    wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    read_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    write_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (wake_ == nullptr || read_.hEvent == nullptr || write_.hEvent == nullptr) {
      const auto error = static_cast<int>(GetLastError());
      CloseEvents();
      throw std::system_error(error, std::system_category(), "emulator line events");
    }
  }

  ~Win32Line() override {
    Close();
    CloseEvents();
  }

  bool OpenPty(std::string*, std::string* error) override {
    Close();
    *error = "there are no ptys on Windows; serve a COM port instead";
    return false;
  }

  bool OpenPort(const std::string& name, std::string* error) override {
    Close();
    const std::string path = q48::ComDevicePath(name);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *error = Reason("cannot open " + name);
      return false;
    }
    // The library's own settings, so both ends of the cable agree.
    if (!q48::ConfigureReaderLine(file)) {
      *error = Reason("cannot set " + name + " to 115200 8N1");
      CloseHandle(file);
      return false;
    }
    (void)SetupComm(file, kQueueSize, kQueueSize);
    // A reader that has just been switched on knows nothing of earlier bytes.
    (void)PurgeComm(file, PURGE_RXCLEAR | PURGE_TXCLEAR);
    file_ = file;
    return true;
  }

  bool Adopt(int fd, std::string* error) override {
    Close();
    HANDLE own = INVALID_HANDLE_VALUE;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    bool served = false;
    if (handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      *error = Reason("descriptor " + std::to_string(fd) + " is not served");
    } else if (!q48::SetReaderLineTimeouts(own)) {
      // Its line settings are the caller's; reads must return at once.
      *error = Reason("descriptor " + std::to_string(fd) + " is no COM port");
      CloseIfSet(own);
    } else {
      file_ = own;
      served = true;
    }
    _close(fd);
    return served;
  }

  void Close() override {
    if (file_ == INVALID_HANDLE_VALUE) return;
    // DTR off tells the other end of a null-modem cable that we are gone.
    (void)EscapeCommFunction(file_, CLRDTR);
    CloseIfSet(file_);
  }

  Io Read(uint8_t* buffer, size_t size, size_t* got, std::string* why) override {
    *got = 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(file_, &errors, &status)) {
      // A USB adapter that was pulled out, for instance.
      *why = Reason("the line is gone");
      return Io::kFailed;
    }
    if (status.cbInQue == 0) {
      (void)WaitForSingleObject(wake_, kPollMs);
      return Io::kDone;
    }
    const DWORD want = static_cast<DWORD>(std::min<size_t>(status.cbInQue, size));
    DWORD read = 0;
    ResetEvent(read_.hEvent);
    if (!ReadFile(file_, buffer, want, &read, &read_)) {
      read = 0;
      if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(read_.hEvent, kReadWaitMs) != WAIT_OBJECT_0) (void)CancelIo(file_);
        if (!GetOverlappedResult(file_, &read_, &read, TRUE)) read = 0;
      }
    }
    *got = read;
    return Io::kDone;
  }

  Io Write(const uint8_t* bytes, size_t count, size_t* written, const Interrupt& interrupted,
           std::string* why) override {
    *written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
    DWORD done = 0;
    ResetEvent(write_.hEvent);
    if (!WriteFile(file_, bytes, chunk, &done, &write_)) {
      if (GetLastError() != ERROR_IO_PENDING) {
        *why = Reason("write to the line");
        return Io::kFailed;
      }
      // The write time-outs end it; a stop or hang-up cuts it short.
      const HANDLE events[2] = {write_.hEvent, wake_};
      for (;;) {
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) break;
        if (interrupted()) {
          (void)CancelIo(file_);
          (void)GetOverlappedResult(file_, &write_, &done, TRUE);
          return Io::kInterrupted;
        }
        // Someone queued raw bytes: the pump sends them after this answer.
      }
      if (!GetOverlappedResult(file_, &write_, &done, FALSE)) {
        *why = Reason("write to the line");
        return Io::kFailed;
      }
    }
    if (done == 0) {
      *why = "write to the line: timed out (is the other end reading?)";
      return Io::kFailed;
    }
    *written = done;
    return Io::kDone;
  }

  void Wake() override { SetEvent(wake_); }

 private:
  void CloseEvents() {
    for (HANDLE event : {wake_, read_.hEvent, write_.hEvent})
      if (event != nullptr) CloseHandle(event);
  }

  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE wake_ = nullptr;
  OVERLAPPED read_{};
  OVERLAPPED write_{};
};

}  // namespace

std::unique_ptr<LineBackend> MakeLineBackend() { return std::make_unique<Win32Line>(); }

}  // namespace detail

const LineNaming kLineNaming = {
    "Plays a Q48 reader holding a card on a COM port (one end of a null-modem pair).\n", "COMn",
    "the COM port to serve (required)", false};

}  // namespace q48emu
