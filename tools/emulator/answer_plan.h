// How an answer goes onto the line: its frame, the damage, copies, cuts,
// pauses and pacing that a Behaviour asks for, and the writes that carry
// them out.
//
// BuildResponseFrame, PlanAnswer and Describe are pure and safe on any
// thread; WritePlan runs on the thread that drives the line it is given.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace q48emu {

// How the next answers go wrong. The default answers promptly and correctly.
struct Behaviour {
  bool noAnswer = false;       // read the request, say nothing
  bool badCrc = false;         // flip a CRC bit
  bool badEndByte = false;     // last byte not 0x06
  bool badStartByte = false;   // byte 8 not 0x04
  bool badLength = false;      // length field one too large
  uint8_t status = 0;          // status byte of the answer
  std::vector<size_t> splitAt; // write the answer in pieces cut at these offsets
  int pauseMs = 0;             // pause between pieces (and before the answer)
  bool twoFrames = false;      // follow the answer, in the same write, with a copy of it
  std::vector<uint8_t> noiseBefore;  // bytes sent before the answer
  bool pace = false;           // pace the answer at 115200 baud (10 bits a byte)
  bool hangUp = false;         // close the line instead of answering
  // Answer with another request's reply instead (group, code), e.g. a stale
  // card-type answer to a read-card request. -1: answer the request itself.
  int answerGroup = -1;
  int answerCode = -1;
};

// A whole response frame: group, code, status, data.
std::vector<uint8_t> BuildResponseFrame(uint8_t group, uint8_t code, uint8_t status,
                                        const std::vector<uint8_t>& data);

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

// The writes for a finished answer frame under `behaviour`. An empty plan
// means silence.
Plan PlanAnswer(std::vector<uint8_t> frame, const Behaviour& behaviour);

// What `behaviour` did to the answer `plan` carries, for the log:
// " [bad CRC, 3 pieces]", or "" for a plain answer.
std::string Describe(const Behaviour& behaviour, const Plan& plan);

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

}  // namespace detail
}  // namespace q48emu
