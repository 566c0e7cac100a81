#include "reassembly.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace q48 {

void FrameReassembler::Reset() {
  head_ = end_ = scanned_ = 0;
  first_ = last_ = noHeader_ = 0;
  acceptable_ = 0;
  waitingCount_ = 0;
}

size_t FrameReassembler::Feed(const uint8_t* chunk, size_t size, const Sink& sink) {
  size_t delivered = 0;
  while (size > 0) {
    // Process() always leaves room: a pending frame is at most 10239 bytes and
    // is delivered as soon as it is whole.
    const size_t take = std::min(size, kAssemblyCapacity - Pending());
    if (end_ + take > kRoom) MoveDown();
    std::memcpy(buffer_ + end_, chunk, take);
    end_ += take;
    chunk += take;
    size -= take;
    delivered += Process(sink);
  }
  return delivered;
}

void FrameReassembler::Scan() {
  // Each start is found once, when its start byte arrives.
  for (size_t from = std::max(scanned_, head_ + kPreambleSize); from < end_;) {
    const auto* hit = static_cast<const uint8_t*>(std::memchr(buffer_ + from, kStartByte, end_ - from));
    if (hit == nullptr) break;
    const auto at = static_cast<size_t>(hit - buffer_) - kPreambleSize;
    if (std::all_of(hit - kPreambleSize, hit, [](uint8_t b) { return b == kPreambleByte; }))
      starts_[last_++] = Start{static_cast<uint16_t>(at), 0, State::NoHeader};
    from = at + kPreambleSize + 1;
  }
  scanned_ = end_;

  for (noHeader_ = std::max(noHeader_, first_); noHeader_ < last_ && starts_[noHeader_].at + kHeaderSize <= end_;
       ++noHeader_) {
    Start& start = starts_[noHeader_];
    const size_t total = DeclaredFrameSize(buffer_ + start.at);
    if (total < minFrame_ || total > kMaxFrameSize) {
      start.state = State::Dropped;  // impossible length: no frame starts here
      continue;
    }
    start.end = static_cast<uint16_t>(start.at + total);
    if (start.end <= end_) {
      Judge(start);  // whole already, as usual when a frame comes in one read
      continue;
    }
    start.state = State::Waiting;
    waiting_[waitingCount_++] = WaitingKey(noHeader_);
    std::push_heap(waiting_, waiting_ + waitingCount_, std::greater<uint32_t>());
  }

  while (waitingCount_ > 0 && (waiting_[0] >> 16) <= end_) {
    const size_t index = waiting_[0] & 0xFFFF;
    std::pop_heap(waiting_, waiting_ + waitingCount_--, std::greater<uint32_t>());
    if (index >= first_) Judge(starts_[index]);  // else dropped meanwhile
  }
}

uint32_t FrameReassembler::WaitingKey(size_t index) const {
  return static_cast<uint32_t>(starts_[index].end) << 16 | static_cast<uint32_t>(index);
}

void FrameReassembler::Judge(Start& start) {
  // The end byte first: it turns most false starts away without a checksum
  // pass over up to 10 KB.
  const bool acceptable = buffer_[start.end - 1] == kEndByte &&
                          AcceptFrame(buffer_ + start.at, static_cast<size_t>(start.end - start.at), minFrame_);
  start.state = acceptable ? State::Acceptable : State::Dropped;
  if (acceptable) ++acceptable_;
}

void FrameReassembler::DropFirstStart() {
  if (starts_[first_].state == State::Acceptable) --acceptable_;
  ++first_;
}

void FrameReassembler::DropUpTo(size_t offset) {
  if (offset <= head_) return;
  discarded_ += offset - head_;
  head_ = offset;
}

void FrameReassembler::MoveDown() {
  const size_t shift = head_;
  std::memmove(buffer_, buffer_ + head_, end_ - head_);
  head_ = 0;
  end_ -= shift;
  scanned_ -= shift;

  const size_t count = last_ - first_;
  std::memmove(starts_, starts_ + first_, count * sizeof(Start));
  noHeader_ = std::max(noHeader_, first_) - first_;
  first_ = 0;
  last_ = count;
  waitingCount_ = 0;
  for (size_t i = 0; i < count; ++i) {
    Start& start = starts_[i];
    start.at = static_cast<uint16_t>(start.at - shift);
    if (start.end != 0) start.end = static_cast<uint16_t>(start.end - shift);  // 0: no length taken
    if (start.state == State::Waiting) waiting_[waitingCount_++] = WaitingKey(i);
  }
  std::make_heap(waiting_, waiting_ + waitingCount_, std::greater<uint32_t>());
}

size_t FrameReassembler::Process(const Sink& sink) {
  Scan();
  size_t delivered = 0;
  while (first_ < last_) {
    const Start& start = starts_[first_];
    DropUpTo(start.at);  // whatever came before the first start is noise
    if (start.state == State::Acceptable) {
      const size_t frameEnd = start.end;
      sink(FrameView{buffer_ + head_, frameEnd - head_});
      ++delivered;
      head_ = frameEnd;
      while (first_ < last_ && starts_[first_].at < frameEnd) DropFirstStart();
    } else if (start.state == State::Dropped) {
      DropUpTo(start.at + 1u);  // look again just after this start
      DropFirstStart();
    } else {
      // Not whole yet. If the length field was damaged the frame may never
      // complete; a whole good frame further on proves this start wrong.
      if (acceptable_ == 0) return delivered;
      while (starts_[first_].state != State::Acceptable) DropFirstStart();
    }
  }

  // No frame start: keep only a trailing run of 0x55 that may be the
  // beginning of the next preamble, moved to the front while it is short.
  size_t keep = 0;
  while (keep < Pending() && keep < kPreambleSize && buffer_[end_ - 1 - keep] == kPreambleByte) ++keep;
  DropUpTo(end_ - keep);
  std::memmove(buffer_, buffer_ + end_ - keep, keep);
  Reset();
  end_ = scanned_ = keep;
  return delivered;
}

}  // namespace q48
