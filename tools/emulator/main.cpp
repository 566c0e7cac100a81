// q48-emulator: plays a Q48 reader holding a card (the built-in sample card
// or a JSON profile) on a new pty or a serial port. Prints the line's name
// on stdout, logs each exchange on stderr (and to a file on request), runs
// until it is asked to stop.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "emulator.h"
#include "profile_json.h"
#include "tool_platform.h"

namespace {

const char kSampleDescription[] =
    "The sample card that ships with the project: identity card with the drawn portrait, a SIM card that "
    "accepts writes.";

std::string Usage() {
  return std::string("usage: q48-emulator [options]\n") + q48emu::tool::kAbout + q48emu::tool::kLineUsage +
         "  --profile FILE       serve the card in this JSON profile (default: the sample card)\n"
         "  --print-profile      print the profile as JSON and exit\n"
         "  --log FILE           append the exchange log to FILE as well as stderr\n"
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
}

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

// Timestamped lines to stderr and, when asked, to a file; the emulator's
// thread and the main thread both write.
class Logger {
 public:
  ~Logger() {
    if (file_ != nullptr) std::fclose(file_);
  }

  bool OpenFile(const std::string& path, std::string* error) {
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) *error = path + ": " + std::strerror(errno);
    return file_ != nullptr;
  }

  void Write(const std::string& line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::lock_guard<std::mutex> lock(mutex_);
    char stamp[16] = "";
    // localtime's buffer is shared; the lock covers it too.
    if (const std::tm* local = std::localtime(&seconds)) std::strftime(stamp, sizeof stamp, "%H:%M:%S", local);
    std::fprintf(stderr, "%s.%03d %s\n", stamp, static_cast<int>(millis), line.c_str());
    std::fflush(stderr);
    if (file_ != nullptr) {
      // Flushed at once: the log is read while the emulator runs.
      std::fprintf(file_, "%s.%03d %s\n", stamp, static_cast<int>(millis), line.c_str());
      std::fflush(file_);
    }
  }

  static void Callback(const std::string& line, void* self) { static_cast<Logger*>(self)->Write(line); }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "q48-emulator: %s\n%s", message.c_str(), Usage().c_str());
  return 2;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "q48-emulator: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  q48emu::tool::PrepareProcess();

  q48emu::Behaviour behaviour;
  long hangUpAfter = -1;
  bool refuseWrites = false;
  bool printProfile = false;
  std::string profilePath, logPath, port;

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    auto needsNumber = [&](long max) {
      if (!value || !ParseNumber(value, max, &number)) return false;
      ++i;
      return true;
    };
    auto needsText = [&](std::string* out) {
      if (!value || !*value) return false;
      *out = value;
      ++i;
      return true;
    };
    if (option == "--help" || option == "-h") {
      std::fputs(Usage().c_str(), stdout);
      return 0;
    } else if (option == "--profile") {
      if (!needsText(&profilePath)) return UsageError("--profile needs a file");
    } else if (option == "--print-profile") {
      printProfile = true;
    } else if (option == "--log") {
      if (!needsText(&logPath)) return UsageError("--log needs a file");
    } else if (option == "--com") {
      if (!needsText(&port)) return UsageError("--com needs a port");
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
      if (!needsNumber(255)) return UsageError("--status needs 0..255");
      behaviour.status = static_cast<uint8_t>(number);
    } else if (option == "--split") {
      if (!value || !ParseList(value, &behaviour.splitAt)) return UsageError("--split needs offsets like 10,40");
      ++i;
    } else if (option == "--pause-ms") {
      if (!needsNumber(60000)) return UsageError("--pause-ms needs 0..60000");
      behaviour.pauseMs = static_cast<int>(number);
    } else if (option == "--two-frames") {
      behaviour.twoFrames = true;
    } else if (option == "--noise") {
      if (!needsNumber(4096)) return UsageError("--noise needs 0..4096");
      // Never 0x55, so the noise cannot pass for a preamble.
      for (long k = 0; k < number; ++k) behaviour.noiseBefore.push_back(static_cast<uint8_t>(0xA0 + (k * 7) % 32));
    } else if (option == "--pace") {
      behaviour.pace = true;
    } else if (option == "--hang-up-after") {
      if (!needsNumber(1000000)) return UsageError("--hang-up-after needs a count");
      hangUpAfter = number;
    } else if (option == "--refuse-writes") {
      refuseWrites = true;
    } else {
      return UsageError("unknown option " + option);
    }
  }

  q48emu::CardProfile profile = q48emu::SampleCard();
  std::string description = kSampleDescription;
  std::string source = "the built-in sample card";
  if (!profilePath.empty()) {
    std::string error;
    description.clear();
    if (!q48emu::LoadProfile(profilePath, &profile, &error, &description)) return Failure(error);
    source = "profile " + profilePath;
  }
  if (refuseWrites) profile.acceptWrites = false;
  if (printProfile) {
    std::fputs(q48emu::ProfileToJson(profile, description).c_str(), stdout);
    return 0;
  }
  if (port.empty() && !q48emu::tool::kHasPty) return UsageError("name the COM port to serve with --com");

  Logger logger;
  if (!logPath.empty()) {
    std::string error;
    if (!logger.OpenFile(logPath, &error)) return Failure("cannot open the log: " + error);
  }

  q48emu::Emulator emulator(profile);
  emulator.SetLog(&Logger::Callback, &logger);
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

  std::string error, line = port;
  if (port.empty()) {
    if (!emulator.OpenPty(&error)) return Failure("cannot open a pty: " + error);
    line = emulator.SlavePath();
  } else if (!emulator.OpenPort(port, &error)) {
    return Failure(error);
  }
  emulator.Start();
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  logger.Write("serving " + line + " with " + source + (description.empty() ? "" : ": " + description));

  const std::string stop = q48emu::tool::WaitForStop();
  logger.Write("stopping on " + stop);
  emulator.Stop();
  return 0;
}
