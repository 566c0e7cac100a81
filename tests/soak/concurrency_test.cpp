// Eight threads calling all five exchange functions at once against the
// emulator: every call gives a code its export may give, and the exchanges
// follow one another on the wire - each request is answered before the next
// one arrives. Run under ThreadSanitizer by the linux-tsan preset.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/exchange.h"
#include "emulator.h"
#include "photo/portrait.h"

namespace q48::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

enum Export { kList, kReadCard, kIccid, kCardType, kWrite, kExports };

// What the library saw, in the order it saw it: each frame it wrote and
// each message it took, with the calling thread.
struct Event {
  int thread;
  bool sent;
  uint8_t group;
  uint8_t code;
  Clock::time_point at;
};

class WireLog {
 public:
  void Add(int thread, bool sent, const uint8_t* bytes, size_t size) {
    // A written frame carries group and code at 12 and 13; a taken message
    // starts with them.
    const size_t at = sent ? 12 : 0;
    Event event{thread, sent, size > at ? bytes[at] : uint8_t{0}, size > at + 1 ? bytes[at + 1] : uint8_t{0},
                Clock::now()};
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

TEST(Concurrency, EightThreadsCallingEveryExportTakeTurnsOnTheWire) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2;
  constexpr int kRefusals = 5;

  const q48emu::CardProfile card = q48emu::SampleCard();
  q48emu::Emulator emulator(card);
  std::string error;
  ASSERT_TRUE(emulator.OpenPty(&error)) << error;
  emulator.Start();
  // Answers in pieces with pauses, to widen any window for overlap; the
  // first answers refused, so that failures are mixed in.
  q48emu::Behaviour pieces;
  pieces.splitAt = {3, 12, 40, 700};
  pieces.pauseMs = 1;
  emulator.SetBehaviour(pieces);
  q48emu::Behaviour refuse = pieces;
  refuse.status = 1;
  for (int i = 0; i < kRefusals; ++i) emulator.PushBehaviour(refuse);

  const std::string portraitDir = (fs::temp_directory_path() / ("q48-concurrency-" + std::to_string(getpid()))).string();
  SystemPortraitConverter portrait(portraitDir);
  portrait.SetDecoderLibrary(Q48_TEST_DECODER);

  WireLog wire;
  std::vector<std::vector<std::pair<Export, int16_t>>> results(kThreads);
  std::vector<std::string> wrongData(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ExchangeOptions options;
      options.device = emulator.SlavePath();
      options.portrait = &portrait;
      options.trace = [&wire, t](bool sent, const uint8_t* bytes, size_t size) { wire.Add(t, sent, bytes, size); };
      std::vector<char> buffer(1000 + kPortraitTextBuffer, 0);
      std::vector<char> iccid(kIccidTextBuffer, 0);
      for (int i = 0; i < kRounds * kExports; ++i) {
        // Each thread starts with another export.
        const auto which = static_cast<Export>((t + i) % kExports);
        int16_t result = 0;
        switch (which) {
          case kList: result = ListReaderCard(options); break;
          case kReadCard:
            std::fill(buffer.begin(), buffer.end(), 0);
            result = ReadCard(options, buffer.data());
            if (result == 0 && std::string(buffer.data() + 500) != card.idCard.idNumber) wrongData[t] = "identity card";
            break;
          case kIccid:
            std::fill(iccid.begin(), iccid.end(), 0);
            result = ReadIccid(options, iccid.data());
            if (result == 0 && std::string(iccid.data()) != card.iccid) wrongData[t] = "ICCID";
            break;
          case kCardType: result = ReadCardType(options); break;
          case kWrite: result = WriteCard(options, ("thread " + std::to_string(t)).c_str(), "13800138000"); break;
          case kExports: break;
        }
        results[t].emplace_back(which, result);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  emulator.Stop();
  std::error_code ignored;
  fs::remove_all(portraitDir, ignored);

  // Every call: its export's success code, or (for exactly as many calls as
  // answers were refused) its refusal code.
  const std::map<Export, std::pair<int16_t, int16_t>> codes = {{kList, {1, -1}},    {kReadCard, {0, -6}},
                                                               {kIccid, {0, -2}},   {kCardType, {card.cardType, -2}},
                                                               {kWrite, {0, -2}}};
  int refused = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(wrongData[t], "") << "thread " << t;
    ASSERT_EQ(results[t].size(), static_cast<size_t>(kRounds * kExports));
    for (const auto& [which, result] : results[t]) {
      const auto& [success, refusal] = codes.at(which);
      EXPECT_TRUE(result == success || result == refusal) << "thread " << t << " export " << which << ": " << result;
      if (result != success) ++refused;
    }
  }
  EXPECT_EQ(refused, kRefusals);

  // The library's view: every frame written is followed by the taking of its
  // answer on the same thread before any other frame is written.
  const std::vector<Event> events = wire.events();
  std::vector<const Event*> sends;
  for (size_t i = 0; i < events.size(); ++i) {
    if (!events[i].sent) continue;
    sends.push_back(&events[i]);
    ASSERT_LT(i + 1, events.size()) << "request without an answer";
    const Event& answer = events[i + 1];
    EXPECT_FALSE(answer.sent) << "event " << i << ": another frame went out before the answer";
    EXPECT_EQ(answer.thread, events[i].thread) << "event " << i << ": another thread took the answer";
    EXPECT_EQ(std::make_pair(answer.group, answer.code), std::make_pair(events[i].group, events[i].code));
  }

  // The wire as the emulator saw it: the same requests in the same order,
  // each answered (its last byte written) before the next one was whole, and
  // its answer taken by the library before the next one arrived.
  const std::vector<q48emu::Request> requests = emulator.Requests();
  ASSERT_EQ(requests.size(), sends.size());
  ASSERT_GE(requests.size(), static_cast<size_t>(kThreads * kRounds * (kExports + 1) - kRefusals));
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(std::make_pair(requests[i].group, requests[i].code), std::make_pair(sends[i]->group, sends[i]->code));
    ASSERT_NE(requests[i].answeredAt, Clock::time_point{}) << "request " << i << " was not answered";
    EXPECT_LE(requests[i].receivedAt, requests[i].answeredAt);
    if (i + 1 == requests.size()) continue;
    EXPECT_LE(requests[i].answeredAt, requests[i + 1].receivedAt) << "request " << i + 1 << " overlapped";
    const Event& taken = *(sends[i] + 1);  // the event after a send is its answer (checked above)
    EXPECT_LT(taken.at, requests[i + 1].receivedAt) << "request " << i + 1 << " overlapped";
  }
}

}  // namespace
}  // namespace q48::test
