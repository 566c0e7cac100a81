// The emulator over a real pty, seen from the library's side of the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator.h"
#include "photo/portrait.h"
#include "protocol/frame.h"
#include "protocol/reassembly.h"
#include "protocol/response.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Takes the portrait the decoder hands over; converts nothing.
class CapturePortrait : public q48::PortraitConverter {
 public:
  Bytes received;
  int32_t ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg, size_t) override {
    received.assign(portrait, portrait + *length);
    jpeg[0] = 0;
    return 0;
  }
};

struct Chunk {
  Clock::time_point at;
  size_t total;  // bytes received up to and including this chunk
};

// The slave end, opened and set raw the way the library's port does.
class Client {
 public:
  explicit Client(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    termios modes{};
    if (fd_ >= 0 && ::tcgetattr(fd_, &modes) == 0) {
      ::cfmakeraw(&modes);
      ::tcsetattr(fd_, TCSANOW, &modes);
    }
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

  void Send(const Bytes& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

  // Reads until `want` bytes have come or nothing came for `quietMs`.
  Bytes Read(size_t want, int quietMs = 1500, std::vector<Chunk>* chunks = nullptr) {
    Bytes got;
    uint8_t buffer[4096];
    while (got.size() < want) {
      pollfd fds{fd_, POLLIN, 0};
      if (::poll(&fds, 1, quietMs) <= 0) break;
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
      if (chunks) chunks->push_back({Clock::now(), got.size()});
    }
    return got;
  }

 private:
  int fd_;
};

Bytes RequestFrame(uint8_t group, uint8_t code, const char* payload = "") {
  const q48::CDataBufferDevice frame = q48::BuildCommandFrame(group, code, payload);
  return Bytes(frame.data, frame.data + frame.length);
}

std::vector<Bytes> Messages(const Bytes& stream) {
  std::vector<Bytes> messages;
  q48::FrameReassembler reassembler;
  reassembler.Feed(stream.data(), stream.size(),
                   [&](const q48::FrameView& frame) { messages.emplace_back(frame.message(), frame.message() + frame.messageSize()); });
  return messages;
}

int Parse(const Bytes& message, q48::ResultFields& fields, CapturePortrait& portrait) {
  return q48::ParseResponse(message.data(), message.size(), fields, portrait);
}

constexpr size_t kReadCardAnswer = 1295 + 1 + 17;
constexpr size_t kCardTypeAnswer = 1 + 1 + 17;

class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(emulator.OpenPty(&error)) << error;
    emulator.SetLog([](const std::string& line, void* self) { static_cast<EmulatorTest*>(self)->Record(line); },
                    this);
    emulator.Start();
    client = std::make_unique<Client>(emulator.SlavePath());
    ASSERT_GE(client->fd(), 0) << emulator.SlavePath();
  }

  Bytes Exchange(uint8_t group, uint8_t code, const char* payload, size_t want, int quietMs = 1500) {
    client->Send(RequestFrame(group, code, payload));
    return client->Read(want, quietMs);
  }

  // The one message of an answer, or an empty one.
  Bytes Message(uint8_t group, uint8_t code, const char* payload, size_t want) {
    const std::vector<Bytes> messages = Messages(Exchange(group, code, payload, want));
    EXPECT_EQ(messages.size(), 1u);
    return messages.empty() ? Bytes() : messages[0];
  }

  void Record(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    log.push_back(line);
  }

  // Destroyed in reverse: the client end first, then the emulator and its
  // thread, then the log that thread writes to.
  std::mutex logMutex;
  std::vector<std::string> log;
  q48emu::Emulator emulator;
  std::unique_ptr<Client> client;
};

TEST_F(EmulatorTest, SampleCardAnswersPassAcceptanceAndDecode) {
  const q48emu::CardProfile card = q48emu::SampleCard();
  q48::ResultFields fields;
  CapturePortrait portrait;

  EXPECT_EQ(Parse(Message(0, 2, "D", 36), fields, portrait), 1);
  ASSERT_EQ(Parse(Message(3, 15, "", 39), fields, portrait), 1);
  EXPECT_EQ(fields.Iccid, card.iccid);
  ASSERT_EQ(Parse(Message(3, 10, "\x01", kCardTypeAnswer), fields, portrait), 1);
  EXPECT_EQ(fields.CardType, 1);

  ASSERT_EQ(Parse(Message(10, 4, "", kReadCardAnswer), fields, portrait), 1);
  EXPECT_EQ(fields.Name, "\xB3\xC2\xCB\xBC\xD4\xB6" + std::string(12, ' '));
  EXPECT_EQ(fields.SexCode, "1");
  EXPECT_EQ(fields.Nation, "\xBA\xBA\xD7\xE5");
  EXPECT_EQ(fields.BirthDate, "19880614");
  EXPECT_EQ(fields.Address,
            "\xD5\xE3\xBD\xAD\xCA\xA1\xBA\xBC\xD6\xDD\xCA\xD0\xCE\xF7\xBA\xFE\xC7\xF8\xC7\xE0\xC1\xF8\xC2\xB7\xD2\xBB"
            "\xB0\xD9\xB6\xFE\xCA\xAE\xB0\xCB\xBA\xC5\xC8\xFD\xB4\xB1");
  EXPECT_EQ(fields.IdNumber, "33010619880614131X");
  EXPECT_EQ(fields.IssuingAuthority, "\xBA\xBC\xD6\xDD\xCA\xD0\xB9\xAB\xB0\xB2\xBE\xD6\xCE\xF7\xBA\xFE\xB7\xD6\xBE\xD6");
  EXPECT_EQ(fields.ValidFrom, "20190826");
  EXPECT_EQ(fields.ValidTo, "20390826");
  EXPECT_EQ(fields.ReservedText, "");
  ASSERT_EQ(portrait.received.size(), 2048u);
  ASSERT_FALSE(card.portrait.empty());
  EXPECT_TRUE(std::equal(card.portrait.begin(), card.portrait.end(), portrait.received.begin()));
  EXPECT_TRUE(std::all_of(portrait.received.begin() + static_cast<std::ptrdiff_t>(card.portrait.size()),
                          portrait.received.end(), [](uint8_t b) { return b == 0; }));

  // The log holds each request byte for byte.
  const std::vector<q48emu::Request> requests = emulator.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].frame, Bytes({0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x04, 0x06, 0x00, 0x00, 0x00,
                                      0x02, 0x44, 0xC3, 0xE3, 0x06}));
  EXPECT_EQ(requests[2].body, Bytes({0x01}));
  EXPECT_EQ(requests[3].frame, RequestFrame(10, 4));
  EXPECT_EQ(requests[3].group, 10);
  EXPECT_EQ(requests[3].code, 4);
}

TEST_F(EmulatorTest, SimWritesAreRecordedOrRefused) {
  q48::ResultFields fields;
  CapturePortrait portrait;
  EXPECT_EQ(Parse(Message(3, 12, "+8613800138000", 18), fields, portrait), 1);
  EXPECT_EQ(Parse(Message(3, 11, "hello", 18), fields, portrait), 1);
  EXPECT_EQ(emulator.WrittenNumbers(), std::vector<std::string>({"+8613800138000"}));
  EXPECT_EQ(emulator.WrittenContents(), std::vector<std::string>({"hello"}));

  q48emu::CardProfile refusing = q48emu::SampleCard();
  refusing.acceptWrites = false;
  emulator.SetProfile(refusing);
  const Bytes refused = Message(3, 12, "+8613900139000", 18);
  ASSERT_EQ(refused.size(), 3u);
  EXPECT_EQ(refused[2], 1);
  EXPECT_EQ(Parse(refused, fields, portrait), 0);
  EXPECT_EQ(emulator.WrittenNumbers().size(), 1u);

  // Written texts are personal data: the log gives their size only.
  std::lock_guard<std::mutex> lock(logMutex);
  EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                          [](const std::string& line) { return line.find("body of 16 bytes") != std::string::npos; }));
  for (const std::string& line : log) {
    EXPECT_EQ(line.find("2B 38 36"), std::string::npos) << line;  // "+86"
    EXPECT_EQ(line.find("68 65 6C"), std::string::npos) << line;  // "hel"
  }
}

TEST_F(EmulatorTest, RemovedCardFailsReadsUntilOneIsPlaced) {
  q48::ResultFields fields;
  CapturePortrait portrait;
  EXPECT_TRUE(emulator.CardPresent());
  emulator.RemoveCard();
  EXPECT_FALSE(emulator.CardPresent());
  // A failure status and no record, as a reader with nothing on it answers;
  // the SIM card is still served.
  EXPECT_EQ(Exchange(10, 4, "", 18), q48emu::BuildResponseFrame(10, 4, q48emu::kNoCardStatus, {}));
  ASSERT_EQ(Parse(Message(3, 15, "", 39), fields, portrait), 1);
  EXPECT_EQ(fields.Iccid, q48emu::SampleCard().iccid);

  emulator.PlaceCard();
  EXPECT_EQ(Exchange(10, 4, "", kReadCardAnswer),
            q48emu::BuildResponseFrame(10, 4, 0, q48emu::BuildIdCardRecord(q48emu::SampleCard())));

  // Another card: its profile serves every request from then on.
  emulator.RemoveCard();
  q48emu::CardProfile other;
  other.iccid = "8986000000";
  other.idCard.idNumber = "110101199003077777";
  emulator.PlaceCard(other);
  ASSERT_EQ(Parse(Message(10, 4, "", kReadCardAnswer), fields, portrait), 1);
  EXPECT_EQ(fields.IdNumber, other.idCard.idNumber);
  ASSERT_EQ(Parse(Message(3, 15, "", 30), fields, portrait), 1);
  EXPECT_EQ(fields.Iccid, other.iccid);

  std::lock_guard<std::mutex> lock(logMutex);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.rfind("card removed", 0) == 0; }),
            2);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.rfind("card placed", 0) == 0; }),
            2);
}

TEST_F(EmulatorTest, UnknownAndDamagedRequestsGetNoAnswer) {
  EXPECT_TRUE(Exchange(5, 5, "", 1, 300).empty());
  EXPECT_TRUE(emulator.WaitForRequests(1, 0));

  Bytes damaged = RequestFrame(3, 10, "\x01");
  damaged[damaged.size() - 3] ^= 0x40;
  client->Send(damaged);
  EXPECT_TRUE(client->Read(1, 300).empty());
  EXPECT_EQ(emulator.Requests().size(), 1u);

  // The damaged frame does not hold up the next one, which is recorded
  // byte for byte, without the damaged bytes before it.
  EXPECT_EQ(Messages(Exchange(3, 10, "\x01", kCardTypeAnswer)).size(), 1u);
  ASSERT_EQ(emulator.Requests().size(), 2u);
  EXPECT_EQ(emulator.Requests()[1].frame, RequestFrame(3, 10, "\x01"));
  std::lock_guard<std::mutex> lock(logMutex);
  EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                          [](const std::string& line) { return line.find("ignored 18 bytes") != std::string::npos; }));
}

TEST_F(EmulatorTest, DamagedAnswersDifferInOneByteAndFailAcceptance) {
  const Bytes clean = q48emu::BuildResponseFrame(3, 10, 0, {1});
  ASSERT_EQ(clean.size(), kCardTypeAnswer);
  struct Case {
    const char* name;
    void (*set)(q48emu::Behaviour&);
    size_t offset;
  };
  const Case cases[] = {
      {"crc", [](q48emu::Behaviour& b) { b.badCrc = true; }, kCardTypeAnswer - 3},
      {"end", [](q48emu::Behaviour& b) { b.badEndByte = true; }, kCardTypeAnswer - 1},
      {"start", [](q48emu::Behaviour& b) { b.badStartByte = true; }, 8},
      {"length", [](q48emu::Behaviour& b) { b.badLength = true; }, 9},
  };
  for (const Case& c : cases) {
    q48emu::Behaviour behaviour;
    c.set(behaviour);
    emulator.PushBehaviour(behaviour);
    const Bytes got = Exchange(3, 10, "\x01", kCardTypeAnswer);
    ASSERT_EQ(got.size(), clean.size()) << c.name;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i] != clean[i], i == c.offset) << c.name << " at " << i;
    EXPECT_FALSE(q48::AcceptFrame(got.data(), got.size())) << c.name;
  }

  q48emu::Behaviour status;
  status.status = 7;
  emulator.PushBehaviour(status);
  const Bytes message = Message(3, 10, "\x01", kCardTypeAnswer);
  ASSERT_EQ(message.size(), 4u);
  EXPECT_EQ(message[2], 7);
  q48::ResultFields fields;
  CapturePortrait portrait;
  EXPECT_EQ(Parse(message, fields, portrait), 0);
}

TEST_F(EmulatorTest, SplitAnswerArrivesInPiecesAfterPauses) {
  q48emu::Behaviour split;
  split.splitAt = {700, 5};
  split.pauseMs = 80;
  emulator.PushBehaviour(split);
  const Clock::time_point sent = Clock::now();
  client->Send(RequestFrame(10, 4));
  std::vector<Chunk> chunks;
  const Bytes got = client->Read(kReadCardAnswer, 1500, &chunks);
  ASSERT_EQ(Messages(got).size(), 1u);
  ASSERT_FALSE(chunks.empty());
  EXPECT_GE(chunks.front().at - sent, std::chrono::milliseconds(70));
  // Each cut is a read boundary, and the next bytes come a pause later.
  for (size_t cut : {size_t{5}, size_t{700}}) {
    size_t i = 0;
    while (i < chunks.size() && chunks[i].total < cut) ++i;
    ASSERT_LT(i + 1, chunks.size()) << cut;
    EXPECT_EQ(chunks[i].total, cut);
    EXPECT_GE(chunks[i + 1].at - chunks[i].at, std::chrono::milliseconds(70)) << cut;
  }
}

TEST_F(EmulatorTest, NoiseAndTwoFramesInOneAnswer) {
  q48emu::Behaviour behaviour;
  behaviour.noiseBefore = {0x11, 0x55, 0x55, 0x04, 0x06};
  behaviour.twoFrames = true;
  emulator.PushBehaviour(behaviour);
  const Bytes got = Exchange(3, 10, "\x01", 5 + 2 * kCardTypeAnswer);
  ASSERT_EQ(got.size(), 5 + 2 * kCardTypeAnswer);
  EXPECT_TRUE(std::equal(behaviour.noiseBefore.begin(), behaviour.noiseBefore.end(), got.begin()));
  const std::vector<Bytes> messages = Messages(got);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], messages[1]);
  EXPECT_EQ(messages[0], Bytes({3, 10, 0, 1}));
}

TEST_F(EmulatorTest, PacedAnswerTakesItsWireTime) {
  q48emu::Behaviour paced;
  paced.pace = true;
  emulator.PushBehaviour(paced);
  const Clock::time_point sent = Clock::now();
  client->Send(RequestFrame(10, 4));
  std::vector<Chunk> chunks;
  const Bytes got = client->Read(kReadCardAnswer, 1500, &chunks);
  ASSERT_EQ(got.size(), kReadCardAnswer);
  const auto wire = std::chrono::microseconds(kReadCardAnswer * 1000000 / 11520);
  EXPECT_GE(chunks.back().at - sent, wire);
  // A stream, not a burst after a wait: the first bytes come early, and no
  // read ever gets ahead of the line's rate by more than one block.
  EXPECT_LT(chunks.front().at - sent, wire / 2);
  for (const Chunk& chunk : chunks) {
    const double seconds = std::chrono::duration<double>(chunk.at - sent).count();
    EXPECT_LE(double(chunk.total), seconds * 11520 + 16) << chunk.total;
  }
}

TEST_F(EmulatorTest, BehaviourScope) {
  q48emu::Behaviour silent;
  silent.noAnswer = true;
  emulator.PushBehaviour(silent);
  EXPECT_TRUE(Exchange(3, 10, "\x01", 1, 300).empty());
  EXPECT_EQ(Messages(Exchange(3, 10, "\x01", kCardTypeAnswer)).size(), 1u);

  q48emu::Behaviour stale;
  stale.answerGroup = 3;
  stale.answerCode = 10;
  emulator.PushBehaviour(stale);
  EXPECT_EQ(Message(10, 4, "", kCardTypeAnswer), Bytes({3, 10, 0, 1}));

  q48emu::Behaviour busy;
  busy.status = 3;
  emulator.SetBehaviour(busy);
  EXPECT_EQ(Message(0, 2, "D", 36).at(2), 3);
  EXPECT_EQ(Message(3, 10, "\x01", kCardTypeAnswer).at(2), 3);
}

TEST_F(EmulatorTest, ServesAcrossReopensAndSendsRawBytes) {
  client.reset();
  client = std::make_unique<Client>(emulator.SlavePath());
  ASSERT_GE(client->fd(), 0);
  EXPECT_EQ(Messages(Exchange(3, 10, "\x01", kCardTypeAnswer)).size(), 1u);
  const Bytes unsolicited = q48emu::BuildResponseFrame(0, 1, 0, {});
  emulator.SendRaw(unsolicited);
  EXPECT_EQ(client->Read(unsolicited.size()), unsolicited);
}

void ExpectHungUp(int fd) {
  pollfd fds{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&fds, 1, 2000), 1);
  EXPECT_TRUE(fds.revents & POLLHUP);
  const uint8_t byte = 0;
  errno = 0;
  EXPECT_EQ(::write(fd, &byte, 1), -1);
  EXPECT_EQ(errno, EIO);
}

TEST(EmulatorHangUp, AsAnAnswerOrOnCall) {
  for (bool onCall : {false, true}) {
    SCOPED_TRACE(onCall ? "HangUp()" : "behaviour");
    q48emu::Emulator emulator;
    ASSERT_TRUE(emulator.OpenPty());
    emulator.Start();
    Client client(emulator.SlavePath());
    ASSERT_GE(client.fd(), 0);
    if (onCall) {
      emulator.HangUp();
    } else {
      q48emu::Behaviour hangUp;
      hangUp.hangUp = true;
      emulator.PushBehaviour(hangUp);
      client.Send(RequestFrame(10, 4));
    }
    ExpectHungUp(client.fd());
    emulator.Stop();
  }
}

TEST(EmulatorStop, CutsAPauseShort) {
  q48emu::Emulator emulator;
  ASSERT_TRUE(emulator.OpenPty());
  emulator.Start();
  Client client(emulator.SlavePath());
  ASSERT_GE(client.fd(), 0);
  q48emu::Behaviour slow;
  slow.pauseMs = 20000;
  emulator.SetBehaviour(slow);
  client.Send(RequestFrame(3, 10, "\x01"));
  ASSERT_TRUE(emulator.WaitForRequests(1, 2000));
  const Clock::time_point asked = Clock::now();
  emulator.Stop();
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
  EXPECT_TRUE(client.Read(1, 100).empty());
}

// A serial port seen from the emulator: here the slave of a pty whose master
// plays the library's end of the cable.
TEST(EmulatorPort, ServesASerialDeviceAfterDiscardingOldInput) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  char name[128];
  ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
  // Held open so that the master never sees a hang-up, and set raw so that
  // nothing is echoed before the emulator opens the device.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  termios modes{};
  ASSERT_EQ(::tcgetattr(slave, &modes), 0);
  ::cfmakeraw(&modes);
  ASSERT_EQ(::tcsetattr(slave, TCSANOW, &modes), 0);
  const Bytes stale = RequestFrame(3, 10, "\x01");
  ASSERT_EQ(::write(master, stale.data(), stale.size()), ssize_t(stale.size()));

  {
    q48emu::Emulator emulator;
    std::string error;
    ASSERT_TRUE(emulator.OpenPort(name, &error)) << error;
    EXPECT_EQ(emulator.SlavePath(), "");
    emulator.Start();
    const Bytes request = RequestFrame(10, 4);
    ASSERT_EQ(::write(master, request.data(), request.size()), ssize_t(request.size()));
    Bytes got;
    uint8_t buffer[4096];
    for (;;) {
      pollfd fds{master, POLLIN, 0};
      if (::poll(&fds, 1, 1500) <= 0) break;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    // Only the request sent after the port was opened is answered.
    EXPECT_EQ(got, q48emu::BuildResponseFrame(10, 4, 0, q48emu::BuildIdCardRecord(q48emu::SampleCard())));
    ASSERT_EQ(emulator.Requests().size(), 1u);
    EXPECT_EQ(emulator.Requests()[0].frame, request);

    termios set{};
    ASSERT_EQ(::tcgetattr(slave, &set), 0);
    EXPECT_EQ(::cfgetospeed(&set), speed_t(B115200));
    EXPECT_EQ(set.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    emulator.Stop();
  }
  ::close(slave);
  ::close(master);

  q48emu::Emulator emulator;
  std::string error;
  EXPECT_FALSE(emulator.OpenPort("/nonexistent/ttyUSB9", &error));
  EXPECT_EQ(error, "/nonexistent/ttyUSB9: No such file or directory");
  EXPECT_FALSE(emulator.OpenPort("/dev/null", &error));
  EXPECT_EQ(error.rfind("/dev/null is no serial port: ", 0), 0u) << error;
}

}  // namespace
