// Stream reassembly fed with arbitrary chunks.
//
// Input: a flags byte, three chunk sizes (the stream is cut cyclically by
// them), then the stream. Flags: bit 0 "clean" stream, bit 1 request frames
// (17-byte minimum), bit 2 chunk sizes times 64 (chunks above the 10240-byte
// limit included).
//
// Any stream: the buffer never fills, and every message delivered is a real
// frame's message (it re-encodes to an acceptable frame, and the messages
// occur in the stream, in order). A clean stream - well-formed frames and noise, none holding
// a frame start inside - is delivered exactly, in order, however it is cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "check.h"
#include "protocol/frame.h"
#include "protocol/reassembly.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Position of the first frame start ("55" x 8, "04") at or after `from`,
// or `size`.
size_t FindFrameStart(const uint8_t* bytes, size_t size, size_t from) {
  for (size_t at = from; at + q48::kPreambleSize < size; ++at) {
    if (bytes[at + q48::kPreambleSize] != q48::kStartByte) continue;
    size_t run = 0;
    while (run < static_cast<size_t>(q48::kPreambleSize) && bytes[at + run] == q48::kPreambleByte) ++run;
    if (run == static_cast<size_t>(q48::kPreambleSize)) return at;
  }
  return size;
}

// Appends `segment` unless it would put a frame start anywhere but at its
// own first byte (`isFrame`), counting starts that straddle the seam.
bool AppendClean(Bytes* stream, const uint8_t* segment, size_t size, bool isFrame) {
  const size_t seam = stream->size();
  stream->insert(stream->end(), segment, segment + size);
  const size_t from = seam > static_cast<size_t>(q48::kPreambleSize) ? seam - q48::kPreambleSize : 0;
  for (size_t at = FindFrameStart(stream->data(), stream->size(), from); at < stream->size();
       at = FindFrameStart(stream->data(), stream->size(), at + 1)) {
    if (!(isFrame && at == seam)) {
      stream->resize(seam);
      return false;
    }
  }
  return true;
}

Bytes Encode(uint8_t group, uint8_t code, const uint8_t* body, size_t bodySize) {
  Bytes frame(bodySize + 17);
  frame.resize(q48::EncodeFrame(group, code, body, bodySize, frame.data(), frame.size()));
  return frame;
}

// Turns records into a clean stream and the messages it must give.
// Record: tag byte; odd tag: tag >> 1 noise bytes; even tag: LE16 body size,
// group, code, body.
void BuildCleanStream(const uint8_t* data, size_t size, size_t minFrame, Bytes* stream,
                      std::vector<Bytes>* expected) {
  size_t at = 0;
  while (at < size) {
    const uint8_t tag = data[at++];
    if (tag & 1) {
      const size_t count = std::min<size_t>(tag >> 1, size - at);
      AppendClean(stream, data + at, count, false);
      at += count;
      continue;
    }
    if (size - at < 4) break;
    size_t bodySize = q48::ReadLe16(data + at) % (q48::kMaxFrameSize - 17 + 1);
    const uint8_t group = data[at + 2], code = data[at + 3];
    at += 4;
    bodySize = std::min(bodySize, size - at);
    const Bytes frame = Encode(group, code, data + at, bodySize);
    at += bodySize;
    if (frame.size() < minFrame || !AppendClean(stream, frame.data(), frame.size(), true)) continue;
    expected->emplace_back(frame.begin() + q48::kMessageOffset, frame.end() - 3);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t flags = data[0];
  const bool clean = flags & 1;
  const size_t minFrame = (flags & 2) ? q48::kMinRequestFrame : q48::kMinResponseFrame;
  size_t chunkSizes[3];
  for (int i = 0; i < 3; ++i) chunkSizes[i] = (data[1 + i] + 1u) * ((flags & 4) ? 64u : 1u);
  data += 4;
  size -= 4;

  Bytes stream;
  std::vector<Bytes> expected;
  if (clean)
    BuildCleanStream(data, size, minFrame, &stream, &expected);
  else
    stream.assign(data, data + size);

  // The reassembler is 44 KB: on the heap, as the port keeps it.
  auto reassembler = std::make_unique<q48::FrameReassembler>(minFrame);
  std::vector<Bytes> delivered;
  const q48::FrameReassembler::Sink sink = [&](const uint8_t* message, size_t length) {
    FUZZ_CHECK(length + 15 >= minFrame && length + 15 <= q48::kMaxFrameSize);
    delivered.emplace_back(message, message + length);
  };

  // Each chunk is fed from a copy of exactly its size, so that a read past it
  // is caught: one allocation per chunk size, not per chunk.
  std::unique_ptr<uint8_t[]> copies[3], last;
  for (int i = 0; i < 3; ++i) copies[i].reset(new uint8_t[chunkSizes[i]]);
  size_t at = 0;
  for (int turn = 0; at < stream.size(); ++turn) {
    const size_t take = std::min(chunkSizes[turn % 3], stream.size() - at);
    if (take < chunkSizes[turn % 3]) last.reset(new uint8_t[take]);
    uint8_t* chunk = take < chunkSizes[turn % 3] ? last.get() : copies[turn % 3].get();
    std::memcpy(chunk, stream.data() + at, take);
    const size_t before = delivered.size();
    const size_t count = reassembler->Feed(chunk, take, sink);
    FUZZ_CHECK(count == delivered.size() - before);
    FUZZ_CHECK(reassembler->Pending() < q48::kAssemblyCapacity);
    at += take;
  }

  if (clean) {
    FUZZ_CHECK(delivered == expected);
    return 0;
  }
  auto from = stream.cbegin();
  for (const Bytes& message : delivered) {
    const Bytes frame = Encode(message[0], message[1], message.data() + 2, message.size() - 2);
    FUZZ_CHECK(!frame.empty() && q48::AcceptFrame(frame.data(), frame.size(), minFrame));
    // Nothing is made up: the messages came off the line as they are, in order.
    from = std::search(from, stream.cend(), std::boyer_moore_horspool_searcher(message.begin(), message.end()));
    FUZZ_CHECK(from != stream.cend());
    from += static_cast<std::ptrdiff_t>(message.size());
  }
  return 0;
}
