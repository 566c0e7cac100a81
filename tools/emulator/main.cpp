// q48-emulator: plays a Q48 reader holding a card (the built-in sample card
// or a JSON profile) on a new pty or a serial port. Prints the line's name
// on stdout, logs each exchange on stderr (and to a file on request), takes
// card commands on stdin, runs until it is asked to stop.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"
#include "log.h"
#include "profile_json.h"
#include "tool_platform.h"

namespace {

const char kSampleDescription[] =
    "The sample card that ships with the project: identity card with the drawn portrait, a SIM card that "
    "accepts writes.";
const char kCommands[] = "remove, place [PROFILE]";

// Timestamped lines to stderr and, when asked, to a file; the emulator's
// thread, the command thread and the main thread all write.
using Logger = q48tool::Log;

// Reads commands from standard input, one a line, on a thread of its own
// while the main thread waits for a stop. A read of standard input cannot be
// cut short on every platform, so Finish does not wait for it: from then on
// no command is carried out, and a thread still reading ends with the process.
// What the thread uses lives in a shared block that outlasts this object.
class CommandReader {
 public:
  explicit CommandReader(std::function<void(const std::string&)> carryOut)
      : shared_(std::make_shared<Shared>()) {
    shared_->carryOut = std::move(carryOut);
  }
  ~CommandReader() { Finish(); }
  CommandReader(const CommandReader&) = delete;
  CommandReader& operator=(const CommandReader&) = delete;

  void Start() {
    thread_ = std::thread([shared = shared_] {
      std::string line;
      while (std::getline(std::cin, line)) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->finished) return;
        shared->carryOut(line);
      }
      // End of input is no reason to stop: the reader keeps serving.
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->ended = true;
    });
  }

  void Finish() {
    bool ended;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->finished = true;
      ended = shared_->ended;
    }
    if (!thread_.joinable()) return;
    if (ended) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }

 private:
  struct Shared {
    std::mutex mutex;
    bool finished = false;
    bool ended = false;
    std::function<void(const std::string&)> carryOut;
  };
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// One command line: "remove", "place" or "place PROFILE" (a path, in double
// quotes when it holds blanks at its ends). Mistakes are reported and change
// nothing.
void CarryOut(const std::string& input, q48emu::Emulator& emulator, Logger& logger, bool refuseWrites) {
  const std::string line = Trim(input);
  if (line.empty()) return;
  const size_t blank = line.find_first_of(" \t");
  const std::string command = line.substr(0, blank);
  std::string argument = blank == std::string::npos ? std::string() : Trim(line.substr(blank));
  if (command == "remove" && argument.empty()) {
    emulator.RemoveCard();
  } else if (command == "place" && argument.empty()) {
    emulator.PlaceCard();
  } else if (command == "place") {
    if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"')
      argument = argument.substr(1, argument.size() - 2);
    q48emu::CardProfile profile;
    std::string error;
    std::vector<std::string> warnings;
    if (!q48emu::LoadProfile(argument, &profile, &error, nullptr, &warnings)) {
      logger.Write("place: " + error + "; nothing changed on the reader");
      return;
    }
    for (const std::string& warning : warnings) logger.Write("place: " + warning);
    if (refuseWrites) profile.acceptWrites = false;
    emulator.PlaceCard(profile);
  } else {
    logger.Write("unknown command \"" + line + "\"; the commands are: " + kCommands);
  }
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "q48-emulator: %s\n", message.c_str());
  return 1;
}

// Noise never holds 0x55, so it cannot pass for a preamble.
std::vector<uint8_t> Noise(int count) {
  std::vector<uint8_t> bytes;
  for (int k = 0; k < count; ++k) bytes.push_back(static_cast<uint8_t>(0xA0 + (k * 7) % 32));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  q48tool::CatchStopRequests();
  q48tool::UseUtf8Console();  // the profile's texts and the log are UTF-8

  q48emu::Behaviour behaviour;
  int status = 0, noise = 0, hangUpAfter = -1;
  bool refuseWrites = false, printProfile = false;
  std::string profilePath, logPath, port;

  const CLI::Validator notEmpty([](std::string& value) { return value.empty() ? "may not be empty" : ""; }, "");
  CLI::App app(q48emu::kLineNaming.about, "q48-emulator");
  std::string kinds;
  for (const q48emu::detail::CardLayout& layout : q48emu::detail::kCardLayouts)
    kinds += (kinds.empty() ? "" : ", ") + std::string(layout.kind);
  app.footer(
      "Profiles that ship with it (share/q48reader/profiles; the Windows kit's profiles):\n"
      "  " Q48_PROFILES "\n"
      "A profile's \"id_card\" names its \"card_kind\": " + kinds + " (default resident).\n"
      "Commands on standard input, one a line:\n"
      "  remove                no card on the reader: read-card requests fail\n"
      "  place                 the card again\n"
      "  place PROFILE         another card, from a JSON profile\n"
      "It runs until Ctrl+C or SIGTERM. Exit status: 0; 1 profile, log or port unusable; 2 usage.");
  app.get_formatter()->label("Usage", "usage");
  app.get_formatter()->column_width(24);
  app.set_version_flag("--version", "q48-emulator " Q48_VERSION);
  app.add_option("--com", port, q48emu::kLineNaming.help)->type_name(q48emu::kLineNaming.valueName)->check(notEmpty);
  app.add_option("--profile", profilePath, "serve the card in this JSON profile (default: the sample card)")
      ->type_name("FILE")
      ->check(notEmpty);
  app.add_flag("--print-profile", printProfile, "print the profile as JSON and exit");
  app.add_option("--log", logPath, "append the exchange log to FILE as well as stderr")
      ->type_name("FILE")
      ->check(notEmpty);
  app.add_flag("--no-answer", behaviour.noAnswer, "read requests, never answer");
  app.add_flag("--bad-crc", behaviour.badCrc, "answer with a damaged CRC");
  app.add_flag("--bad-end", behaviour.badEndByte, "answer with a wrong end byte");
  app.add_flag("--bad-start", behaviour.badStartByte, "answer with a wrong start byte");
  app.add_flag("--bad-length", behaviour.badLength, "answer with a length field one too large");
  // The ranges are in the help texts; the checks need not repeat them there.
  const auto range = [](auto low, auto high) { return CLI::Range(low, high).description(""); };
  app.add_option("--status", status, "answer with status byte N (0 to 255)")->type_name("N")->check(range(0, 255));
  app.add_option("--split", behaviour.splitAt, "write each answer in pieces cut at these offsets")
      ->type_name("N[,M...]")
      ->delimiter(',')
      ->allow_extra_args(false)
      ->check(range(size_t{0}, size_t{1} << 20));
  app.add_option("--pause-ms", behaviour.pauseMs, "pause before each piece (and each answer), 0 to 60000")
      ->type_name("N")
      ->check(range(0, 60000));
  app.add_flag("--two-frames", behaviour.twoFrames, "send each answer twice in one write");
  app.add_option("--noise", noise, "send N bytes of noise before each answer, 0 to 4096")
      ->type_name("N")
      ->check(range(0, 4096));
  app.add_flag("--pace", behaviour.pace, "pace answers at 115200 baud");
  app.add_option("--hang-up-after", hangUpAfter, "answer N requests, then hang up at the next")
      ->type_name("N")
      ->check(range(0, 1000000));
  app.add_flag("--refuse-writes", refuseWrites, "answer SIM writes with status 1");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& done) {
    return app.exit(done);  // --help, --version
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "q48-emulator: %s\n%s", error.what(), app.help().c_str());
    return 2;
  }
  behaviour.status = static_cast<uint8_t>(status);
  behaviour.noiseBefore = Noise(noise);

  q48emu::CardProfile profile = q48emu::SampleCard();
  std::string description = kSampleDescription;
  std::string source = "the built-in sample card";
  if (!profilePath.empty()) {
    std::string error;
    std::vector<std::string> warnings;
    description.clear();
    if (!q48emu::LoadProfile(profilePath, &profile, &error, &description, &warnings)) return Failure(error);
    for (const std::string& warning : warnings) std::fprintf(stderr, "q48-emulator: %s\n", warning.c_str());
    source = "profile " + profilePath;
  }
  if (refuseWrites) profile.acceptWrites = false;
  if (printProfile) {
    std::fputs(q48emu::ProfileToJson(profile, description).c_str(), stdout);
    return 0;
  }
  if (port.empty() && !q48emu::kLineNaming.hasPty) {
    std::fprintf(stderr, "q48-emulator: name the COM port to serve with --com\n%s", app.help().c_str());
    return 2;
  }

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
    for (int k = 0; k < hangUpAfter; ++k) emulator.PushBehaviour(behaviour);
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
  // Logged before the line is named: whoever reads the name may use it at once.
  logger.Write("serving " + line + " with " + source + (description.empty() ? "" : ": " + description));
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);

  CommandReader commands(
      [&](const std::string& command) { CarryOut(command, emulator, logger, refuseWrites); });
  commands.Start();
  const std::string stop = q48tool::WaitForStopRequest();
  commands.Finish();
  logger.Write("stopping on " + stop);
  emulator.Stop();
  return 0;
}
