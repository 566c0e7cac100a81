#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "protocol/reassembly.h"
#include "test_bytes.h"

namespace q48 {
namespace {

using Message = std::vector<uint8_t>;

struct Collector {
  std::vector<Message> messages;
  size_t frameBytes = 0;
  FrameReassembler::Sink sink() {
    return [this](const FrameView& frame) {
      frameBytes += frame.size;
      messages.emplace_back(frame.message(), frame.message() + frame.messageSize());
    };
  }
};

Message MessageOf(const std::vector<uint8_t>& frame) {
  return Message(frame.begin() + 12, frame.end() - 3);
}

std::vector<uint8_t> RandomFrame(std::mt19937& rng, size_t maxBody = 1400) {
  std::vector<uint8_t> body(1 + rng() % maxBody);
  for (auto& b : body) b = static_cast<uint8_t>(rng());
  if (rng() % 4 == 0)  // bodies full of preamble bytes must not confuse it
    for (size_t i = 0; i < body.size(); i += 2) body[i] = 0x55;
  return test::ResponseFrame(static_cast<uint8_t>(rng() % 11), static_cast<uint8_t>(rng()), body);
}

// Feeds `stream` cut at random points into 1..maxCuts chunks.
// `discarded`, when given, receives the bytes dropped as noise or damage.
std::vector<Message> FeedSplit(const std::vector<uint8_t>& stream, std::mt19937& rng, size_t maxCuts,
                               size_t* discarded = nullptr) {
  FrameReassembler reassembler;
  Collector collector;
  const size_t cuts = rng() % (maxCuts + 1);
  std::vector<size_t> points{0, stream.size()};
  for (size_t i = 0; i < cuts && !stream.empty(); ++i) points.push_back(rng() % stream.size());
  std::sort(points.begin(), points.end());
  for (size_t i = 0; i + 1 < points.size(); ++i)
    reassembler.Feed(stream.data() + points[i], points[i + 1] - points[i], collector.sink());
  if (discarded != nullptr) *discarded = reassembler.Discarded();
  return collector.messages;
}

TEST(FrameReassembler, WholeFrameInOneRead) {
  std::mt19937 rng(1);
  const auto frame = RandomFrame(rng);
  FrameReassembler reassembler;
  Collector collector;
  EXPECT_EQ(reassembler.Feed(frame.data(), frame.size(), collector.sink()), 1u);
  ASSERT_EQ(collector.messages.size(), 1u);
  EXPECT_EQ(collector.messages[0], MessageOf(frame));
  EXPECT_EQ(reassembler.Pending(), 0u);
}

TEST(FrameReassembler, MinimalFrameGivesThreeByteMessageAndSeventeenIsDropped) {
  const auto minimal = test::ResponseFrame(0, 1, {0});
  const auto tooShort = test::ResponseFrame(0, 1, {});
  FrameReassembler reassembler;
  Collector collector;
  reassembler.Feed(tooShort.data(), tooShort.size(), collector.sink());
  reassembler.Feed(minimal.data(), minimal.size(), collector.sink());
  ASSERT_EQ(collector.messages.size(), 1u);
  EXPECT_EQ(collector.messages[0], (Message{0, 1, 0}));
}

TEST(FrameReassemblerProperty, FrameSplitAnywhereIsDeliveredExactlyOnce) {
  std::mt19937 rng(2);
  for (int round = 0; round < 2000; ++round) {
    const auto frame = RandomFrame(rng);
    const auto messages = FeedSplit(frame, rng, round % 50 == 0 ? frame.size() : 12);
    ASSERT_EQ(messages.size(), 1u) << "round " << round;
    ASSERT_EQ(messages[0], MessageOf(frame));
  }
}

TEST(FrameReassemblerProperty, ByteByByteDelivery) {
  std::mt19937 rng(3);
  const auto frame = RandomFrame(rng, 1295);
  FrameReassembler reassembler;
  Collector collector;
  for (uint8_t b : frame) reassembler.Feed(&b, 1, collector.sink());
  ASSERT_EQ(collector.messages.size(), 1u);
  EXPECT_EQ(collector.messages[0], MessageOf(frame));
}

TEST(FrameReassemblerProperty, SeveralFramesInOneReadAllArriveInOrder) {
  std::mt19937 rng(4);
  for (int round = 0; round < 500; ++round) {
    std::vector<uint8_t> stream;
    std::vector<Message> expected;
    const int count = 2 + static_cast<int>(rng() % 4);
    for (int i = 0; i < count; ++i) {
      const auto frame = RandomFrame(rng, 600);
      stream.insert(stream.end(), frame.begin(), frame.end());
      expected.push_back(MessageOf(frame));
    }
    ASSERT_EQ(FeedSplit(stream, rng, round % 2 ? 0 : 6), expected) << "round " << round;
  }
}

TEST(FrameReassemblerProperty, NoiseBeforeAndBetweenFramesIsSkipped) {
  std::mt19937 rng(5);
  for (int round = 0; round < 1000; ++round) {
    std::vector<uint8_t> stream;
    std::vector<Message> expected;
    size_t noiseBytes = 0;
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> noise(rng() % 40);
      for (auto& b : noise) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0x55 : rng());
      if (rng() % 3 == 0) {  // the tail of an earlier answer
        const auto old = RandomFrame(rng, 100);
        // cut past its start byte, so the tail is no frame of its own
        noise.insert(noise.end(), old.begin() + static_cast<long>(9 + rng() % (old.size() - 9)), old.end());
      }
      stream.insert(stream.end(), noise.begin(), noise.end());
      noiseBytes += noise.size();
      const auto frame = RandomFrame(rng, 300);
      stream.insert(stream.end(), frame.begin(), frame.end());
      expected.push_back(MessageOf(frame));
    }
    size_t discarded = 0;
    const auto got = FeedSplit(stream, rng, 10, &discarded);
    ASSERT_EQ(got, expected) << "round " << round;
    ASSERT_EQ(discarded, noiseBytes) << "round " << round;  // exactly the noise, however it was cut
  }
}

enum class Damage { Crc, StartByte, EndByte, LengthUp, LengthDown, LengthHuge, Truncated };

std::vector<uint8_t> Damaged(std::vector<uint8_t> frame, Damage damage, std::mt19937& rng) {
  switch (damage) {
    case Damage::Crc: frame[frame.size() - 3 + rng() % 2] ^= static_cast<uint8_t>(1 + rng() % 255); break;
    case Damage::StartByte: frame[8] = 0x05; break;
    case Damage::EndByte: frame.back() = 0x16; break;
    case Damage::LengthUp: frame[9] = static_cast<uint8_t>(frame[9] + 1 + rng() % 40); break;
    case Damage::LengthDown: frame[9] = static_cast<uint8_t>(frame[9] - 1); break;
    case Damage::LengthHuge: frame[10] = 0x27; break;  // ~10000 bytes, never completes
    case Damage::Truncated: frame.resize(frame.size() - 1 - rng() % 10); break;
  }
  return frame;
}

TEST(FrameReassemblerProperty, DamagedFrameIsDroppedAndNextGoodFrameArrives) {
  std::mt19937 rng(6);
  for (int round = 0; round < 3000; ++round) {
    const auto damage = static_cast<Damage>(round % 7);
    auto bad = Damaged(RandomFrame(rng, 200), damage, rng);
    const auto good = RandomFrame(rng, 200);
    std::vector<uint8_t> stream = bad;
    stream.insert(stream.end(), good.begin(), good.end());
    const auto messages = FeedSplit(stream, rng, 8);
    ASSERT_EQ(messages.size(), 1u) << "round " << round << " damage " << static_cast<int>(damage);
    ASSERT_EQ(messages[0], MessageOf(good));
  }
}

// One reassembler over a long stream, every read ending inside a frame, so
// that frames, damaged ones and pending starts keep moving through its room.
TEST(FrameReassemblerProperty, LongStreamCutInsideFramesLosesNothing) {
  std::mt19937 rng(9);
  std::vector<uint8_t> stream;
  std::vector<Message> expected;
  for (int i = 0; i < 120; ++i) {
    const auto frame = RandomFrame(rng, 1400);
    if (i % 5 == 4) {
      const auto bad = Damaged(frame, static_cast<Damage>(rng() % 7), rng);
      stream.insert(stream.end(), bad.begin(), bad.end());
      continue;
    }
    stream.insert(stream.end(), frame.begin(), frame.end());
    expected.push_back(MessageOf(frame));
  }
  for (const size_t chunk : {997u, 4093u, 9973u}) {
    FrameReassembler reassembler;
    Collector collector;
    for (size_t at = 0; at < stream.size(); at += chunk)
      reassembler.Feed(stream.data() + at, std::min(chunk, stream.size() - at), collector.sink());
    EXPECT_EQ(collector.messages, expected) << "chunk " << chunk;
    // Every byte is accounted for: in a frame, dropped, or still kept.
    EXPECT_EQ(collector.frameBytes + reassembler.Discarded() + reassembler.Pending(), stream.size());
  }
}

TEST(FrameReassembler, ResetForgetsAPartFrame) {
  std::mt19937 rng(10);
  const auto first = RandomFrame(rng), second = RandomFrame(rng);
  FrameReassembler reassembler;
  Collector collector;
  reassembler.Feed(first.data(), first.size() / 2, collector.sink());
  reassembler.Reset();
  EXPECT_EQ(reassembler.Pending(), 0u);
  reassembler.Feed(first.data() + first.size() / 2, first.size() - first.size() / 2, collector.sink());
  reassembler.Feed(second.data(), second.size(), collector.sink());
  ASSERT_EQ(collector.messages.size(), 1u);
  EXPECT_EQ(collector.messages[0], MessageOf(second));
}

TEST(FrameReassembler, StaysBoundedOnEndlessPreambleAndGarbage) {
  FrameReassembler reassembler;
  Collector collector;
  std::vector<uint8_t> ones(kMaxChunkSize, 0x55);
  for (int i = 0; i < 20; ++i) reassembler.Feed(ones.data(), ones.size(), collector.sink());
  EXPECT_LE(reassembler.Pending(), 8u);

  std::mt19937 rng(8);
  std::vector<uint8_t> garbage(kMaxChunkSize);
  for (int i = 0; i < 50; ++i) {
    for (auto& b : garbage) b = static_cast<uint8_t>(rng() % 2 ? 0x55 : rng());
    reassembler.Feed(garbage.data(), garbage.size(), collector.sink());
    ASSERT_LT(reassembler.Pending(), kAssemblyCapacity);
  }
  // A good frame after all that still comes through.
  const auto frame = RandomFrame(rng);
  std::vector<uint8_t> tail(20000, 0x00);  // flush anything that claims a long length
  reassembler.Feed(tail.data(), tail.size(), collector.sink());
  collector.messages.clear();
  reassembler.Feed(frame.data(), frame.size(), collector.sink());
  ASSERT_EQ(collector.messages.size(), 1u);
  EXPECT_EQ(collector.messages[0], MessageOf(frame));
}

TEST(FrameReassembler, LargestFrameFitsAndLargerIsRefused) {
  std::vector<uint8_t> body(kMaxFrameSize - kMinRequestFrame, 0x42);
  const auto largest = test::ResponseFrame(10, 4, body);
  ASSERT_EQ(largest.size(), kMaxFrameSize);
  FrameReassembler reassembler;
  Collector collector;
  reassembler.Feed(largest.data(), largest.size(), collector.sink());
  ASSERT_EQ(collector.messages.size(), 1u);
  EXPECT_EQ(collector.messages[0].size(), kMaxFrameSize - kMessageOverhead);

  body.push_back(0x42);
  const auto tooLarge = test::ResponseFrame(10, 4, body);
  collector.messages.clear();
  reassembler.Feed(tooLarge.data(), tooLarge.size(), collector.sink());
  EXPECT_TRUE(collector.messages.empty());
}

}  // namespace
}  // namespace q48
