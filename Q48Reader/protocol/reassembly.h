// Stream reassembly: turns the chunks that a port's reader thread reads (or
// the emulator's line) into accepted frames.
//
// Called only from the thread that owns the instance (no lock inside; Feed
// blocks on nothing). Chunks belong to the caller for the duration of Feed;
// the frame handed to the sink points into the instance and is valid only
// during the sink call. The instance is about 43 KB: keep it on the heap.
//
// The preamble is looked for anywhere in the stream: a frame split over any
// number of reads is delivered once, several frames in one read are all
// delivered in order, noise before a preamble is skipped, and a damaged frame
// is dropped without losing the next good one.
//
// The rules, applied after every read to the bytes kept so far:
//  - a frame start is "55" x 8, "04"; bytes before the first start are
//    dropped, and with no start only a trailing run of up to eight 0x55 is
//    kept (it may begin the next preamble);
//  - a start whose length is impossible (below minFrame or above
//    kMaxFrameSize), or whose frame is whole but not acceptable, is dropped,
//    and the search goes on just after it;
//  - a start whose frame is whole and acceptable is delivered;
//  - a start whose frame is not yet whole waits, unless a later start in the
//    kept bytes already has a whole acceptable frame (its own length field
//    was probably damaged upwards): then everything before the first such
//    later start is dropped.
// Every byte fed is, in the end, delivered in a frame, counted in Discarded(),
// kept (Pending()) or forgotten by Reset().
// The state of every start seen (no header yet, waiting, acceptable, dropped)
// is kept between reads and each start is judged once, when its frame is
// whole; so a read costs about its own size, however the stream is cut, not
// the size kept so far (plus one checksum pass over each candidate frame that
// arrives whole with an end byte: once per frame on a sound line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "frame.h"

namespace q48 {

constexpr size_t kAssemblyCapacity = kReceiveLimit;
constexpr size_t kMaxFrameSize = kAssemblyCapacity - 1;
// The most a reader thread reads at once.
constexpr size_t kMaxChunkSize = kReceiveLimit;
static_assert(kMaxFrameSize - kMessageOverhead <= kReceiveLimit, "a message fits the receive area");

class FrameReassembler {
 public:
  // Given each accepted frame where it lies in the kept bytes.
  using Sink = std::function<void(const FrameView& frame)>;

  // minFrame: kMinResponseFrame (the default), or kMinRequestFrame for
  // requests (emulator).
  explicit FrameReassembler(size_t minFrame = kMinResponseFrame) : minFrame_(minFrame) {}

  // Feeds one chunk (any size; the bytes kept never exceed kAssemblyCapacity,
  // so larger chunks are taken in pieces, the rules applied after each).
  // Returns the number of messages handed to `sink`.
  size_t Feed(const uint8_t* chunk, size_t size, const Sink& sink);

  // Forgets whatever is partly assembled (after a line error or a purge);
  // Discarded() stays.
  void Reset();

  // Bytes dropped so far as noise or damaged frames, before a frame is
  // handed to the sink as well as after; Reset does not count.
  size_t Discarded() const { return discarded_; }

  // Bytes kept for a frame not yet whole (always below kAssemblyCapacity
  // between calls).
  size_t Pending() const { return end_ - head_; }

 private:
  enum class State : uint8_t { NoHeader, Waiting, Acceptable, Dropped };
  struct Start {
    uint16_t at;   // offset of the first preamble byte in buffer_
    uint16_t end;  // offset just past the frame once its length is taken, else 0
    State state;
  };

  // The kept bytes are buffer_[head_, end_); there is room for twice the
  // capacity so that moving them down to offset 0 is needed only once per
  // kAssemblyCapacity bytes read.
  static constexpr size_t kRoom = 2 * kAssemblyCapacity;
  // Starts are at least 9 bytes apart (a start byte is no preamble byte).
  static constexpr size_t kMaxStarts = kRoom / 9 + 1;

  size_t Process(const Sink& sink);
  // Finds the starts whose start byte arrived, reads the headers that
  // arrived and judges the frames that became whole.
  void Scan();
  void Judge(Start& start);
  // Orders the heap of waiting starts by frame end (high half), then index.
  uint32_t WaitingKey(size_t index) const;
  void DropFirstStart();
  void MoveDown();
  // Drops the kept bytes before `offset`.
  void DropUpTo(size_t offset);

  uint8_t buffer_[kRoom];
  size_t head_ = 0;
  size_t end_ = 0;
  size_t scanned_ = 0;  // bytes before this offset were searched for start bytes

  // The starts in buffer_, in order; those before first_ are gone.
  Start starts_[kMaxStarts];
  size_t first_ = 0;
  size_t last_ = 0;
  size_t noHeader_ = 0;     // first start whose header has not arrived yet
  size_t acceptable_ = 0;   // starts in [first_, last_) with state Acceptable
  // Waiting starts (gone ones included) as WaitingKey, a min-heap: the frames
  // that a read completes are at the top.
  uint32_t waiting_[kMaxStarts];
  size_t waitingCount_ = 0;

  size_t discarded_ = 0;
  size_t minFrame_;
};

}  // namespace q48
