// q48-emulator: plays a Q48 reader holding the sample card on a pty. Prints
// the pty's path on stdout, logs each exchange on stderr, runs until SIGINT
// or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "emulator.h"

namespace {

const char kUsage[] =
    "usage: q48-emulator [options]\n"
    "Serves the sample card on a new pty and prints its path.\n"
    "  --no-answer          read requests, never answer\n"
    "  --bad-crc            answer with a damaged CRC\n"
    "  --bad-end            answer with a wrong end byte\n"
    "  --bad-start          answer with a wrong start byte\n"
    "  --bad-length         answer with a length field one too large\n"
    "  --status N           answer with status byte N\n"
    "  --split N[,M...]     write each answer in pieces cut at these offsets\n"
    "  --pause-ms N         pause before each piece (and each answer)\n"
    "  --two-frames         send each answer twice in one write\n"
    "  --noise N            send N bytes of noise before each answer\n"
    "  --pace               pace answers at 115200 baud\n"
    "  --hang-up-after N    answer N requests, then hang up at the next\n"
    "  --refuse-writes      answer SIM writes with status 1\n";

bool ParseNumber(const char* text, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseList(const char* text, std::vector<size_t>* out) {
  std::string list(text);
  size_t from = 0;
  while (from <= list.size()) {
    const size_t comma = std::min(list.find(',', from), list.size());
    long value;
    if (!ParseNumber(list.substr(from, comma - from).c_str(), 1L << 20, &value)) return false;
    out->push_back(static_cast<size_t>(value));
    from = comma + 1;
  }
  return true;
}

void LogLine(const std::string& line, void*) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::fprintf(stderr, "%s.%03d %s\n", stamp, static_cast<int>(millis), line.c_str());
}

int Fail(const char* message, const char* argument) {
  std::fprintf(stderr, "q48-emulator: %s%s\n%s", message, argument ? argument : "", kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  q48emu::CardProfile profile = q48emu::SampleCard();
  q48emu::Behaviour behaviour;
  long hangUpAfter = -1;

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    auto needsNumber = [&](long max) {
      if (!value || !ParseNumber(value, max, &number)) return false;
      ++i;
      return true;
    };
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (option == "--no-answer") {
      behaviour.noAnswer = true;
    } else if (option == "--bad-crc") {
      behaviour.badCrc = true;
    } else if (option == "--bad-end") {
      behaviour.badEndByte = true;
    } else if (option == "--bad-start") {
      behaviour.badStartByte = true;
    } else if (option == "--bad-length") {
      behaviour.badLength = true;
    } else if (option == "--status") {
      if (!needsNumber(255)) return Fail("--status needs 0..255", nullptr);
      behaviour.status = static_cast<uint8_t>(number);
    } else if (option == "--split") {
      if (!value || !ParseList(value, &behaviour.splitAt)) return Fail("--split needs offsets like 10,40", nullptr);
      ++i;
    } else if (option == "--pause-ms") {
      if (!needsNumber(60000)) return Fail("--pause-ms needs 0..60000", nullptr);
      behaviour.pauseMs = static_cast<int>(number);
    } else if (option == "--two-frames") {
      behaviour.twoFrames = true;
    } else if (option == "--noise") {
      if (!needsNumber(4096)) return Fail("--noise needs 0..4096", nullptr);
      // Never 0x55, so the noise cannot pass for a preamble.
      for (long k = 0; k < number; ++k) behaviour.noiseBefore.push_back(static_cast<uint8_t>(0xA0 + (k * 7) % 32));
    } else if (option == "--pace") {
      behaviour.pace = true;
    } else if (option == "--hang-up-after") {
      if (!needsNumber(1000000)) return Fail("--hang-up-after needs a count", nullptr);
      hangUpAfter = number;
    } else if (option == "--refuse-writes") {
      profile.acceptWrites = false;
    } else {
      return Fail("unknown option ", argv[i]);
    }
  }

  // Block the stop signals before the emulator's thread starts, so that it
  // inherits the mask and only sigwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  q48emu::Emulator emulator(profile);
  emulator.SetLog(LogLine, nullptr);
  if (hangUpAfter >= 0) {
    // The pushed behaviours answer the first N requests; the standing one
    // hangs up at the next.
    for (long k = 0; k < hangUpAfter; ++k) emulator.PushBehaviour(behaviour);
    q48emu::Behaviour hangUp;
    hangUp.hangUp = true;
    emulator.SetBehaviour(hangUp);
  } else {
    emulator.SetBehaviour(behaviour);
  }

  std::string error;
  if (!emulator.OpenPty(&error)) {
    std::fprintf(stderr, "q48-emulator: cannot open a pty: %s\n", error.c_str());
    return 1;
  }
  emulator.Start();
  std::printf("%s\n", emulator.SlavePath().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  LogLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"), nullptr);
  emulator.Stop();
  return 0;
}
