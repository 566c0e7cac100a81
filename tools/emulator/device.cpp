#include "device.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "hex.h"
#include "protocol/frame.h"

namespace q48emu {
namespace detail {

namespace {

const q48::RequestKind* AnsweredKind(uint8_t group, uint8_t code) {
  const q48::RequestKind* kind = q48::FindRequestKind(group, code);
  // The bare acknowledgement is the reader's to send, never a request to it.
  return kind == &q48::requests::kAcknowledgement ? nullptr : kind;
}

bool IsWrite(const q48::RequestKind* kind) {
  return kind == &q48::requests::kWriteNumber || kind == &q48::requests::kWriteContent;
}

std::string Text(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  if (from >= bytes.size()) return std::string();
  count = std::min(count, bytes.size() - from);
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                     bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// The data of an accepted answer of this kind: a count and its bytes, or a byte.
std::vector<uint8_t> AnswerData(const q48::RequestKind& kind, const CardProfile& profile) {
  std::vector<uint8_t> data;
  switch (kind.answer) {
    case q48::AnswerKind::Identification: {
      const size_t count = std::min<size_t>(profile.identText.size(), 0xFFFF);
      data = {static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>(count >> 8)};
      data.insert(data.end(), profile.identText.begin(),
                  profile.identText.begin() + static_cast<std::ptrdiff_t>(count));
      break;
    }
    case q48::AnswerKind::IdCardRecord:
      data = BuildIdCardRecord(profile);
      break;
    case q48::AnswerKind::Iccid: {
      const size_t count = std::min<size_t>(profile.iccid.size(), 0xFF);
      data = {static_cast<uint8_t>(count)};
      data.insert(data.end(), profile.iccid.begin(), profile.iccid.begin() + static_cast<std::ptrdiff_t>(count));
      break;
    }
    case q48::AnswerKind::CardType:
      data = {profile.cardType};
      break;
    case q48::AnswerKind::StatusOnly:
      break;
  }
  return data;
}

// "request 10,4 (15 bytes)" and the body; written texts are personal data:
// only their size goes to the log.
std::string RequestLogLine(const Request& request, const q48::RequestKind* kind) {
  std::string line = "request " + std::to_string(request.group) + "," + std::to_string(request.code) + " (" +
                     std::to_string(request.frame.size()) + " bytes)";
  if (IsWrite(kind))
    line += " body of " + std::to_string(request.body.size()) + " bytes";
  else if (!request.body.empty())
    line += " body " + q48tool::Hex(request.body.data(), request.body.size(), 24);
  return line;
}

}  // namespace

Device::Device(CardProfile profile) : profile_(std::move(profile)) {}

void Device::ResetStream() { reassembler_.Reset(); }

std::vector<Plan> Device::Feed(const uint8_t* bytes, size_t count) {
  std::vector<Plan> plans;
  std::vector<std::string> lines;
  // What the reassembler dropped since the last look: noise or damage.
  const auto noteIgnored = [&] {
    const size_t dropped = reassembler_.Discarded() - ignoredLogged_;
    if (dropped == 0) return;
    lines.push_back("ignored " + std::to_string(dropped) + " bytes that are no valid request");
    ignoredLogged_ += dropped;
  };

  reassembler_.Feed(bytes, count, [&](const q48::FrameView& frame) {
    noteIgnored();
    Request request;
    request.receivedAt = std::chrono::steady_clock::now();
    request.group = frame.message()[0];
    request.code = frame.message()[1];
    request.body.assign(frame.bytes + q48::kBodyOffset, frame.bytes + frame.size - q48::kTrailerSize);
    request.frame.assign(frame.bytes, frame.bytes + frame.size);
    Plan plan;
    std::string line;
    if (Answer(request, &plan, &line)) plans.push_back(std::move(plan));
    lines.push_back(std::move(line));
  });
  noteIgnored();
  for (const std::string& line : lines) Log(line);
  return plans;
}

bool Device::Answer(const Request& request, Plan* plan, std::string* logLine) {
  const q48::RequestKind* kind = AnsweredKind(request.group, request.code);
  *logLine = RequestLogLine(request, kind);

  std::unique_lock<std::mutex> lock(mutex_);
  requests_.push_back(request);
  const size_t index = requests_.size() - 1;
  requestsChanged_.notify_all();
  if (kind == nullptr) {
    *logLine += ": unknown, no answer";
    return false;
  }
  const Behaviour behaviour = NextBehaviour();
  const Reply reply = ReplyTo(request, *kind, behaviour);
  // Only an acknowledged write reaches the card.
  if (IsWrite(kind) && reply.status == 0 && !behaviour.noAnswer && !behaviour.hangUp)
    KeepWrittenText(*kind, request.body, logLine);
  lock.unlock();

  *plan = PlanAnswer(BuildResponseFrame(reply.group, reply.code, reply.status, reply.data), behaviour);
  plan->request = index;
  if (plan->hangUp) {
    *logLine += ": hang up";
    return true;
  }
  if (plan->pieces.empty()) {
    *logLine += ": no answer (as told)";
    return false;
  }
  size_t bytes = 0;
  for (const Piece& piece : plan->pieces) bytes += piece.bytes.size();
  *logLine += " -> " + std::to_string(reply.group) + "," + std::to_string(reply.code) + " status " +
              std::to_string(reply.status) + ", " + std::to_string(bytes) + " bytes" + Describe(behaviour, *plan);
  return true;
}

Behaviour Device::NextBehaviour() {
  if (next_.empty()) return standing_;
  Behaviour behaviour = std::move(next_.front());
  next_.pop_front();
  return behaviour;
}

Device::Reply Device::ReplyTo(const Request& request, const q48::RequestKind& kind, const Behaviour& behaviour) const {
  Reply reply{request.group, request.code, behaviour.status, {}};
  const q48::RequestKind* answer = &kind;
  if (behaviour.answerGroup >= 0 && behaviour.answerCode >= 0) {
    reply.group = static_cast<uint8_t>(behaviour.answerGroup);
    reply.code = static_cast<uint8_t>(behaviour.answerCode);
    answer = q48::FindRequestKind(reply.group, reply.code);  // unknown kinds answer with no data
  }
  if (answer != nullptr && answer->answer == q48::AnswerKind::IdCardRecord && !cardPresent_) {
    // A reader with nothing on it answers a read with a failure and no record.
    if (reply.status == 0) reply.status = kNoCardStatus;
  } else if (answer != nullptr) {
    reply.data = AnswerData(*answer, profile_);
  }
  if (reply.status == 0 && IsWrite(&kind) && !profile_.acceptWrites) reply.status = 1;
  return reply;
}

void Device::KeepWrittenText(const q48::RequestKind& kind, const std::vector<uint8_t>& body, std::string* logLine) {
  if (kind.encoding == q48::PayloadEncoding::Le16Count) {
    const size_t count = body.size() >= 2 ? q48::ReadLe16(body.data()) : 0;
    numbers_.push_back(Text(body, 2, count));
    return;
  }
  // The content goes twice, each copy after its count byte.
  const size_t count = body.empty() ? 0 : body[0];
  const std::string first = Text(body, 1, count);
  contents_.push_back(first);
  const size_t second = 1 + count;
  if (second >= body.size() || body[second] != count || Text(body, second + 1, count) != first)
    *logLine += " (the two copies of the text differ)";
}

void Device::RemoveCard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cardPresent_ = false;
  }
  Log("card removed: identity-card reads now fail with status " + std::to_string(kNoCardStatus));
}

void Device::PlaceCard() { PutCard(nullptr); }

void Device::PlaceCard(const CardProfile& profile) { PutCard(&profile); }

void Device::PutCard(const CardProfile* profile) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (profile) profile_ = *profile;
    cardPresent_ = true;
  }
  Log(profile ? "card placed: a new card (its profile serves every request)" : "card placed again");
}

bool Device::CardPresent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cardPresent_;
}

void Device::SetBehaviour(const Behaviour& behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  standing_ = behaviour;
}

void Device::PushBehaviour(const Behaviour& behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  next_.push_back(behaviour);
}

void Device::SetProfile(const CardProfile& profile) {
  std::lock_guard<std::mutex> lock(mutex_);
  profile_ = profile;
}

std::vector<Request> Device::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> Device::WrittenNumbers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return numbers_;
}

std::vector<std::string> Device::WrittenContents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return contents_;
}

bool Device::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return requestsChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                   [&] { return requests_.size() >= count; });
}

void Device::MarkAnswered(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < requests_.size()) requests_[index].answeredAt = std::chrono::steady_clock::now();
}

void Device::SetLog(LogFn log, void* context) {
  std::lock_guard<std::mutex> lock(mutex_);
  log_ = log;
  logContext_ = context;
}

void Device::Log(const std::string& line) const {
  LogFn log;
  void* context;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log = log_;
    context = logContext_;
  }
  // Called without the lock: the log may call back into the emulator.
  if (log) log(line, context);
}

}  // namespace detail
}  // namespace q48emu
