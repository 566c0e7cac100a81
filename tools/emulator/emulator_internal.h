// Inside the emulator: the portable device (requests in, planned writes out)
// and the line that each platform implements around it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator.h"
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

// UTF-8 to UTF-16 code units; a malformed sequence becomes U+FFFD.
std::vector<uint16_t> Utf8ToUtf16(const std::string& text);

// The answer data for a request, from `profile`; false for a request the
// reader does not know.
bool AnswerData(uint8_t group, uint8_t code, const CardProfile& profile, std::vector<uint8_t>* data);

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
  Behaviour standing_;
  std::deque<Behaviour> next_;
  std::vector<Request> requests_;
  std::vector<std::string> numbers_;
  std::vector<std::string> contents_;
  LogFn log_ = nullptr;
  void* logContext_ = nullptr;

  // Pump thread only: the reassembler and a copy of the bytes it still holds,
  // so that each request is logged byte for byte.
  q48::FrameReassembler reassembler_{q48::kMinRequestFrame};
  std::vector<uint8_t> stream_;
};

// The byte stream to the library: one implementation per platform
// (emulator_<platform>.cpp), made by MakeLine.
class Line : public LineIo {
 public:
  virtual bool OpenPty(std::string* error) = 0;
  virtual bool OpenPort(const std::string& name, std::string* error) = 0;
  virtual void ServeFd(int fd) = 0;
  virtual const std::string& SlavePath() const = 0;
  virtual void Start() = 0;
  virtual bool Stop() = 0;  // true when the pump was running
  virtual void SendRaw(const std::vector<uint8_t>& bytes) = 0;
  virtual void HangUp() = 0;
};

std::unique_ptr<Line> MakeLine(Device& device);

}  // namespace detail

struct Emulator::State {
  explicit State(CardProfile profile);
  ~State();
  detail::Device device;
  std::unique_ptr<detail::Line> line;
};

}  // namespace q48emu
