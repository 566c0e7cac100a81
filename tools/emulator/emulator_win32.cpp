// The emulator's line on Windows: a COM port (one end of a null-modem pair)
// served by a pump thread. The pump looks at the port's input queue every
// few milliseconds while it waits on a wake-up event, and reads only what
// has arrived: a read that waits for data behaves differently on Windows and
// under Wine (which never completes the "return at once" time-outs with
// data), while the queue count means the same on both.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "emulator_internal.h"

namespace q48emu {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPollMs = 2;
constexpr DWORD kQueueSize = 4096;
// An overlapped read of bytes already queued ends at once; this only bounds
// a driver that misbehaves.
constexpr DWORD kReadWaitMs = 1000;

std::string Reason(const std::string& what, DWORD error = GetLastError()) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string message = what + ": error " + std::to_string(error);
  if (length > 0 && text != nullptr) {
    std::string system(text, length);
    while (!system.empty() && (system.back() == '\n' || system.back() == '\r' || system.back() == ' '))
      system.pop_back();
    message += " (" + system + ")";
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

// "COM5" -> "\\.\COM5"; names that already carry a prefix stay as they are.
std::string DevicePath(const std::string& name) {
  if (name.rfind("\\\\.\\", 0) == 0 || name.rfind("\\\\?\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

// Reads return at once with what is queued; a write may take 10 ms a byte
// plus a second before it counts as failed.
bool SetTimeouts(HANDLE file) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  return SetCommTimeouts(file, &timeouts) != 0;
}

// 115200 8N1, no flow control, DTR and RTS on: what the library sets on its
// side of the cable.
bool ConfigureLine(HANDLE file) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(file, &dcb)) return false;
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fParity = 0;
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
  return SetCommState(file, &dcb) && SetTimeouts(file);
}

void CloseIfSet(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

// A manual-reset event for one overlapped operation.
class Overlapped {
 public:
  Overlapped() { record_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (record_.hEvent != nullptr) CloseHandle(record_.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  bool ok() const { return record_.hEvent != nullptr; }
  OVERLAPPED* get() { return &record_; }
  HANDLE event() const { return record_.hEvent; }

 private:
  OVERLAPPED record_{};
};

}  // namespace

class PlatformLine final : public Line {
 public:
  explicit PlatformLine(Device& device) : device_(device) {
    wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (wake_ == nullptr) throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                                  "emulator wake-up event");
  }

  ~PlatformLine() override {
    Stop();
    CloseLine();
    CloseHandle(wake_);
  }

  bool OpenPty(std::string* error) override {
    if (error) *error = "there are no ptys on Windows; serve a COM port instead";
    return false;
  }

  bool OpenPort(const std::string& name, std::string* error) override {
    const std::string path = DevicePath(name);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (error) *error = Reason("cannot open " + name);
      return false;
    }
    if (!ConfigureLine(file)) {
      if (error) *error = Reason("cannot set " + name + " to 115200 8N1");
      CloseHandle(file);
      return false;
    }
    (void)SetupComm(file, kQueueSize, kQueueSize);
    // A reader that has just been switched on knows nothing of earlier bytes.
    (void)PurgeComm(file, PURGE_RXCLEAR | PURGE_TXCLEAR);
    Serve(file);
    return true;
  }

  void ServeFd(int fd) override {
    HANDLE own = INVALID_HANDLE_VALUE;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      own = INVALID_HANDLE_VALUE;
      device_.Log(Reason("descriptor " + std::to_string(fd) + " is not served"));
    } else if (!SetTimeouts(own)) {
      device_.Log(Reason("descriptor " + std::to_string(fd) + " is no COM port"));
      CloseIfSet(own);
    }
    _close(fd);
    Serve(own);
  }

  const std::string& SlavePath() const override { return slavePath_; }

  void Start() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || file_ == INVALID_HANDLE_VALUE) return;
    stopRequested_ = false;
    hangUpRequested_ = false;
    pumping_ = true;
    thread_ = std::thread([this] { Run(); });
  }

  // Returns whether the pump was running.
  bool Stop() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!thread_.joinable()) return false;
      stopRequested_ = true;
    }
    changed_.notify_all();
    SetEvent(wake_);
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = false;
    outgoing_.clear();
    return true;
  }

  void SendRaw(const std::vector<uint8_t>& bytes) override {
    Plan plan;
    plan.pieces.push_back({0, bytes});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (file_ == INVALID_HANDLE_VALUE) return;
      if (pumping_) {
        outgoing_.push_back(std::move(plan));
        SetEvent(wake_);
        return;
      }
    }
    Execute(plan);
  }

  void HangUp() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!pumping_) {
      lock.unlock();
      CloseLine();
      return;
    }
    hangUpRequested_ = true;
    changed_.notify_all();
    SetEvent(wake_);
    changed_.wait(lock, [&] { return file_ == INVALID_HANDLE_VALUE || !pumping_; });
  }

  bool WriteAll(const uint8_t* bytes, size_t count) override {
    const HANDLE file = File();
    Overlapped overlapped;
    if (!overlapped.ok()) {
      device_.Log(Reason("write to the line"));
      return false;
    }
    while (count > 0) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
      DWORD written = 0;
      ResetEvent(overlapped.event());
      if (!WriteFile(file, bytes, chunk, &written, overlapped.get())) {
        if (GetLastError() != ERROR_IO_PENDING) {
          device_.Log(Reason("write to the line"));
          return false;
        }
        // The write time-outs end it; a stop or hang-up cuts it short.
        const HANDLE events[2] = {overlapped.event(), wake_};
        for (;;) {
          if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) break;
          if (Interrupted()) {
            (void)CancelIo(file);
            (void)GetOverlappedResult(file, overlapped.get(), &written, TRUE);
            return false;
          }
          // Someone queued raw bytes: the loop in Run sends them next.
        }
        if (!GetOverlappedResult(file, overlapped.get(), &written, FALSE)) {
          device_.Log(Reason("write to the line"));
          return false;
        }
      }
      if (written == 0) {
        device_.Log("write to the line: timed out (is the other end reading?)");
        return false;
      }
      bytes += written;
      count -= written;
    }
    return true;
  }

  bool SleepUntil(Clock::time_point deadline) override {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_until(lock, deadline, [&] { return stopRequested_ || hangUpRequested_; });
  }

 private:
  void Serve(HANDLE file) {
    const bool wasRunning = Stop();
    CloseLine();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      file_ = file;
    }
    device_.ResetStream();
    if (wasRunning) Start();
  }

  void CloseLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != INVALID_HANDLE_VALUE) {
      // DTR off tells the other end of a null-modem cable that we are gone.
      (void)EscapeCommFunction(file_, CLRDTR);
      CloseIfSet(file_);
    }
    changed_.notify_all();
  }

  bool Interrupted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopRequested_ || hangUpRequested_;
  }

  HANDLE File() {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_;
  }

  // Carries out one plan; false when the line is closed or the pump must end.
  bool Execute(const Plan& plan) {
    if (plan.hangUp) {
      CloseLine();
      return false;
    }
    return WritePlan(plan, *this) || !Interrupted();
  }

  // Reads up to `count` bytes that are already queued; 0 on failure.
  DWORD ReadQueued(HANDLE file, uint8_t* buffer, DWORD count, Overlapped& overlapped) {
    DWORD got = 0;
    ResetEvent(overlapped.event());
    if (ReadFile(file, buffer, count, &got, overlapped.get())) return got;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    if (WaitForSingleObject(overlapped.event(), kReadWaitMs) != WAIT_OBJECT_0) (void)CancelIo(file);
    got = 0;
    if (!GetOverlappedResult(file, overlapped.get(), &got, TRUE)) got = 0;
    return got;
  }

  void Run() {
    uint8_t buffer[4096];
    Overlapped overlapped;
    if (!overlapped.ok()) device_.Log(Reason("read from the line"));
    bool serving = overlapped.ok();
    while (serving) {
      std::deque<Plan> work;
      HANDLE file;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) break;
        if (hangUpRequested_) {
          Plan hangUp;
          hangUp.hangUp = true;
          work.push_back(std::move(hangUp));
        } else {
          work.swap(outgoing_);
        }
        file = file_;
      }
      serving = file != INVALID_HANDLE_VALUE;
      for (const Plan& plan : work)
        if (serving && !Execute(plan)) serving = false;
      if (!serving || File() == INVALID_HANDLE_VALUE) break;

      DWORD errors = 0;
      COMSTAT status{};
      if (!ClearCommError(file, &errors, &status)) {
        // A USB adapter that was pulled out, for instance.
        device_.Log(Reason("the line is gone"));
        break;
      }
      if (status.cbInQue == 0) {
        (void)WaitForSingleObject(wake_, kPollMs);
        continue;
      }
      const DWORD want = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(sizeof buffer));
      const DWORD got = ReadQueued(file, buffer, want, overlapped);
      if (got == 0) continue;
      for (const Plan& plan : device_.Feed(buffer, got))
        if (serving && !Execute(plan)) serving = false;
    }
    // A hang-up that interrupted an answer still closes the line.
    bool hangUp;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hangUp = hangUpRequested_;
    }
    if (hangUp) CloseLine();
    std::lock_guard<std::mutex> lock(mutex_);
    pumping_ = false;
    changed_.notify_all();
  }

  Device& device_;
  std::mutex mutex_;
  std::condition_variable changed_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE wake_ = nullptr;
  const std::string slavePath_;  // no ptys here
  std::thread thread_;
  bool pumping_ = false;
  bool stopRequested_ = false;
  bool hangUpRequested_ = false;
  std::deque<Plan> outgoing_;
};

std::unique_ptr<Line> MakeLine(Device& device) { return std::make_unique<PlatformLine>(device); }

}  // namespace detail


}  // namespace q48emu
