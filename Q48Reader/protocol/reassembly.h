// Stream reassembly: turns the chunks that a port's reader thread reads into
// accepted response messages.
//
// Called only from the reader thread that owns the instance (no lock inside).
// Chunks belong to the caller for the duration of Feed; the message pointer
// handed to the sink is valid only during the sink call.
//
// Unlike a per-chunk rule, this looks for the preamble anywhere in the
// stream: a frame split over any number of reads is delivered once, several
// frames in one read are all delivered in order, noise before a preamble is
// skipped, and a damaged frame is dropped without losing the next good one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace q48 {

constexpr size_t kAssemblyCapacity = 10240;  // bounds a frame to 10239 bytes
constexpr size_t kMaxFrameSize = kAssemblyCapacity - 1;
constexpr size_t kMaxChunkSize = 10240;

class FrameReassembler {
 public:
  using Sink = std::function<void(const uint8_t* message, size_t length)>;

  // minFrame: 18 for responses (the default), 17 for requests (emulator).
  explicit FrameReassembler(size_t minFrame = 18) : minFrame_(minFrame) {}

  // Feeds one chunk (any size; chunks above kMaxChunkSize are taken in
  // pieces). Returns the number of messages handed to `sink`.
  size_t Feed(const uint8_t* chunk, size_t size, const Sink& sink);

  // Forgets whatever is partly assembled (after a line error or a purge).
  void Reset() { size_ = 0; }

  size_t Pending() const { return size_; }

 private:
  size_t Process(const Sink& sink);
  // Position of the first "55 x 8, 04" at or after `from`, or size_.
  size_t FindStart(size_t from) const;
  // Whether a whole, acceptable frame starts at `at`.
  bool CompleteFrameAt(size_t at) const;
  void Discard(size_t count);

  uint8_t buffer_[kAssemblyCapacity];
  size_t size_ = 0;
  size_t minFrame_;
};

}  // namespace q48
