#include "exchange.h"

#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "Q48Reader.h"
#include "photo/portrait.h"
#include "protocol/card_fields.h"
#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "serial/com_port.h"
#include "timer_resolution.h"

namespace q48 {

namespace {

using requests::kIdentify;
using requests::kReadCard;
using requests::kReadCardType;
using requests::kReadIccid;
using requests::kWriteContent;
using requests::kWriteNumber;

constexpr int16_t kReaderFound = Q48_READER_FOUND;
constexpr int16_t kOk = Q48_OK;
constexpr int16_t kNoReader = Q48_ERR_NO_READER;
constexpr int16_t kRejected = Q48_ERR_REJECTED;
constexpr int16_t kBadArgument = Q48_ERR_ARGUMENT;
constexpr int16_t kTimeout = Q48_ERR_TIMEOUT;
constexpr int16_t kReadCardRejected = Q48_ERR_READ_CARD;

enum class Outcome { NoReader, OpenFailed, Timeout, Rejected, Accepted };

// The portrait's text, shorter than kPortraitTextBuffer, is the last slot
// and runs to the end of the caller's buffer.
static_assert(kResultSlots[std::size(kResultSlots) - 1].slot == kPortraitField.slot &&
                  BufferOffset(kPortraitField.slot) + kPortraitTextBuffer <= Q48_READ_CARD_BUFFER,
              "the portrait's text fits the caller's buffer");

// Copies a slot's text to its place. Any other text than the portrait keeps
// at least one zero byte before the next place, so that a caller reading it
// as a C string stops there: a longer one (a 2017 card's 60-character English
// name, were it not Latin) is cut before a character that would cross.
void CopyToPlace(const std::string& text, bool openEnded, char* place) {
  size_t count = text.size();
  if (!openEnded && count > Q48_FIELD_STRIDE - 1) {
    count = 0;
    for (size_t at = 0; at < text.size();) {
      const size_t length = CharacterLength(text, at);
      if (at + length > Q48_FIELD_STRIDE - 1) break;
      at += length;
      count = at;
    }
  }
  std::memcpy(place, text.data(), count);
}

// TakeReceived fills the receive area with whole messages.
static_assert(kReceiveAreaSize >= kReceivedMessageSize, "the receive area holds any queued message");

// The 1 ms timer resolution, asked for by the constructor and given back by
// the destructor when it was granted.
class FineTimerResolution {
 public:
  FineTimerResolution() : granted_(BeginFineTimerResolution()) {}
  ~FineTimerResolution() {
    if (granted_) EndFineTimerResolution();
  }
  FineTimerResolution(const FineTimerResolution&) = delete;
  FineTimerResolution& operator=(const FineTimerResolution&) = delete;

 private:
  const bool granted_;
};

// One exchange's port, opened at most once; closed (reader thread joined) on
// every way out by its destructor. The 1 ms timer resolution is held for the
// Session's whole life, discovery and the reader thread's last cycle included.
class Session {
 public:
  explicit Session(const ExchangeOptions& options) : options_(options) { area_.assign(kReceiveAreaSize, 0); }

  // Finds and opens the reader. NoReader, OpenFailed or Accepted; on
  // OpenFailed the caller's openError, when asked for, names the device and
  // the system's reason.
  Outcome Open() {
    std::string device = options_.device;
    if (device.empty()) {
      const int32_t number = FindReaderPort(options_.roots);
      if (number < 0) return Outcome::NoReader;
      device = ReaderDeviceName(number, options_.roots);
    }
    const OpenResult opened = port_.Open(device);
    if (!opened) {
      if (options_.openFailure != nullptr) *options_.openFailure = opened.failure;
      if (options_.openError != nullptr) *options_.openError = "cannot open " + device + ": " + opened.reason;
      return Outcome::OpenFailed;
    }
    port_.ResumeReader();
    return Outcome::Accepted;
  }

  // Open, then Exchange when the port is open.
  Outcome OpenAndExchange(const RequestKind& request, ResultFields& fields) {
    const Outcome opened = Open();
    return opened == Outcome::Accepted ? Exchange(request, request.fixedPayload, fields) : opened;
  }

  // Sends one request and waits for its answer; the answer is parsed into
  // `fields`. Another request's answer (a late or unsolicited message) is set
  // aside unparsed and the wait goes on within the same limit.
  Outcome Exchange(const RequestKind& request, const char* payload, ResultFields& fields) {
    CDataBufferDevice frame;
    frame = BuildCommandFrame(request.group, request.code, payload);
    if (options_.trace) options_.trace(true, frame.data, static_cast<size_t>(frame.length));
    port_.Write(frame.data, frame.length);

    std::fill(area_.begin(), area_.end(), 0);
    const auto sleep = std::chrono::milliseconds(request.sleepMs);
    int32_t length = 0;
    if (request.shape == PollShape::TakeFirst) {
      for (int take = 1; take <= request.maxTakes; ++take) {
        length = TakeOwn(request);
        if (length > 0) break;
        std::this_thread::sleep_for(sleep);
      }
    } else {
      for (int count = 1;; ++count) {
        std::this_thread::sleep_for(sleep);
        if (count > request.maxTakes) break;
        length = TakeOwn(request);
        if (length > 0) break;
      }
    }
    if (length <= 0) return Outcome::Timeout;
    PortraitConverter& portrait = options_.portrait ? *options_.portrait : SystemConverter();
    return ParseResponse(area_.data(), static_cast<size_t>(length), fields, portrait) == 1 ? Outcome::Accepted
                                                                                           : Outcome::Rejected;
  }

 private:
  // One take: the length of a message that answers `request`, or 0.
  int32_t TakeOwn(const RequestKind& request) {
    const int32_t length = port_.TakeReceived(area_.data());
    if (length <= 0) return 0;
    if (options_.trace) options_.trace(false, area_.data(), static_cast<size_t>(length));
    const uint8_t group = area_[0], code = area_[1];
    const bool answers = (group == request.group && code == request.code) ||
                         // A bare acknowledgement proves the reader is there.
                         (&request == &kIdentify && group == requests::kAcknowledgement.group &&
                          code == requests::kAcknowledgement.code);
    if (answers) return length;
    std::fill(area_.begin(), area_.begin() + length, 0);
    return 0;
  }

  PortraitConverter& SystemConverter() {
    if (!systemConverter_) systemConverter_ = std::make_unique<SystemPortraitConverter>();
    return *systemConverter_;
  }

  const ExchangeOptions& options_;
  FineTimerResolution timerResolution_;  // before port_, so it ends after the port has closed
  ComPort port_;
  std::vector<uint8_t> area_;  // the receive area, on the heap: host threads may have small stacks
  std::unique_ptr<SystemPortraitConverter> systemConverter_;
};

ResultFields& Fields() {
  static ResultFields fields;
  return fields;
}

// Runs `body` under the exchange lock, after clearing the caller's
// openError and openFailure. Any exception becomes `failureCode` and never crosses into the
// host: out of memory, and a lock that the system refuses (std::system_error
// from lock()), which is why the lock is taken inside the try.
// `onFailure` runs only while the lock is held.
template <typename Body, typename OnFailure>
int16_t Guarded(const ExchangeOptions& options, int16_t failureCode, Body body, OnFailure onFailure) {
  // The caller's own: no lock needed.
  if (options.openError != nullptr) options.openError->clear();
  if (options.openFailure != nullptr) *options.openFailure = OpenFailureKind::None;
  std::unique_lock<std::mutex> lock(ExchangeLock(), std::defer_lock);
  try {
    lock.lock();
    return body();
  } catch (...) {
    try {
      if (lock.owns_lock()) onFailure();  // it touches the shared fields
    } catch (...) {
    }
    return failureCode;
  }
}

}  // namespace

std::mutex& ExchangeLock() {
  static std::mutex lock;
  return lock;
}

ResultFields& SharedResultFields() { return Fields(); }

int16_t ListReaderCard(const ExchangeOptions& options) {
  return Guarded(
      options, kNoReader,
      [&]() -> int16_t {
        Session session(options);
        switch (session.Open()) {
          case Outcome::NoReader: return kOk;
          case Outcome::OpenFailed: return kNoReader;
          default: break;
        }
        return session.Exchange(kIdentify, kIdentify.fixedPayload, Fields()) == Outcome::Accepted ? kReaderFound : kNoReader;
      },
      [] {});
}

int16_t ReadCard(const ExchangeOptions& options, char* buffer) {
  return Guarded(
      options, kTimeout,
      [&]() -> int16_t {
        ResultFields& fields = Fields();
        Session session(options);
        const Outcome outcome = session.OpenAndExchange(kReadCard, fields);
        switch (outcome) {
          case Outcome::Accepted: break;
          case Outcome::NoReader:
          case Outcome::OpenFailed: ClearResultFields(fields); return kNoReader;
          case Outcome::Timeout: ClearResultFields(fields); return kTimeout;
          case Outcome::Rejected: ClearResultFields(fields); return kReadCardRejected;
        }
        for (const CardField& field : InfoOf(fields.Kind)) {
          if (field.slot == nullptr) continue;
          CopyToPlace(fields.*field.slot, field.decoding == CardDecoding::Portrait, buffer + BufferOffset(field.slot));
        }
        if (options.card != nullptr) *options.card = fields;
        return kOk;
      },
      [] { ClearResultFields(Fields()); });
}

namespace {

// ICCID and card type share their shape and failure handling.
int16_t SimQuery(const ExchangeOptions& options, const RequestKind& request,
                 const std::function<int16_t(ResultFields&)>& onSuccess) {
  return Guarded(
      options, kTimeout,
      [&]() -> int16_t {
        ResultFields& fields = Fields();
        Session session(options);
        const Outcome outcome = session.OpenAndExchange(request, fields);
        if (outcome == Outcome::Accepted) return onSuccess(fields);
        fields.Iccid.clear();
        switch (outcome) {
          case Outcome::NoReader: return kNoReader;
          case Outcome::Rejected: return kRejected;
          default: return kTimeout;
        }
      },
      [] { Fields().Iccid.clear(); });
}

}  // namespace

int16_t ReadIccid(const ExchangeOptions& options, char* buffer) {
  return SimQuery(options, kReadIccid, [buffer](ResultFields& fields) {
    std::memcpy(buffer, fields.Iccid.data(), fields.Iccid.size());
    return kOk;
  });
}

int16_t ReadCardType(const ExchangeOptions& options) {
  return SimQuery(options, kReadCardType, [](ResultFields& fields) { return static_cast<int16_t>(fields.CardType & 0xFF); });
}

int16_t WriteCard(const ExchangeOptions& options, const char* content, const char* number) {
  return Guarded(
      options, kTimeout,
      [&]() -> int16_t {
        // A missing text is as out of range as an empty one.
        const std::string prefixed = std::string("+86") + (number ? number : "");
        const std::string text = content ? content : "";
        if (text.size() < 1 || text.size() > 19 || prefixed.size() < 4 || prefixed.size() > 22)
          return kBadArgument;
        Session session(options);
        switch (session.Open()) {
          case Outcome::NoReader: return kNoReader;
          case Outcome::OpenFailed: return kTimeout;
          default: break;
        }
        // Numbers of 17 to 19 bytes are sent whole: the payload is taken from
        // the prefixed text itself, never from beyond it.
        ResultFields& fields = Fields();
        for (const auto& [request, payload] : {std::make_pair(&kWriteNumber, &prefixed), std::make_pair(&kWriteContent, &text)}) {
          switch (session.Exchange(*request, payload->c_str(), fields)) {
            case Outcome::Accepted: break;
            case Outcome::Rejected: return kRejected;
            default: return kTimeout;
          }
        }
        return kOk;
      },
      [] {});
}

}  // namespace q48
