// The line to the library and the thread that serves it: the portable state
// machine (open, start, stop, send, hang-up, run) around a platform's
// LineBackend (line.h). The pump thread reads the line, feeds the Device and
// carries out its plans.
//
// Threads: every public call is safe from any thread; the calls are
// serialised with each other, and a reopen or Stop waits for the pump thread
// to end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "answer_plan.h"
#include "device.h"
#include "line.h"

namespace q48emu {
namespace detail {

// Not polymorphic: the Emulator derives from it, and a virtual call made by
// the pump thread would race with the destructor's switch of the vtable.
class Pump {
 public:
  explicit Pump(Device& device);
  ~Pump();  // stops the pump, closes the line
  Pump(const Pump&) = delete;
  Pump& operator=(const Pump&) = delete;

  // Each (re)opening stops a running pump, replaces the line, forgets a
  // partly received request, and starts the pump again if it was running.
  //
  // Linux: opens a pty (raw, no echo) and keeps a slave descriptor open so the
  // master never sees a hang-up between the library's opens. Returns false
  // with a reason in *error on failure (always on Windows, which has no ptys).
  bool OpenPty(std::string* error = nullptr);
  // Serves a serial port, set to 115200 8N1 with no flow control, after
  // discarding whatever was waiting in it: "COM5" (or "\\.\COM12") on
  // Windows, a device such as "/dev/ttyUSB1" elsewhere. Returns false with a
  // reason in *error on failure.
  bool OpenPort(const std::string& name, std::string* error = nullptr);
  // Serves an already open descriptor instead (e.g. a serial device; on
  // Windows a C runtime descriptor of a COM port). The pump owns `fd` from
  // then on and closes it; a failure is logged.
  void ServeFd(int fd);
  // Path of the pty slave the library opens ("" without a pty): a copy, as
  // a reopen changes it.
  std::string SlavePath() const;

  void Start();  // no-op without a line, or when a pump thread exists
  void Stop();
  // Sends raw bytes now (tests: unsolicited frames, noise).
  void SendRaw(const std::vector<uint8_t>& bytes);
  // Closes the line now (an unplugged reader); returns once it is closed.
  void HangUp();

 private:
  // What WritePlan calls, through a Line made for each plan: the pump
  // thread while it runs, else the caller.
  class Line;
  bool WriteAll(const uint8_t* bytes, size_t count);
  bool SleepUntil(std::chrono::steady_clock::time_point deadline);

  // `open(slavePath, reason)` opens the new line; its reason goes to *error
  // (when not null) on failure.
  template <typename Open>
  bool Reopen(Open open, std::string* error);
  void StartThread();  // control_ and mutex_ held, no pump thread
  bool StopThread();   // true when there was a pump thread
  void CloseLine();
  bool Interrupted();
  bool Execute(const Plan& plan);
  void Run();

  Device& device_;
  std::unique_ptr<LineBackend> backend_;
  std::string slavePath_;  // under mutex_
  std::mutex control_;  // serialises the public calls; never taken by the pump thread
  mutable std::mutex mutex_;  // guards what follows, shared with the pump thread
  std::condition_variable changed_;
  bool open_ = false;
  bool pumping_ = false;
  bool stopRequested_ = false;
  bool hangUpRequested_ = false;
  std::deque<Plan> outgoing_;
  std::thread thread_;
};

}  // namespace detail
}  // namespace q48emu
