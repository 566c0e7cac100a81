// Stream reassembly fed with arbitrary chunks.
//
// Input: a flags byte, three chunk sizes (the stream is cut cyclically by
// them), then the stream. Flags: bit 0 "clean" stream, bit 1 request frames
// (17-byte minimum), bit 2 chunk sizes times 64 (chunks above the 10240-byte
// limit included).
//
// Any stream: the buffer never fills, the messages delivered are those of
// acceptable frames in the stream, in stream order, and every byte fed is
// delivered in a frame, counted as discarded or still pending. A clean stream -
// well-formed frames and noise, none holding a frame start inside - is
// delivered exactly, in order, however it is cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "check.h"
#include "protocol/frame.h"
#include "protocol/reassembly.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Messages in order, kept flat: ASan makes every allocation costly.
struct Messages {
  Bytes bytes;
  std::vector<size_t> ends;
  FUZZ_HARNESS void Add(const uint8_t* message, size_t length) {
    bytes.insert(bytes.end(), message, message + length);
    ends.push_back(bytes.size());
  }
  bool operator==(const Messages& other) const { return bytes == other.bytes && ends == other.ends; }
  void Clear() {
    bytes.clear();
    ends.clear();
  }
};

// Position of the first frame start ("55" x 8, "04") at or after `from`,
// or `size`.
FUZZ_HARNESS size_t FindFrameStart(const uint8_t* bytes, size_t size, size_t from) {
  for (size_t at = from + q48::kPreambleSize; at < size; ++at) {
    const auto* hit = static_cast<const uint8_t*>(std::memchr(bytes + at, q48::kStartByte, size - at));
    if (hit == nullptr) break;
    at = static_cast<size_t>(hit - bytes);
    if (std::all_of(hit - q48::kPreambleSize, hit, [](uint8_t b) { return b == q48::kPreambleByte; }))
      return at - q48::kPreambleSize;
  }
  return size;
}

// Keeps what was appended after `seam` unless it put a frame start anywhere
// but at the seam itself (`isFrame`), counting starts that straddle the seam.
FUZZ_HARNESS bool KeepClean(Bytes* stream, size_t seam, bool isFrame) {
  const size_t from = seam > q48::kPreambleSize ? seam - q48::kPreambleSize : 0;
  for (size_t at = FindFrameStart(stream->data(), stream->size(), from); at < stream->size();
       at = FindFrameStart(stream->data(), stream->size(), at + 1)) {
    if (!(isFrame && at == seam)) {
      stream->resize(seam);
      return false;
    }
  }
  return true;
}

// Turns records into a clean stream and the messages it must give.
// Record: tag byte; odd tag: tag >> 1 noise bytes; even tag: LE16 body size,
// group, code, body.
FUZZ_HARNESS void BuildCleanStream(const uint8_t* data, size_t size, size_t minFrame, Bytes* stream,
                                   Messages* expected) {
  size_t at = 0;
  while (at < size) {
    const uint8_t tag = data[at++];
    const size_t seam = stream->size();
    if (tag & 1) {
      const size_t count = std::min<size_t>(tag >> 1, size - at);
      stream->insert(stream->end(), data + at, data + at + count);
      KeepClean(stream, seam, false);
      at += count;
      continue;
    }
    if (size - at < 4) break;
    size_t bodySize = q48::ReadLe16(data + at) % (q48::kMaxFrameSize - q48::kMinRequestFrame + 1);
    const uint8_t group = data[at + 2], code = data[at + 3];
    at += 4;
    bodySize = std::min(bodySize, size - at);
    const size_t frameSize = bodySize + q48::kMinRequestFrame;
    stream->resize(seam + frameSize);
    q48::EncodeFrame(group, code, data + at, bodySize, stream->data() + seam, frameSize);
    at += bodySize;
    if (frameSize < minFrame) {
      stream->resize(seam);
      continue;
    }
    if (KeepClean(stream, seam, true)) expected->Add(stream->data() + seam + q48::kMessageOffset, bodySize + 2);
  }
}

// Whether an acceptable frame holding `message` starts at `at`.
FUZZ_HARNESS bool FrameWithMessageAt(const Bytes& stream, size_t at, const uint8_t* message, size_t length,
                                     size_t minFrame) {
  const size_t total = length + q48::kMessageOverhead;
  return at + total <= stream.size() && q48::DeclaredFrameSize(stream.data() + at) == total &&
         std::memcmp(stream.data() + at + q48::kMessageOffset, message, length) == 0 &&
         q48::AcceptFrame(stream.data() + at, total, minFrame);
}

}  // namespace

extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t flags = data[0];
  const bool clean = flags & 1;
  const size_t minFrame = (flags & 2) ? q48::kMinRequestFrame : q48::kMinResponseFrame;
  size_t chunkSizes[3];
  for (int i = 0; i < 3; ++i) chunkSizes[i] = (data[1 + i] + 1u) * ((flags & 4) ? 64u : 1u);
  data += 4;
  size -= 4;

  // Under ASan a fresh heap block means fresh pages (freed ones wait in
  // quarantine): what can be is kept from input to input.
  static Bytes stream;
  static Messages expected, delivered;
  stream.clear();
  expected.Clear();
  delivered.Clear();
  if (clean) {
    stream.reserve(4 * size);  // a record of 5 bytes makes a frame of 17
    BuildCleanStream(data, size, minFrame, &stream, &expected);
  } else {
    stream.assign(data, data + size);
  }

  // Made afresh for each input, in static storage.
  alignas(q48::FrameReassembler) static unsigned char storage[sizeof(q48::FrameReassembler)];
  auto* reassembler = new (storage) q48::FrameReassembler(minFrame);
  size_t frameBytes = 0;
  const q48::FrameReassembler::Sink sink = [&](const q48::FrameView& frame) {
    FUZZ_CHECK(frame.size >= minFrame && frame.size <= q48::kMaxFrameSize);
    FUZZ_CHECK(q48::AcceptFrame(frame.bytes, frame.size, minFrame));
    frameBytes += frame.size;
    delivered.Add(frame.message(), frame.messageSize());
  };

  // Each chunk is fed from a copy of exactly its size, so that a read past it
  // is caught: one block per chunk size, kept while the size stays.
  static std::unique_ptr<uint8_t[]> copies[3];
  static size_t copySizes[3];
  std::unique_ptr<uint8_t[]> last;
  for (int i = 0; i < 3; ++i) {
    if (copySizes[i] != chunkSizes[i]) copies[i].reset(new uint8_t[chunkSizes[i]]);
    copySizes[i] = chunkSizes[i];
  }
  size_t at = 0;
  for (int turn = 0; at < stream.size(); ++turn) {
    const size_t take = std::min(chunkSizes[turn % 3], stream.size() - at);
    if (take < chunkSizes[turn % 3]) last.reset(new uint8_t[take]);
    uint8_t* chunk = take < chunkSizes[turn % 3] ? last.get() : copies[turn % 3].get();
    std::memcpy(chunk, stream.data() + at, take);
    const size_t before = delivered.ends.size();
    const size_t count = reassembler->Feed(chunk, take, sink);
    FUZZ_CHECK(count == delivered.ends.size() - before);
    FUZZ_CHECK(reassembler->Pending() < q48::kAssemblyCapacity);
    at += take;
    FUZZ_CHECK(frameBytes + reassembler->Discarded() + reassembler->Pending() == at);
  }

  if (clean) {
    FUZZ_CHECK(delivered == expected);
    return 0;
  }
  // Nothing is made up: each message came off the line, in order, inside an
  // acceptable frame.
  size_t from = 0;
  for (size_t i = 0, begin = 0; i < delivered.ends.size(); begin = delivered.ends[i++]) {
    const uint8_t* message = delivered.bytes.data() + begin;
    const size_t length = delivered.ends[i] - begin;
    size_t frame = FindFrameStart(stream.data(), stream.size(), from);
    while (frame < stream.size() && !FrameWithMessageAt(stream, frame, message, length, minFrame))
      frame = FindFrameStart(stream.data(), stream.size(), frame + 1);
    FUZZ_CHECK(frame < stream.size());
    from = frame + length + q48::kMessageOverhead;
  }
  return 0;
}
