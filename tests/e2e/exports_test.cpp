// The exchange end to end: every export against the emulator over a pty,
// discovery through a tree of the test's own.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "Q48Reader.h"
#include "export_results.h"
#include "photo/base64.h"
#include "protocol/frame.h"
#include "reader_fixture.h"

namespace q48::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Frame(const CDataBufferDevice& f) { return std::vector<uint8_t>(f.data, f.data + f.length); }

std::string Field(const std::vector<char>& buffer, size_t offset) {
  return std::string(buffer.data() + offset);  // the zero fill ends each field
}

// Holds the reader's port the way another program would.
class PortHolder {
 public:
  explicit PortHolder(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~PortHolder() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

using ExportsTest = ReaderTest;

// One export as the situation table calls it; `buffer` holds a card.
int16_t Call(Export e, const ExchangeOptions& options, std::vector<char>& buffer) {
  switch (e) {
    case Export::ListReaderCard: return ListReaderCard(options);
    case Export::ReadCard: return ReadCard(options, buffer.data());
    case Export::ReadIccid: return ReadIccid(options, buffer.data());
    case Export::ReadCardType: return ReadCardType(options);
    case Export::WriteCard: return WriteCard(options, kWriteContent, kWriteNumber);
  }
  return INT16_MIN;
}

// Every export in one situation of the table; a failed call clears the
// result fields it would have filled and leaves the buffer as it was.
void ExpectSituation(Situation situation, const ExchangeOptions& options) {
  std::vector<char> buffer(Q48_READ_CARD_BUFFER, 0);
  for (Export e : kExports) {
    SharedResultFields().Name = "previous holder";
    SharedResultFields().Iccid = "old";
    const int16_t result = Call(e, options, buffer);
    EXPECT_EQ(result, ResultOf(situation, e)) << ExportName(e);
    if (e == Export::ReadCard) {
      EXPECT_EQ(SharedResultFields().Name, "");
    }
    if (e == Export::ReadIccid || e == Export::ReadCardType) {
      EXPECT_EQ(SharedResultFields().Iccid, "") << ExportName(e);
    }
  }
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), static_cast<long>(buffer.size()));
}

TEST_F(ExportsTest, NoReaderAttached) {
  const auto options = NoReaderOptions();
  ExpectSituation(Situation::NoReader, options);
  std::vector<char> buffer(kReceiveAreaSize, 0);
  EXPECT_EQ(WriteCard(options, "", "13800138000"), -3);  // arguments are checked first
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), static_cast<long>(buffer.size()));
  EXPECT_TRUE(emulator->Requests().empty());
}

TEST_F(ExportsTest, NonReaderUsbSerialIsNotTaken) {
  FakeSystem other;
  other.AddUsbSerial(0, "067b", "2303", emulator->SlavePath());  // another bridge
  other.AddUsbSerial(3, "0403", "6015", emulator->SlavePath());  // same vendor, other product
  ExchangeOptions options = NoReaderOptions();
  options.roots = other.roots();
  EXPECT_EQ(ListReaderCard(options), 0);
}

TEST_F(ExportsTest, PortHeldByAnotherProgram) {
  PortHolder holder(emulator->SlavePath());
  ASSERT_TRUE(holder.ok());
  ExpectSituation(Situation::PortHeld, Options());
  EXPECT_TRUE(emulator->Requests().empty());
}

// The reason a port could not be opened, for the client's messages: the
// device actually opened and the system's text, cleared by every exchange.
TEST_F(ExportsTest, OpenErrorNamesTheDeviceAndTheSystemsReason) {
  std::string openError = "left from before";
  ExchangeOptions options = Options();
  options.openError = &openError;
  std::vector<char> buffer(52200, 0);
  EXPECT_EQ(ListReaderCard(options), 1);
  EXPECT_EQ(openError, "");
  {
    PortHolder holder(emulator->SlavePath());
    ASSERT_TRUE(holder.ok());
    EXPECT_EQ(ReadCardType(options), -4);
    EXPECT_EQ(openError, "cannot open " + system->roots().dev + "/ttyUSB7: Device or resource busy");
  }
  EXPECT_EQ(WriteCard(options, "", "1"), -3);  // no port involved, still cleared
  EXPECT_EQ(openError, "");

  options.device = "/nonexistent-q48/ttyUSB0";
  EXPECT_EQ(ReadCard(options, buffer.data()), -1);
  EXPECT_EQ(openError, "cannot open /nonexistent-q48/ttyUSB0: No such file or directory");
  ExchangeOptions none = NoReaderOptions();
  none.openError = &openError;
  EXPECT_EQ(ReadIccid(none, buffer.data()), -1);
  EXPECT_EQ(openError, "") << "no reader found: nothing was opened";
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), static_cast<long>(buffer.size()));
}

TEST_F(ExportsTest, OpenErrorForADeviceWithoutPermission) {
  const std::string path = emulator->SlavePath();
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  auto readCardType = [&path](std::string* openError) {
    ExchangeOptions options;
    options.device = path;
    options.openError = openError;
    return ReadCardType(options);
  };
  std::string openError;
  if (geteuid() != 0) {
    EXPECT_EQ(readCardType(&openError), -4);
  } else {
    // Root ignores permissions: ask as an ordinary user, in a child that
    // fails before it would start a thread.
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(out[0]);
      if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
      const int result = readCardType(&openError);
      (void)!write(out[1], openError.data(), openError.size());
      _exit(result == -4 ? 0 : 11);
    }
    close(out[1]);
    char text[512];
    ssize_t n;
    while ((n = read(out[0], text, sizeof text)) > 0) openError.append(text, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_EQ(openError, "cannot open " + path + ": Permission denied");
  EXPECT_TRUE(emulator->Requests().empty());
}

TEST_F(ExportsTest, ListReaderCardIdentifiesTheReader) {
  EXPECT_EQ(ListReaderCard(Options()), 1);
  const auto requests = emulator->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].frame, Frame(BuildCommandFrame(0, 2, "D")));
  // Another program's identification text is not the reader's.
  auto profile = q48emu::SampleCard();
  profile.identText = "CPU-Q47-0001";
  emulator->SetProfile(profile);
  EXPECT_EQ(ListReaderCard(Options()), -1);
}

TEST_F(ExportsTest, ReadCardFillsElevenFieldsAtTheirOffsets) {
  std::vector<char> buffer(52200, 0);
  ASSERT_EQ(ReadCard(Options(), buffer.data()), 0);
  const auto requests = emulator->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].frame, Frame(BuildCommandFrame(10, 4, "")));

  const auto card = q48emu::SampleCard().idCard;
  // The name keeps the blank fill of its 15-character field.
  const std::string name = Utf8ToGbk(card.name);
  EXPECT_EQ(Field(buffer, 0), name + std::string(15 - name.size() / 2, ' '));
  EXPECT_EQ(Field(buffer, 100), card.sexCode);
  EXPECT_EQ(Field(buffer, 200), "\xBA\xBA\xD7\xE5");  // 01
  EXPECT_EQ(Field(buffer, 300), card.birthDate);
  EXPECT_EQ(Field(buffer, 400), Utf8ToGbk(card.address));
  EXPECT_EQ(Field(buffer, 500), card.idNumber);
  EXPECT_EQ(Field(buffer, 600), Utf8ToGbk(card.issuingAuthority));
  EXPECT_EQ(Field(buffer, 700), card.validFrom);
  EXPECT_EQ(Field(buffer, 800), card.validTo);
  EXPECT_EQ(Field(buffer, 900), "");

  // The portrait: Base64 of the JPEG the converter left on disk.
  const std::string photo = Field(buffer, 1000);
  std::vector<uint8_t> jpeg;
  Base64Error error;
  ASSERT_TRUE(Base64Decode(photo, &jpeg, &error)) << error.reason << " at " << error.offset;
  ASSERT_GT(jpeg.size(), 100u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  std::ifstream onDisk(portraitDir + "/pic.jpg", std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(onDisk)), std::istreambuf_iterator<char>());
  EXPECT_EQ(file, jpeg);
  std::ifstream wlt(portraitDir + "/pic.wlt", std::ios::binary | std::ios::ate);
  EXPECT_EQ(static_cast<long>(wlt.tellg()), 2048);
}

// No decoder, or no folder that is safe for the portrait: the read still
// succeeds, with the portrait of 2048 zero bytes.
TEST_F(ExportsTest, ReadCardWithoutDecoderOrSafeFolderGivesZeroPortrait) {
  std::vector<uint8_t> zeros(2048, 0);
  std::vector<char> expected(2733, 0);
  Base64Encode(expected.data(), zeros.data(), 2048);
  const std::string link = portraitDir + "-link";
  std::filesystem::create_directory_symlink(portraitDir, link);
  SystemPortraitConverter throughLink(link);
  throughLink.SetDecoderLibrary(StandInDecoderPath());
  portrait->SetDecoderLibrary("libq48-no-such-decoder.so");
  for (PortraitConverter* converter : {static_cast<PortraitConverter*>(portrait.get()),
                                       static_cast<PortraitConverter*>(&throughLink)}) {
    std::vector<char> buffer(52200, 0);
    ExchangeOptions options = Options();
    options.portrait = converter;
    ASSERT_EQ(ReadCard(options, buffer.data()), 0);
    EXPECT_EQ(Field(buffer, 1000), std::string(expected.data()));
    EXPECT_FALSE(Field(buffer, 0).empty());
  }
  EXPECT_FALSE(std::filesystem::exists(portraitDir + "/pic.wlt"));
  std::filesystem::remove(link);
}

TEST_F(ExportsTest, ReusedBufferKeepsOldTails) {
  std::vector<char> buffer(52200, 0);
  std::memset(buffer.data() + 100, 'Z', 5);
  ASSERT_EQ(ReadCard(Options(), buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data() + 100, 5), "1ZZZZ");  // no terminator written
}

TEST_F(ExportsTest, IccidAndCardType) {
  std::vector<char> buffer(60, 0);
  ASSERT_EQ(ReadIccid(Options(), buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data()), q48emu::SampleCard().iccid);

  auto profile = q48emu::SampleCard();
  for (int type : {0, 7, 255}) {
    profile.cardType = static_cast<uint8_t>(type);
    emulator->SetProfile(profile);
    EXPECT_EQ(ReadCardType(Options()), type);
  }
  const auto requests = emulator->Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].frame, Frame(BuildCommandFrame(3, 15, "")));
  EXPECT_EQ(requests[1].frame, Frame(BuildCommandFrame(3, 10, "\x01")));
}

TEST_F(ExportsTest, RejectedAnswers) {
  q48emu::Behaviour refuse;
  refuse.status = 1;
  emulator->SetBehaviour(refuse);
  ExpectSituation(Situation::Rejected, Options());
  // The refused first write step stops the second.
  EXPECT_TRUE(emulator->WrittenContents().empty());
}

TEST_F(ExportsTest, WriteCardSendsBothSteps) {
  ASSERT_EQ(WriteCard(Options(), "hello world 15 b", "13800138000"), 0);
  const auto requests = emulator->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].frame, Frame(BuildCommandFrame(3, 12, "+8613800138000")));
  EXPECT_EQ(requests[1].frame, Frame(BuildCommandFrame(3, 11, "hello world 15 b")));
  EXPECT_EQ(emulator->WrittenNumbers(), std::vector<std::string>{"+8613800138000"});
  EXPECT_EQ(emulator->WrittenContents(), std::vector<std::string>{"hello world 15 b"});

  // One-byte number: a 4-byte payload with a 16-bit count of 4.
  ASSERT_EQ(WriteCard(Options(), "x", "5"), 0);
  const auto one = emulator->Requests()[2];
  EXPECT_EQ(std::vector<uint8_t>(one.frame.begin() + 14, one.frame.end() - 3),
            (std::vector<uint8_t>{4, 0, '+', '8', '6', '5'}));

  // Numbers of 17 to 19 bytes are sent whole.
  const std::string longNumber(19, '9');
  ASSERT_EQ(WriteCard(Options(), std::string(19, 'c').c_str(), longNumber.c_str()), 0);
  EXPECT_EQ(emulator->WrittenNumbers().back(), "+86" + longNumber);
  EXPECT_EQ(emulator->WrittenContents().back(), std::string(19, 'c'));
}

TEST_F(ExportsTest, WriteCardArgumentLimits) {
  const size_t before = emulator->Requests().size();
  EXPECT_EQ(WriteCard(Options(), std::string(20, 'c').c_str(), "1"), -3);
  EXPECT_EQ(WriteCard(Options(), "", "1"), -3);
  EXPECT_EQ(WriteCard(Options(), "c", ""), -3);
  EXPECT_EQ(WriteCard(Options(), "c", std::string(20, '1').c_str()), -3);
  EXPECT_EQ(WriteCard(Options(), nullptr, "1"), -3);
  EXPECT_EQ(WriteCard(Options(), "c", nullptr), -3);
  EXPECT_EQ(emulator->Requests().size(), before);
}

TEST_F(ExportsTest, AnswersSplitDelayedAndAfterNoise) {
  q48emu::Behaviour odd;
  odd.splitAt = {1, 5, 9, 13, 200, 700, 1300};
  odd.pauseMs = 3;
  odd.noiseBefore = {0x00, 0x55, 0x55, 0x06, 0xFF, 0x55};
  emulator->SetBehaviour(odd);
  std::vector<char> buffer(52200, 0);
  ASSERT_EQ(ReadCard(Options(), buffer.data()), 0);
  EXPECT_EQ(Field(buffer, 500), q48emu::SampleCard().idCard.idNumber);
  EXPECT_EQ(ListReaderCard(Options()), 1);
  EXPECT_EQ(ReadCardType(Options()), 1);
}

TEST_F(ExportsTest, DamagedAnswerIsNeverTakenForAGoodOne) {
  for (auto damage : {&q48emu::Behaviour::badCrc, &q48emu::Behaviour::badEndByte, &q48emu::Behaviour::badStartByte,
                      &q48emu::Behaviour::badLength}) {
    q48emu::Behaviour bad;
    bad.*damage = true;
    emulator->PushBehaviour(bad);
    EXPECT_EQ(ListReaderCard(Options()), -1);  // nothing accepted within 3 s
    EXPECT_EQ(ListReaderCard(Options()), 1);   // the next good answer is taken
  }
}

TEST_F(ExportsTest, AnotherRequestsAnswerIsSetAside) {
  // A stale card-type answer (and a bare acknowledgement) arrive before the
  // real answer: they must not be taken as the card.
  q48emu::Behaviour stale;
  stale.answerGroup = 3;
  stale.answerCode = 10;
  emulator->PushBehaviour(stale);
  std::vector<char> buffer(52200, 0);
  SharedResultFields().Name = "previous holder";
  EXPECT_EQ(ReadCard(Options(), buffer.data()), -4);
  EXPECT_EQ(SharedResultFields().Name, "");

  emulator->SendRaw(q48emu::BuildResponseFrame(3, 10, 0, {9}));
  emulator->PushBehaviour(q48emu::Behaviour{});
  ASSERT_EQ(ReadCard(Options(), buffer.data()), 0);
  EXPECT_EQ(Field(buffer, 500), q48emu::SampleCard().idCard.idNumber);

  // A write step acknowledged with the other step's code is no acknowledgement.
  q48emu::Behaviour wrongAck;
  wrongAck.answerGroup = 3;
  wrongAck.answerCode = 11;
  emulator->PushBehaviour(wrongAck);
  EXPECT_EQ(WriteCard(Options(), "c", "1"), -4);
}

TEST_F(ExportsTest, ListReaderCardTakesABareAcknowledgement) {
  q48emu::Behaviour ack;
  ack.answerGroup = 0;
  ack.answerCode = 1;
  emulator->PushBehaviour(ack);
  EXPECT_EQ(ListReaderCard(Options()), 1);
}

TEST_F(ExportsTest, NoAnswerTimesOut) {
  q48emu::Behaviour silent;
  silent.noAnswer = true;
  emulator->SetBehaviour(silent);
  std::vector<char> buffer(52200, 0);
  auto timed = [](auto&& call, int16_t expected, double minSeconds, double maxSeconds) {
    const auto start = Clock::now();
    EXPECT_EQ(call(), expected);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, minSeconds);
    EXPECT_LE(seconds, maxSeconds);
  };
  timed([&] { return ListReaderCard(Options()); }, ResultOf(Situation::NoAnswer, Export::ListReaderCard), 3.0, 10.0);
  timed([&] { return ReadCard(Options(), buffer.data()); }, ResultOf(Situation::NoAnswer, Export::ReadCard), 5.0,
        30.0);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), static_cast<long>(buffer.size()));
}

TEST_F(ExportsTest, NoAnswerTimesOutSimQueries) {
  q48emu::Behaviour silent;
  silent.noAnswer = true;
  emulator->SetBehaviour(silent);
  std::vector<char> buffer(60, 0);
  SharedResultFields().Iccid = "old";
  EXPECT_EQ(ReadIccid(Options(), buffer.data()), ResultOf(Situation::NoAnswer, Export::ReadIccid));
  EXPECT_EQ(SharedResultFields().Iccid, "");
  EXPECT_EQ(ReadCardType(Options()), ResultOf(Situation::NoAnswer, Export::ReadCardType));
}

TEST_F(ExportsTest, NoAnswerToSecondWriteStep) {
  q48emu::Behaviour silent;
  silent.noAnswer = true;
  emulator->SetBehaviour(silent);
  emulator->PushBehaviour(q48emu::Behaviour{});  // step 1 answered, step 2 not
  EXPECT_EQ(WriteCard(Options(), "c", "1"), ResultOf(Situation::NoAnswer, Export::WriteCard));
  EXPECT_EQ(emulator->Requests().size(), 2u);
}

TEST_F(ExportsTest, UnplugDuringAnExchange) {
  q48emu::Behaviour unplug;
  unplug.hangUp = true;
  emulator->SetBehaviour(unplug);
  std::vector<char> buffer(52200, 0);
  const auto start = Clock::now();
  EXPECT_EQ(ReadCard(Options(), buffer.data()), -4);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 30.0);
  // The device is gone for good now: opening it fails.
  EXPECT_EQ(ReadCardType(Options()), -4);
}

TEST_F(ExportsTest, ConcurrentCallersAreSerialised) {
  q48emu::Behaviour slow;
  slow.pauseMs = 20;
  emulator->SetBehaviour(slow);
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<char> buffer(52200, 0);
      for (int i = 0; i < 3; ++i) {
        const int16_t result = (t % 2) ? ReadCardType(Options()) : ReadCard(Options(), buffer.data());
        if (result == ((t % 2) ? 1 : 0)) ++ok;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ok.load(), 12);
  EXPECT_EQ(emulator->Requests().size(), 12u);
}

}  // namespace
}  // namespace q48::test

namespace q48::test {
namespace {

// A device that floods the line while the exchange waits.
class Flood {
 public:
  Flood(q48emu::Emulator& emulator, bool preambleOnly) : emulator_(emulator) {
    thread_ = std::thread([this, preambleOnly] {
      std::mt19937 rng(11);
      std::vector<uint8_t> chunk(512);
      while (!stop_) {
        for (auto& b : chunk) b = preambleOnly ? 0x55 : static_cast<uint8_t>(rng());
        emulator_.SendRaw(chunk);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  ~Flood() {
    stop_ = true;
    thread_.join();
  }

 private:
  q48emu::Emulator& emulator_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(ExportsTest, EndlessPreambleOrGarbageNeitherHangsNorHidesTheAnswer) {
  for (bool preambleOnly : {true, false}) {
    Flood flood(*emulator, preambleOnly);
    // The reader's answer, between the flood's chunks, is still found.
    EXPECT_EQ(ListReaderCard(Options()), 1);
    // Without an answer the wait ends on time.
    q48emu::Behaviour silent;
    silent.noAnswer = true;
    emulator->PushBehaviour(silent);
    const auto start = Clock::now();
    EXPECT_EQ(ListReaderCard(Options()), -1);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10.0);
  }
}

}  // namespace
}  // namespace q48::test
