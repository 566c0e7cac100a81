// The library's reassembler against the oracle (the same rules, rescanning
// the whole buffer after every read), on the same stream cut the same way:
// after every read both must have handed out the same frames, and dropped
// and kept the same number of bytes.
//
// Input: a flags byte, three chunk sizes (as fuzz_reassembly), then the
// stream. Flags: bit 0 the stream is built from records, bit 1 request frames
// (17-byte minimum), bit 2 chunk sizes times 64, bits 4-7 how many more
// times the stream is repeated (up to 32 KB in all: long streams keep the
// reassembler's bytes moving through its whole room). Records: odd tag: tag >> 1
// noise bytes; even tag: LE16 body size, group, code, two damage bytes, body,
// made into a frame and damaged as (tag >> 1) % 8 says: 1 length field
// replaced, 2 cut short, 3 CRC changed, 4 end byte changed, 5 only the
// header (a start claiming a length), else intact. The record layout of
// fuzz_reassembly's clean streams is close enough for its seeds to be useful.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "check.h"
#include "protocol/frame.h"
#include "protocol/reassembly.h"
#include "reassembly_oracle.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes BuildRecords(const uint8_t* data, size_t size) {
  Bytes stream;
  size_t at = 0;
  while (at < size) {
    const uint8_t tag = data[at++];
    if (tag & 1) {
      const size_t count = std::min<size_t>(tag >> 1, size - at);
      stream.insert(stream.end(), data + at, data + at + count);
      at += count;
      continue;
    }
    if (size - at < 6) break;
    size_t bodySize = q48::ReadLe16(data + at) % (q48::kMaxFrameSize - 17 + 1);
    const uint8_t group = data[at + 2], code = data[at + 3], d0 = data[at + 4], d1 = data[at + 5];
    at += 6;
    bodySize = std::min(bodySize, size - at);
    Bytes frame(bodySize + 17);
    frame.resize(q48::EncodeFrame(group, code, data + at, bodySize, frame.data(), frame.size()));
    at += bodySize;
    switch ((tag >> 1) % 8) {
      case 1: frame[9] = d0, frame[10] = d1; break;
      case 2: frame.resize(frame.size() - 1 - d0 % (frame.size() - 1)); break;
      case 3: frame[frame.size() - 3 + d1 % 2] ^= static_cast<uint8_t>(d0 | 1); break;
      case 4: frame.back() = static_cast<uint8_t>(q48::kEndByte + 1 + d0 % 255); break;
      case 5: frame.resize(11), frame[9] = d0, frame[10] = d1; break;
      default: break;
    }
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t flags = data[0];
  const size_t minFrame = (flags & 2) ? q48::kMinRequestFrame : q48::kMinResponseFrame;
  size_t chunkSizes[3];
  for (int i = 0; i < 3; ++i) chunkSizes[i] = (data[1 + i] + 1u) * ((flags & 4) ? 64u : 1u);
  data += 4;
  size -= 4;
  const Bytes once = (flags & 1) ? BuildRecords(data, size) : Bytes(data, data + size);
  Bytes stream;
  for (int i = 0; i <= flags >> 4 && stream.size() < 32768; ++i) stream.insert(stream.end(), once.begin(), once.end());
  stream.resize(std::min<size_t>(stream.size(), 32768));

  auto subject = std::make_unique<q48::FrameReassembler>(minFrame);
  auto oracle = std::make_unique<q48fuzz::OracleReassembler>(minFrame);
  std::vector<Bytes> got, want;
  const q48::FrameReassembler::Sink toGot = [&](const q48::FrameView& f) { got.emplace_back(f.bytes, f.bytes + f.size); };
  const q48::FrameReassembler::Sink toWant = [&](const q48::FrameView& f) { want.emplace_back(f.bytes, f.bytes + f.size); };

  size_t at = 0;
  for (int turn = 0; at < stream.size(); ++turn) {
    const size_t take = std::min(chunkSizes[turn % 3], stream.size() - at);
    const Bytes chunk(stream.begin() + static_cast<std::ptrdiff_t>(at),
                      stream.begin() + static_cast<std::ptrdiff_t>(at + take));
    FUZZ_CHECK(subject->Feed(chunk.data(), chunk.size(), toGot) == oracle->Feed(chunk.data(), chunk.size(), toWant));
    FUZZ_CHECK(got == want);
    FUZZ_CHECK(subject->Pending() == oracle->Pending());
    FUZZ_CHECK(subject->Discarded() == oracle->Discarded());
    at += take;
  }
  return 0;
}
