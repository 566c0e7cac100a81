// The portable side of the emulator: card profile, record, answers and
// misbehaviours. The pump thread is in pump.cpp, the line in line_<platform>.cpp.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "emulator_internal.h"
#include "protocol/frame.h"
#include "protocol/requests.h"
#include "wlt_format.h"

namespace q48emu {

namespace detail {

// The record's layout, written here on purpose apart from the library's
// decoder (protocol/idcard.cpp): the emulator builds records from its own
// reading of the layout, so a slip in either shows up as a failing
// end-to-end test instead of agreeing with itself.
const CardText kCardTexts[8] = {
    {"name", &IdCardFields::name, 14, 15},          {"sex", &IdCardFields::sex, 44, 1},
    {"nationCode", &IdCardFields::nationCode, 46, 2}, {"birthDate", &IdCardFields::birthDate, 50, 8},
    {"address", &IdCardFields::address, 66, 35},     {"idNumber", &IdCardFields::idNumber, 136, 18},
    {"authority", &IdCardFields::authority, 172, 15}, {"validity", &IdCardFields::validity, 202, 16},
};

namespace {

// What lies where in the record, besides the texts (kCardTexts).
constexpr size_t kRecordSize = 1295;
constexpr size_t kReservedOffset = 234;
constexpr size_t kPortraitOffset = 270;
// Not examined by the library; marks records that came from the emulator.
constexpr char kRecordHeader[14] = {'Q', '4', '8', '-', 'E', 'M', 'U', '-', 'R', 'E', 'C', 'O', 'R', 'D'};

constexpr uint16_t kReplacement = 0xFFFD;
constexpr uint16_t kBlank = 0x0020;

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

void PutUnit(uint8_t* at, uint16_t unit) {
  at[0] = static_cast<uint8_t>(unit & 0xFF);
  at[1] = static_cast<uint8_t>(unit >> 8);
}

// UTF-16LE, blank-padded to the field, cut if too long (never between the
// two halves of a surrogate pair).
void PutText(uint8_t* record, const CardText& field, const std::string& text) {
  const std::vector<uint16_t> units = Utf8ToUtf16(text);
  const size_t room = field.units;
  size_t count = std::min(units.size(), room);
  if (count > 0 && count < units.size() && units[count - 1] >= 0xD800 && units[count - 1] <= 0xDBFF) --count;
  uint8_t* at = record + field.offset;
  for (size_t i = 0; i < room; ++i) PutUnit(at + 2 * i, i < count ? units[i] : kBlank);
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

std::string Hex(const std::vector<uint8_t>& bytes, size_t limit) {
  std::string out;
  char digits[4];
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
    out += digits;
  }
  if (bytes.size() > limit) out += " ...";
  return out;
}

std::string Describe(const Behaviour& b, const Plan& plan) {
  std::string notes;
  auto note = [&notes](const std::string& text) { notes += (notes.empty() ? " [" : ", ") + text; };
  if (b.badCrc) note("bad CRC");
  if (b.badEndByte) note("bad end byte");
  if (b.badStartByte) note("bad start byte");
  if (b.badLength) note("bad length");
  if (!b.noiseBefore.empty()) note(std::to_string(b.noiseBefore.size()) + " noise bytes");
  if (b.twoFrames) note("two frames");
  if (plan.pieces.size() > 1) note(std::to_string(plan.pieces.size()) + " pieces");
  if (b.pauseMs > 0) note(std::to_string(b.pauseMs) + " ms pauses");
  if (b.pace) note("paced");
  return notes.empty() ? notes : notes + "]";
}

}  // namespace

std::vector<uint16_t> Utf8ToUtf16(const std::string& text) {
  std::vector<uint16_t> units;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  for (size_t at = 0; at < size;) {
    const uint8_t lead = bytes[at];
    size_t extra;
    uint32_t cp;
    // The second byte's range rules out overlong forms, surrogates and
    // values above U+10FFFF.
    uint8_t low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      units.push_back(lead);
      ++at;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      cp = lead & 0x0Fu;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      cp = lead & 0x07u;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      units.push_back(kReplacement);
      ++at;
      continue;
    }
    size_t used = 1;
    bool valid = true;
    for (; used <= extra; ++used) {
      if (at + used >= size) {
        valid = false;
        break;
      }
      const uint8_t next = bytes[at + used];
      const bool inRange = used == 1 ? next >= low && next <= high : IsContinuation(next);
      if (!inRange) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (next & 0x3Fu);
    }
    if (!valid) {
      // The bytes taken so far are one malformed sequence.
      units.push_back(kReplacement);
      at += used;
      continue;
    }
    at += used;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
  }
  return units;
}

namespace {

const q48::RequestKind* AnsweredKind(uint8_t group, uint8_t code) {
  const q48::RequestKind* kind = q48::FindRequestKind(group, code);
  // The bare acknowledgement is the reader's to send, never a request to it.
  return kind == &q48::requests::kAcknowledgement ? nullptr : kind;
}

void AnswerData(const q48::RequestKind& kind, const CardProfile& profile, std::vector<uint8_t>* data) {
  data->clear();
  switch (kind.answer) {
    case q48::AnswerKind::Identification: {
      const size_t count = std::min<size_t>(profile.identText.size(), 0xFFFF);
      data->push_back(static_cast<uint8_t>(count & 0xFF));
      data->push_back(static_cast<uint8_t>(count >> 8));
      data->insert(data->end(), profile.identText.begin(),
                   profile.identText.begin() + static_cast<std::ptrdiff_t>(count));
      break;
    }
    case q48::AnswerKind::IdCardRecord:
      *data = BuildIdCardRecord(profile);
      break;
    case q48::AnswerKind::Iccid: {
      const size_t count = std::min<size_t>(profile.iccid.size(), 0xFF);
      data->push_back(static_cast<uint8_t>(count));
      data->insert(data->end(), profile.iccid.begin(), profile.iccid.begin() + static_cast<std::ptrdiff_t>(count));
      break;
    }
    case q48::AnswerKind::CardType:
      data->push_back(profile.cardType);
      break;
    case q48::AnswerKind::StatusOnly:
      break;
  }
}

}  // namespace

Plan PlanAnswer(std::vector<uint8_t> frame, const Behaviour& behaviour) {
  Plan plan;
  if (behaviour.hangUp) {
    plan.hangUp = true;
    return plan;
  }
  if (behaviour.noAnswer || frame.size() < q48::kMinRequestFrame) return plan;

  const size_t n = frame.size();
  if (behaviour.badCrc) frame[n - q48::kTrailerSize] ^= 0x01;
  if (behaviour.badEndByte) frame[n - 1] = q48::kEndByte + 1;
  if (behaviour.badStartByte) frame[q48::kStartOffset] = q48::kStartByte + 1;
  if (behaviour.badLength)
    q48::WriteLe16(frame.data() + q48::kLengthOffset,
                   static_cast<uint16_t>(q48::ReadLe16(frame.data() + q48::kLengthOffset) + 1));

  std::vector<uint8_t> stream = behaviour.noiseBefore;
  stream.insert(stream.end(), frame.begin(), frame.end());
  if (behaviour.twoFrames) stream.insert(stream.end(), frame.begin(), frame.end());

  // Cut offsets count from the answer's first byte; noise goes with the
  // first piece.
  std::vector<size_t> cuts;
  for (size_t offset : behaviour.splitAt) {
    const size_t cut = behaviour.noiseBefore.size() + offset;
    if (offset > 0 && cut < stream.size()) cuts.push_back(cut);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  cuts.push_back(stream.size());

  size_t from = 0;
  for (size_t cut : cuts) {
    Piece piece;
    piece.pauseMs = behaviour.pauseMs;
    piece.bytes.assign(stream.begin() + static_cast<std::ptrdiff_t>(from),
                       stream.begin() + static_cast<std::ptrdiff_t>(cut));
    plan.pieces.push_back(std::move(piece));
    from = cut;
  }
  plan.paced = behaviour.pace;
  return plan;
}

bool WritePlan(const Plan& plan, LineIo& line) {
  using Clock = std::chrono::steady_clock;
  if (!plan.paced) {
    for (const Piece& piece : plan.pieces) {
      if (piece.pauseMs > 0 && !line.SleepUntil(Clock::now() + std::chrono::milliseconds(piece.pauseMs))) return false;
      if (!line.WriteAll(piece.bytes.data(), piece.bytes.size())) return false;
    }
    return true;
  }
  // Paced: byte k is handed over when its stop bit would have gone out,
  // counted from the first start bit; pauses hold the line idle.
  using Micros = std::chrono::microseconds;
  Clock::time_point base = Clock::now();
  size_t sent = 0;
  for (const Piece& piece : plan.pieces) {
    base += std::chrono::milliseconds(piece.pauseMs);
    for (size_t at = 0; at < piece.bytes.size(); at += kPacedBlock) {
      const size_t block = std::min(kPacedBlock, piece.bytes.size() - at);
      const auto due = base + Micros((sent + block) * 1000000 / kPacedBytesPerSecond);
      if (!line.SleepUntil(due)) return false;
      if (!line.WriteAll(piece.bytes.data() + at, block)) return false;
      sent += block;
    }
  }
  return true;
}

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
  char head[64];
  std::snprintf(head, sizeof head, "request %u,%u (%zu bytes)", request.group, request.code, request.frame.size());
  *logLine = head;
  // Written texts are personal data: their size goes to the log, never the bytes.
  if (IsWrite(kind))
    *logLine += " body of " + std::to_string(request.body.size()) + " bytes";
  else if (!request.body.empty())
    *logLine += " body " + Hex(request.body, 24);

  std::unique_lock<std::mutex> lock(mutex_);
  requests_.push_back(request);
  const size_t index = requests_.size() - 1;
  requestsChanged_.notify_all();

  if (kind == nullptr) {
    *logLine += ": unknown, no answer";
    return false;
  }
  Behaviour behaviour = standing_;
  if (!next_.empty()) {
    behaviour = std::move(next_.front());
    next_.pop_front();
  }
  const q48::RequestKind* answer = kind;
  uint8_t group = request.group, code = request.code;
  if (behaviour.answerGroup >= 0 && behaviour.answerCode >= 0) {
    group = static_cast<uint8_t>(behaviour.answerGroup);
    code = static_cast<uint8_t>(behaviour.answerCode);
    answer = q48::FindRequestKind(group, code);  // unknown kinds answer with no data
  }
  std::vector<uint8_t> data;
  uint8_t status = behaviour.status;
  if (answer != nullptr && answer->answer == q48::AnswerKind::IdCardRecord && !cardPresent_) {
    // A reader with nothing on it answers a read with a failure and no record.
    if (status == 0) status = kNoCardStatus;
  } else if (answer != nullptr) {
    AnswerData(*answer, profile_, &data);
  }
  const bool write = IsWrite(kind);
  if (status == 0 && write && !profile_.acceptWrites) status = 1;

  // Only an acknowledged write reaches the card.
  if (write && status == 0 && !behaviour.noAnswer && !behaviour.hangUp) {
    const std::vector<uint8_t>& body = request.body;
    if (kind->encoding == q48::PayloadEncoding::Le16Count) {
      const size_t count = body.size() >= 2 ? q48::ReadLe16(body.data()) : 0;
      numbers_.push_back(Text(body, 2, count));
    } else {
      const size_t count = body.empty() ? 0 : body[0];
      const std::string first = Text(body, 1, count);
      contents_.push_back(first);
      const size_t second = 1 + count;
      if (second >= body.size() || body[second] != count || Text(body, second + 1, count) != first)
        *logLine += " (the two copies of the text differ)";
    }
  }
  lock.unlock();

  *plan = PlanAnswer(BuildResponseFrame(group, code, status, data), behaviour);
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
  std::snprintf(head, sizeof head, " -> %u,%u status %u, %zu bytes", group, code, status, bytes);
  *logLine += head + Describe(behaviour, *plan);
  return true;
}

void Device::RemoveCard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cardPresent_ = false;
  }
  Log("card removed: identity-card reads now fail with status " + std::to_string(kNoCardStatus));
}

void Device::PlaceCard(const CardProfile* profile) {
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

std::vector<uint8_t> BuildIdCardRecord(const CardProfile& profile) {
  using namespace detail;
  std::vector<uint8_t> record(kRecordSize, 0);
  std::memcpy(record.data(), kRecordHeader, sizeof kRecordHeader);
  const IdCardFields& card = profile.idCard;
  for (const CardText& field : kCardTexts) PutText(record.data(), field, card.*(field.text));
  std::copy_n(card.reserved.begin(), std::min(card.reserved.size(), kReservedSize),
              record.begin() + kReservedOffset);
  std::copy_n(profile.portrait.begin(), std::min(profile.portrait.size(), kPortraitSize),
              record.begin() + kPortraitOffset);
  return record;
}

std::vector<uint8_t> BuildResponseFrame(uint8_t group, uint8_t code, uint8_t status,
                                        const std::vector<uint8_t>& data) {
  std::vector<uint8_t> body;
  body.reserve(data.size() + 1);
  body.push_back(status);
  body.insert(body.end(), data.begin(), data.end());
  std::vector<uint8_t> frame(body.size() + q48::kMinRequestFrame);
  frame.resize(q48::EncodeFrame(group, code, body.data(), body.size(), frame.data(), frame.size()));
  return frame;
}

CardProfile SampleCard() {
  CardProfile card;
  card.identText = "CPU-Q48-EMULATOR";
  card.iccid = "89860318720012345678";
  card.cardType = 1;
  IdCardFields& id = card.idCard;
  id.name = "陈思远";
  id.sex = "1";
  id.nationCode = "01";
  id.birthDate = "19880614";
  id.address = "浙江省杭州市西湖区青柳路一百二十八号三幢";
  id.idNumber = "33010619880614131X";
  id.authority = "杭州市公安局西湖分局";
  id.validity = "2019082620390826";
  id.reserved = "";
  // The drawn portrait takes well under the card's 1024 bytes; an encoder
  // failure would leave the card without one, which the tests notice.
  wltrs::EncodePortrait(wltrs::DrawSamplePortrait(), &card.portrait);
  return card;
}

// The public calls that need no line.

void Emulator::SetBehaviour(const Behaviour& behaviour) { state_->device.SetBehaviour(behaviour); }
void Emulator::PushBehaviour(const Behaviour& behaviour) { state_->device.PushBehaviour(behaviour); }
void Emulator::SetProfile(const CardProfile& profile) { state_->device.SetProfile(profile); }
void Emulator::RemoveCard() { state_->device.RemoveCard(); }
void Emulator::PlaceCard() { state_->device.PlaceCard(nullptr); }
void Emulator::PlaceCard(const CardProfile& profile) { state_->device.PlaceCard(&profile); }
bool Emulator::CardPresent() const { return state_->device.CardPresent(); }
std::vector<Request> Emulator::Requests() const { return state_->device.Requests(); }
std::vector<std::string> Emulator::WrittenNumbers() const { return state_->device.WrittenNumbers(); }
std::vector<std::string> Emulator::WrittenContents() const { return state_->device.WrittenContents(); }
bool Emulator::WaitForRequests(size_t count, int timeoutMs) const {
  return state_->device.WaitForRequests(count, timeoutMs);
}
void Emulator::SetLog(void (*log)(const std::string& line, void* context), void* context) {
  state_->device.SetLog(log, context);
}

// The public calls that go to the line.
Emulator::State::State(CardProfile profile)
    : device(std::move(profile)), pump(device) {}

Emulator::State::~State() = default;

Emulator::Emulator(CardProfile profile) : state_(std::make_unique<State>(std::move(profile))) {}

Emulator::~Emulator() = default;

bool Emulator::OpenPty(std::string* error) { return state_->pump.OpenPty(error); }
bool Emulator::OpenPort(const std::string& name, std::string* error) { return state_->pump.OpenPort(name, error); }
void Emulator::ServeFd(int fd) { state_->pump.ServeFd(fd); }
std::string Emulator::SlavePath() const { return state_->pump.SlavePath(); }
void Emulator::Start() { state_->pump.Start(); }
void Emulator::Stop() { state_->pump.Stop(); }
void Emulator::SendRaw(const std::vector<uint8_t>& bytes) { state_->pump.SendRaw(bytes); }
void Emulator::HangUp() { state_->pump.HangUp(); }

}  // namespace q48emu
