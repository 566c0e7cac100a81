#include "answer_plan.h"

#include <algorithm>
#include <utility>

#include "protocol/frame.h"

namespace q48emu {

std::vector<uint8_t> BuildResponseFrame(uint8_t group, uint8_t code, uint8_t status,
                                        const std::vector<uint8_t>& data) {
  std::vector<uint8_t> body;
  body.reserve(data.size() + 1);
  body.push_back(status);
  body.insert(body.end(), data.begin(), data.end());
  std::vector<uint8_t> frame(body.size() + q48::kMinRequestFrame);
  frame.resize(q48::EncodeFrame(group, code, body.data(), body.size(), frame.data(), frame.size()));
  return frame;
}

namespace detail {

Plan PlanAnswer(std::vector<uint8_t> frame, const Behaviour& behaviour) {
  Plan plan;
  if (behaviour.hangUp) {
    plan.hangUp = true;
    return plan;
  }
  if (behaviour.noAnswer || frame.size() < q48::kMinRequestFrame) return plan;

  const size_t n = frame.size();
  if (behaviour.badCrc) frame[n - q48::kTrailerSize] ^= 0x01;
  if (behaviour.badEndByte) frame[n - 1] = q48::kEndByte + 1;
  if (behaviour.badStartByte) frame[q48::kStartOffset] = q48::kStartByte + 1;
  if (behaviour.badLength)
    q48::WriteLe16(frame.data() + q48::kLengthOffset,
                   static_cast<uint16_t>(q48::ReadLe16(frame.data() + q48::kLengthOffset) + 1));

  std::vector<uint8_t> stream = behaviour.noiseBefore;
  stream.insert(stream.end(), frame.begin(), frame.end());
  if (behaviour.twoFrames) stream.insert(stream.end(), frame.begin(), frame.end());

  // Cut offsets count from the answer's first byte; noise goes with the
  // first piece.
  std::vector<size_t> cuts;
  for (size_t offset : behaviour.splitAt) {
    const size_t cut = behaviour.noiseBefore.size() + offset;
    if (offset > 0 && cut < stream.size()) cuts.push_back(cut);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  cuts.push_back(stream.size());

  size_t from = 0;
  for (size_t cut : cuts) {
    Piece piece;
    piece.pauseMs = behaviour.pauseMs;
    piece.bytes.assign(stream.begin() + static_cast<std::ptrdiff_t>(from),
                       stream.begin() + static_cast<std::ptrdiff_t>(cut));
    plan.pieces.push_back(std::move(piece));
    from = cut;
  }
  plan.paced = behaviour.pace;
  return plan;
}

bool WritePlan(const Plan& plan, LineIo& line) {
  using Clock = std::chrono::steady_clock;
  if (!plan.paced) {
    for (const Piece& piece : plan.pieces) {
      if (piece.pauseMs > 0 && !line.SleepUntil(Clock::now() + std::chrono::milliseconds(piece.pauseMs))) return false;
      if (!line.WriteAll(piece.bytes.data(), piece.bytes.size())) return false;
    }
    return true;
  }
  // Paced: byte k is handed over when its stop bit would have gone out,
  // counted from the first start bit; pauses hold the line idle.
  using Micros = std::chrono::microseconds;
  Clock::time_point base = Clock::now();
  size_t sent = 0;
  for (const Piece& piece : plan.pieces) {
    base += std::chrono::milliseconds(piece.pauseMs);
    for (size_t at = 0; at < piece.bytes.size(); at += kPacedBlock) {
      const size_t block = std::min(kPacedBlock, piece.bytes.size() - at);
      const auto due = base + Micros((sent + block) * 1000000 / kPacedBytesPerSecond);
      if (!line.SleepUntil(due)) return false;
      if (!line.WriteAll(piece.bytes.data() + at, block)) return false;
      sent += block;
    }
  }
  return true;
}

std::string Describe(const Behaviour& b, const Plan& plan) {
  std::string notes;
  auto note = [&notes](const std::string& text) { notes += (notes.empty() ? " [" : ", ") + text; };
  if (b.badCrc) note("bad CRC");
  if (b.badEndByte) note("bad end byte");
  if (b.badStartByte) note("bad start byte");
  if (b.badLength) note("bad length");
  if (!b.noiseBefore.empty()) note(std::to_string(b.noiseBefore.size()) + " noise bytes");
  if (b.twoFrames) note("two frames");
  if (plan.pieces.size() > 1) note(std::to_string(plan.pieces.size()) + " pieces");
  if (b.pauseMs > 0) note(std::to_string(b.pauseMs) + " ms pauses");
  if (b.pace) note("paced");
  return notes.empty() ? notes : notes + "]";
}

}  // namespace detail
}  // namespace q48emu
