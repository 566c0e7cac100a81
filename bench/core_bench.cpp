// The portable core's costs: checksum, request building, reassembly of a
// read-card answer, parsing with record decoding, Base64.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "photo/base64.h"
#include "photo/portrait.h"
#include "protocol/frame.h"
#include "protocol/reassembly.h"
#include "protocol/response.h"

namespace {

using namespace q48;

// The read-card answer: status and a 1295-byte record (UTF-16 text, portrait).
std::vector<uint8_t> ReadCardAnswer() {
  std::vector<uint8_t> body(1296, 0);
  const char16_t name[] = u"陈思远            ";
  std::memcpy(body.data() + 1 + 14, name, 30);
  for (size_t i = 44; i < 270; i += 2) body[1 + i] = static_cast<uint8_t>('0' + i % 10);
  std::mt19937 rng(1);
  for (size_t i = 270; i < 1294; ++i) body[1 + i] = static_cast<uint8_t>(rng());
  std::vector<uint8_t> frame(body.size() + 17);
  frame.resize(EncodeFrame(10, 4, body.data(), body.size(), frame.data(), frame.size()));
  return frame;  // 1313 bytes
}

class NoPortrait : public PortraitConverter {
 public:
  int32_t ConvertPortrait(const uint8_t*, int32_t*, uint8_t* jpeg, size_t) override {
    jpeg[0] = 0;
    return 0;
  }
};

void BM_Crc16(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(Crc16Xmodem(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(1300)->Arg(10227);

void BM_BuildCommandFrame(benchmark::State& state) {
  for (auto _ : state) {
    CDataBufferDevice frame = BuildCommandFrame(3, 11, "hello card 19 bytes");
    benchmark::DoNotOptimize(frame.length);
  }
}
BENCHMARK(BM_BuildCommandFrame);

// Reassembly of one frame read in chunks of the given size. The cost should
// follow the bytes, not the reads:
//  - byte by byte against one read: ReadCardAnswer/1 over ReadCardAnswer/1313
//    (each byte is a Feed call, so a few times one read is expected; a
//    rescanning reassembler shows about 100 times);
//  - a 10239-byte frame against the 1313-byte answer: LargestFrame/N over
//    ReadCardAnswer/N for the same N, about 7.8 if linear, i.e. equal
//    bytes_per_second.
void Reassemble(benchmark::State& state, const std::vector<uint8_t>& frame) {
  const auto chunk = static_cast<size_t>(state.range(0));
  FrameReassembler reassembler;
  size_t messages = 0;
  const FrameReassembler::Sink sink = [&](const FrameView&) { ++messages; };
  for (auto _ : state) {
    for (size_t at = 0; at < frame.size(); at += chunk)
      reassembler.Feed(frame.data() + at, std::min(chunk, frame.size() - at), sink);
  }
  if (messages != static_cast<size_t>(state.iterations())) state.SkipWithError("lost a frame");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.size()));
}

void BM_ReassembleReadCardAnswer(benchmark::State& state) { Reassemble(state, ReadCardAnswer()); }
BENCHMARK(BM_ReassembleReadCardAnswer)->Arg(1313)->Arg(64)->Arg(8)->Arg(1);

void BM_ReassembleLargestFrame(benchmark::State& state) {
  std::vector<uint8_t> body(kMaxFrameSize - 17);
  std::mt19937 rng(2);
  for (auto& b : body) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> frame(kMaxFrameSize);
  frame.resize(EncodeFrame(10, 4, body.data(), body.size(), frame.data(), frame.size()));
  Reassemble(state, frame);
}
BENCHMARK(BM_ReassembleLargestFrame)->Arg(10239)->Arg(64)->Arg(1);

void BM_ParseReadCardAnswer(benchmark::State& state) {
  const auto frame = ReadCardAnswer();
  std::vector<uint8_t> area(kReceiveAreaSize, 0);
  std::memcpy(area.data(), frame.data() + 12, frame.size() - 15);
  ResultFields fields;
  NoPortrait portrait;
  for (auto _ : state) benchmark::DoNotOptimize(ParseResponse(area.data(), frame.size() - 15, fields, portrait));
}
BENCHMARK(BM_ParseReadCardAnswer);

void BM_Base64(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0xA5);
  std::vector<char> text(data.size() / 3 * 4 + 8);
  for (auto _ : state)
    benchmark::DoNotOptimize(Base64Encode(text.data(), data.data(), static_cast<int32_t>(data.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64)->Arg(2048)->Arg(38397);

}  // namespace
