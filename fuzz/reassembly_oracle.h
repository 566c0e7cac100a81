// The reassembly rules in their plainest form: the whole buffer is rescanned
// after every read, which is slow (quadratic when fed byte by byte) but easy
// to check by eye. fuzz_reassembly_diff holds the
// library's FrameReassembler to exactly this behaviour. Test code only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/frame.h"
#include "protocol/reassembly.h"

namespace q48fuzz {

class OracleReassembler {
 public:
  explicit OracleReassembler(size_t minFrame) : minFrame_(minFrame) {}

  size_t Feed(const uint8_t* chunk, size_t size, const q48::FrameReassembler::Sink& sink) {
    size_t delivered = 0;
    while (size > 0) {
      const size_t take = std::min(size, q48::kAssemblyCapacity - size_);
      std::memcpy(buffer_ + size_, chunk, take);
      size_ += take;
      chunk += take;
      size -= take;
      delivered += Process(sink);
    }
    return delivered;
  }

  size_t Pending() const { return size_; }
  size_t Discarded() const { return discarded_; }

 private:
  size_t FindStart(size_t from) const {
    for (size_t at = from; at + q48::kPreambleSize < size_; ++at) {
      if (buffer_[at + q48::kPreambleSize] != q48::kStartByte) continue;
      bool preamble = true;
      for (size_t i = 0; i < q48::kPreambleSize && preamble; ++i) preamble = buffer_[at + i] == q48::kPreambleByte;
      if (preamble) return at;
    }
    return size_;
  }

  bool CompleteFrameAt(size_t at) const {
    if (at + q48::kHeaderSize > size_) return false;
    const size_t total = q48::DeclaredFrameSize(buffer_ + at);
    if (total > q48::kMaxFrameSize || at + total > size_) return false;
    return q48::AcceptFrame(buffer_ + at, total, minFrame_);
  }

  // Drops bytes as noise or damage.
  void Discard(size_t count) {
    count = std::min(count, size_);
    discarded_ += count;
    Remove(count);
  }

  void Remove(size_t count) {
    count = std::min(count, size_);
    std::memmove(buffer_, buffer_ + count, size_ - count);
    size_ -= count;
  }

  size_t Process(const q48::FrameReassembler::Sink& sink) {
    size_t delivered = 0;
    for (;;) {
      const size_t start = FindStart(0);
      if (start == size_) {
        size_t keep = 0;
        while (keep < size_ && keep < q48::kPreambleSize &&
               buffer_[size_ - 1 - keep] == q48::kPreambleByte)
          ++keep;
        Discard(size_ - keep);
        return delivered;
      }
      Discard(start);
      if (size_ < q48::kHeaderSize) return delivered;
      const size_t total = q48::DeclaredFrameSize(buffer_);
      if (total < minFrame_ || total > q48::kMaxFrameSize) {
        Discard(1);
        continue;
      }
      if (size_ >= total) {
        if (q48::AcceptFrame(buffer_, total, minFrame_)) {
          sink(q48::FrameView{buffer_, total});
          ++delivered;
          Remove(total);
        } else {
          Discard(1);
        }
        continue;
      }
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

  uint8_t buffer_[q48::kAssemblyCapacity];
  size_t size_ = 0;
  size_t discarded_ = 0;
  size_t minFrame_;
};

}  // namespace q48fuzz
