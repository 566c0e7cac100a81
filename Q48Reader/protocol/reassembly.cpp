#include "reassembly.h"

#include <algorithm>
#include <cstring>

#include "frame.h"

namespace q48 {

namespace {
constexpr size_t kHeaderSize = 11;  // preamble, start byte, length field
}

size_t FrameReassembler::Feed(const uint8_t* chunk, size_t size, const Sink& sink) {
  size_t delivered = 0;
  while (size > 0) {
    // Process() always leaves room: a pending frame is at most 10239 bytes and
    // is delivered as soon as it is whole.
    const size_t take = std::min(size, kAssemblyCapacity - size_);
    std::memcpy(buffer_ + size_, chunk, take);
    size_ += take;
    chunk += take;
    size -= take;
    delivered += Process(sink);
  }
  return delivered;
}

size_t FrameReassembler::FindStart(size_t from) const {
  for (size_t at = from; at + kPreambleSize < size_; ++at) {
    if (buffer_[at + kPreambleSize] != kStartByte) continue;
    bool preamble = true;
    for (int i = 0; i < kPreambleSize && preamble; ++i) preamble = buffer_[at + i] == kPreambleByte;
    if (preamble) return at;
  }
  return size_;
}

bool FrameReassembler::CompleteFrameAt(size_t at) const {
  if (at + kHeaderSize > size_) return false;
  const size_t total = static_cast<size_t>(ReadLe16(buffer_ + at + 9)) + kFrameOverhead;
  if (total > kMaxFrameSize || at + total > size_) return false;
  return AcceptFrame(buffer_ + at, total, minFrame_);
}

void FrameReassembler::Discard(size_t count) {
  count = std::min(count, size_);
  std::memmove(buffer_, buffer_ + count, size_ - count);
  size_ -= count;
}

size_t FrameReassembler::Process(const Sink& sink) {
  size_t delivered = 0;
  for (;;) {
    const size_t start = FindStart(0);
    if (start == size_) {
      // No frame start yet: keep only a trailing run of 0x55 that may be the
      // beginning of the next preamble.
      size_t keep = 0;
      while (keep < size_ && keep < static_cast<size_t>(kPreambleSize) &&
             buffer_[size_ - 1 - keep] == kPreambleByte)
        ++keep;
      Discard(size_ - keep);
      return delivered;
    }
    Discard(start);
    if (size_ < kHeaderSize) return delivered;

    const size_t total = static_cast<size_t>(ReadLe16(buffer_ + 9)) + kFrameOverhead;
    if (total < minFrame_ || total > kMaxFrameSize) {
      Discard(1);  // impossible length: not a frame start
      continue;
    }
    if (size_ >= total) {
      if (AcceptFrame(buffer_, total, minFrame_)) {
        sink(buffer_ + kMessageOffset, total - 15);
        ++delivered;
        Discard(total);
      } else {
        Discard(1);  // damaged: look again just after this start
      }
      continue;
    }
    // Incomplete. If the length field was damaged the frame may never
    // complete; a whole good frame further on proves this start wrong.
    bool resynced = false;
    for (size_t next = FindStart(1); next < size_; next = FindStart(next + 1)) {
      if (CompleteFrameAt(next)) {
        Discard(next);
        resynced = true;
        break;
      }
    }
    if (!resynced) return delivered;
  }
}

}  // namespace q48
