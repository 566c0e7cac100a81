// Inside the emulator: the portable device (requests in, planned writes out)
// and the pump that serves it on a platform's line (line.h).
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

#include "emulator.h"
#include "line.h"
#include "protocol/frame.h"
#include "protocol/reassembly.h"

namespace q48emu {
namespace detail {

// 115200 baud at 10 bits a byte (start, 8 data, stop).
constexpr int kPacedBytesPerSecond = 11520;
// Paced answers leave in blocks this small, so a reader sees a steady stream.
constexpr size_t kPacedBlock = 16;

// One write on the line, after a pause.
struct Piece {
  int pauseMs = 0;
  std::vector<uint8_t> bytes;
};

// What the line does for one answer (or one SendRaw).
struct Plan {
  std::vector<Piece> pieces;
  bool paced = false;   // each byte leaves only when it would have been sent at 115200 baud
  bool hangUp = false;  // close the line; no pieces
  size_t request = SIZE_MAX;  // index of the request answered, in the log
};

// What a line offers to the writer of plans.
class LineIo {
 public:
  virtual ~LineIo() = default;
  // Writes everything, waiting while the line is full; false when the line
  // failed or the pump was interrupted.
  virtual bool WriteAll(const uint8_t* bytes, size_t count) = 0;
  // Waits until `deadline`; false when stopped or hung up meanwhile.
  virtual bool SleepUntil(std::chrono::steady_clock::time_point deadline) = 0;
};

// Carries out the writes of a plan (pauses, pieces, pacing) on `line`; false
// as soon as a write or a wait fails. A hang-up plan is the line's own job.
bool WritePlan(const Plan& plan, LineIo& line);

// The identity card's UTF-16LE texts: profile key, field, record offset and
// room in UTF-16 units (blank-padded). The reserved bytes (at most
// kReservedSize, raw) and the portrait are placed apart.
struct CardText {
  const char* key;
  std::string IdCardFields::*text;
  size_t offset;
  size_t units;
};
extern const CardText kCardTexts[8];
constexpr size_t kReservedSize = 10;
constexpr size_t kPortraitSize = 1024;

// UTF-8 to UTF-16 code units; a malformed sequence becomes U+FFFD.
std::vector<uint16_t> Utf8ToUtf16(const std::string& text);

// The writes for a finished answer frame under `behaviour` (damage, noise,
// copy, cuts, pauses, pacing, hang-up). An empty plan means silence.
Plan PlanAnswer(std::vector<uint8_t> frame, const Behaviour& behaviour);

// The protocol side of the emulator: profile, behaviours, logs. Feed is called
// by the line's pump only; everything else is safe from any thread.
class Device {
 public:
  using LogFn = void (*)(const std::string& line, void* context);

  explicit Device(CardProfile profile);

  // Bytes read from the line; returns the plans of the answers due.
  std::vector<Plan> Feed(const uint8_t* bytes, size_t count);
  // Forgets a partly received request (a new line).
  void ResetStream();

  void SetBehaviour(const Behaviour& behaviour);
  void PushBehaviour(const Behaviour& behaviour);
  void SetProfile(const CardProfile& profile);
  void RemoveCard();
  void PlaceCard(const CardProfile* profile);  // null: the card that was there
  bool CardPresent() const;
  std::vector<Request> Requests() const;
  std::vector<std::string> WrittenNumbers() const;
  std::vector<std::string> WrittenContents() const;
  bool WaitForRequests(size_t count, int timeoutMs) const;
  // The line wrote the last byte of the answer to request `index`.
  void MarkAnswered(size_t index);
  void SetLog(LogFn log, void* context);
  void Log(const std::string& line) const;

 private:
  // Answers one accepted request; false for silence. Takes the lock.
  bool Answer(const Request& request, Plan* plan, std::string* logLine);

  mutable std::mutex mutex_;
  mutable std::condition_variable requestsChanged_;
  CardProfile profile_;
  bool cardPresent_ = true;
  Behaviour standing_;
  std::deque<Behaviour> next_;
  std::vector<Request> requests_;
  std::vector<std::string> numbers_;
  std::vector<std::string> contents_;
  LogFn log_ = nullptr;
  void* logContext_ = nullptr;

  // Pump thread only: the requests' reassembler, and how many of the bytes
  // it dropped have been logged.
  q48::FrameReassembler reassembler_{q48::kMinRequestFrame};
  size_t ignoredLogged_ = 0;
};

// The line to the library and the thread that serves it: the portable state
// machine (start, stop, send, hang-up, run) around a platform's LineBackend.
// Its public calls are safe from any thread and are serialised with each
// other; the pump thread feeds the Device and carries out its plans.
class Pump final : public LineIo {
 public:
  explicit Pump(Device& device);
  ~Pump() override;  // stops the pump, closes the line

  // Each (re)opening stops a running pump, replaces the line, forgets a
  // partly received request, and starts the pump again if it was running.
  bool OpenPty(std::string* error);
  bool OpenPort(const std::string& name, std::string* error);
  void ServeFd(int fd);
  std::string SlavePath() const;

  void Start();  // no-op without a line, or when a pump thread exists
  void Stop();
  void SendRaw(const std::vector<uint8_t>& bytes);
  void HangUp();  // returns once the line is closed

  // LineIo, for WritePlan: the pump thread while it runs, else the caller.
  bool WriteAll(const uint8_t* bytes, size_t count) override;
  bool SleepUntil(std::chrono::steady_clock::time_point deadline) override;

 private:
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

struct Emulator::State {
  explicit State(CardProfile profile);
  ~State();
  detail::Device device;
  detail::Pump pump;
};

}  // namespace q48emu
