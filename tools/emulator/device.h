// The reader's protocol side: requests in, planned answers out, from a card
// profile and the behaviours asked for, with a log of what happened.
//
// Threads: Feed and the other pump-side members (private, for the Pump) run
// on the pump's thread; every public member is safe from any thread. The log
// is called without the device's lock held, so it may call back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "answer_plan.h"
#include "card_record.h"
#include "protocol/reassembly.h"
#include "protocol/requests.h"

namespace q48emu {

// The status of a read-card answer while no card lies on the reader.
constexpr uint8_t kNoCardStatus = 1;

// One request as the emulator received it.
struct Request {
  uint8_t group = 0;
  uint8_t code = 0;
  std::vector<uint8_t> body;   // payload encoding as sent
  std::vector<uint8_t> frame;  // the whole frame, byte for byte
  // When the request was whole, and when the last byte of its answer went
  // to the line (left at the epoch without an answer): shows whether
  // exchanges overlapped on the wire.
  std::chrono::steady_clock::time_point receivedAt{};
  std::chrono::steady_clock::time_point answeredAt{};
};

namespace detail {

class Pump;

class Device {
 public:
  using LogFn = void (*)(const std::string& line, void* context);

  explicit Device(CardProfile profile);

  // Applies to every following answer until changed.
  void SetBehaviour(const Behaviour& behaviour);
  // Applies to the next answer only, then the standing behaviour again.
  // Pushed behaviours queue up: each one serves one answer, in order.
  void PushBehaviour(const Behaviour& behaviour);
  // Replaces the card's data; whether a card lies on the reader stays as it was.
  void SetProfile(const CardProfile& profile);
  // The identity card is taken off the reader: read-card requests are then
  // answered with status kNoCardStatus and no record, as a reader with
  // nothing on it answers. Every other request is served as before (the SIM
  // card and the reader itself stay). Logged, without card data.
  void RemoveCard();
  // A card is placed on the reader: the one that was there, or the card of
  // `profile`, which then serves every request (ICCID, card type, ...).
  void PlaceCard();
  void PlaceCard(const CardProfile& profile);
  bool CardPresent() const;  // true at the start

  std::vector<Request> Requests() const;
  // Texts written to the SIM card: step 1 payloads ("+86..."), step 2 payloads.
  std::vector<std::string> WrittenNumbers() const;
  std::vector<std::string> WrittenContents() const;
  // Waits until `count` requests have been received or `timeoutMs` passed.
  bool WaitForRequests(size_t count, int timeoutMs) const;
  // Called with a line for each exchange (on the pump's thread) and each
  // card removed or placed (on the caller's), when set: the tool's log. The
  // lines hold no card field, ICCID or written text.
  void SetLog(LogFn log, void* context);

 private:
  friend class Pump;

  // The answer to one request, before it is planned.
  struct Reply {
    uint8_t group, code, status;
    std::vector<uint8_t> data;
  };

  // Bytes read from the line; returns the plans of the answers due.
  std::vector<Plan> Feed(const uint8_t* bytes, size_t count);
  // Forgets a partly received request (a new line).
  void ResetStream();
  // The line wrote the last byte of the answer to request `index`.
  void MarkAnswered(size_t index);
  void Log(const std::string& line) const;

  // Answers one whole request; false for silence. Takes the lock.
  bool Answer(const Request& request, Plan* plan, std::string* logLine);
  // With the lock held: the next answer's behaviour, what it answers, and
  // a write's text kept when the card takes it.
  Behaviour NextBehaviour();
  Reply ReplyTo(const Request& request, const q48::RequestKind& kind, const Behaviour& behaviour) const;
  void KeepWrittenText(const q48::RequestKind& kind, const std::vector<uint8_t>& body, std::string* logLine);
  void PutCard(const CardProfile* profile);  // null: the card that was there

  mutable std::mutex mutex_;
  mutable std::condition_variable requestsChanged_;
  CardProfile profile_;
  bool cardPresent_ = true;
  Behaviour standing_;
  std::deque<Behaviour> next_;
  std::vector<Request> requests_;
  std::vector<std::string> numbers_;
  std::vector<std::string> contents_;
  LogFn log_ = nullptr;
  void* logContext_ = nullptr;

  // Pump thread only: the requests' reassembler, and how many of the bytes
  // it dropped have been logged.
  q48::FrameReassembler reassembler_{q48::kMinRequestFrame};
  size_t ignoredLogged_ = 0;
};

}  // namespace detail
}  // namespace q48emu
