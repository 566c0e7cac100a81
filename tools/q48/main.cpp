// q48: the reader from the command line, on the library's own exchange.
//
//   q48 [--port DEVICE] [--json] [--trace] list
//   q48 ... read-card [--photo PATH | --no-photo] [--decoder LIBRARY]
//   q48 ... iccid | card-type
//   q48 ... write --number N --content C
//
// Results go to standard output; when a command fails, its explanation goes
// to standard error as well. The exit statuses are q48tool::ExitStatus.
#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.h"
#include "country_names.h"
#include "hex.h"
#include "photo/portrait.h"
#include "tool_platform.h"
#include "protocol/card_fields.h"
#include "protocol/frame.h"
#include "protocol/requests.h"

namespace {

using q48tool::Command;

using q48tool::Hex;

// Each frame sent and each message received, named from the request table.
// Traces end up in support tickets: the bytes of personal data (written
// texts, the holder's record, the ICCID) are left out, only counted.
void Trace(bool sent, const uint8_t* bytes, size_t size) {
  // A sent frame has its group and code after the framing; a checked
  // message starts with them, then the status.
  const size_t at = sent ? q48::kMessageOffset : 0;
  const uint8_t group = size > at ? bytes[at] : 0, code = size > at + 1 ? bytes[at + 1] : 0;
  const q48::RequestKind* kind = q48::FindRequestKind(group, code);
  const char* name = kind != nullptr ? kind->name : "unknown request";
  if (sent) {
    // Framing, group and code; the payload; CRC and end byte.
    const size_t head = q48::kBodyOffset, tail = q48::kTrailerSize;
    std::string shown = Hex(bytes, size);
    if (kind != nullptr && q48::SendsPersonalData(*kind) && size > head + tail)
      shown = Hex(bytes, head) + " (" + std::to_string(size - head - tail) + " bytes of text left out) " +
              Hex(bytes + size - tail, tail);
    std::fprintf(stderr, "\r> %s request (group %u, code %u), %zu bytes: %s\n", name, group, code, size,
                 shown.c_str());
  } else {
    const uint8_t status = size > 2 ? bytes[2] : 0;
    const size_t head = 3;  // group, code, status
    std::string shown;
    if (kind != nullptr && q48::AnswerIsPersonalData(*kind) && size > head) {
      shown = Hex(bytes, head) + " (" + std::to_string(size - head) + " bytes of card data left out)";
    } else {
      shown = Hex(bytes, size, 64);
    }
    std::fprintf(stderr, "\r< %s answer (group %u, code %u), status %u%s, %zu bytes: %s\n", name, group, code,
                 status, status == 0 ? " (success)" : " (failure)", size, shown.c_str());
  }
}

// "waiting..." on a terminal while an exchange runs (up to 30 s).
class WaitIndicator {
 public:
  explicit WaitIndicator(bool enabled) {
    if (!enabled) return;
    thread_ = std::thread([this] {
      const auto start = std::chrono::steady_clock::now();
      std::unique_lock<std::mutex> lock(mutex_);
      while (!done_) {
        if (cv_.wait_for(lock, std::chrono::milliseconds(500), [this] { return done_; })) break;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
        std::fprintf(stderr, "\rwaiting for the reader... %lds ", static_cast<long>(seconds.count()));
        shown_ = true;
      }
    });
  }
  ~WaitIndicator() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
    if (shown_) std::fprintf(stderr, "\r%40s\r", "");
  }

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool shown_ = false;
};

// Labels for people, by field key: the card's from its kind's field table,
// the others here.
const char* Label(const q48::CardKindInfo& kind, const std::string& key) {
  for (const q48::CardField& field : kind)
    if (field.key != nullptr && key == field.key) return field.label;
  static const char* const labels[][2] = {{"photo", "Portrait"}, {"photo_bytes", "Portrait bytes"},
                                          {"iccid", "ICCID"},    {"card_type", "Card type"},
                                          {"port", "Port"},      {"device", "Device"}};
  for (const auto& label : labels)
    if (key == label[0]) return label[1];
  return nullptr;
}

// The kind a result names; resident for a result without one.
const q48::CardKindInfo& KindNamed(const nlohmann::ordered_json& fields) {
  const auto named = fields.find("card_kind");
  if (named != fields.end())
    for (const q48::CardKindInfo& kind : q48::kCardKinds)
      if (named->get<std::string>() == kind.key) return kind;
  return q48::kCardKinds[0];
}

// A field's text for people: a nationality code gets its country's names.
std::string Shown(const std::string& key, const std::string& value) {
  if (key != "nationality") return value;
  const q48tool::CountryName* country = q48tool::FindCountry(value);
  return country == nullptr ? value : value + " (" + country->english + ", " + country->chinese + ")";
}

}  // namespace

int main(int argc, char** argv) {
  q48tool::UseUtf8Console();
  CLI::App app{"q48: the Q48 reader from the command line.", "q48"};
  app.set_version_flag("--version", "q48 " Q48_VERSION);
  std::string exitStatuses;
  for (const q48tool::ExitStatusMeaning& exit : q48tool::kExitStatusMeanings)
    exitStatuses += (exitStatuses.empty() ? "Exit status: " : ", ") + std::to_string(exit.status) + " " + exit.meaning;
  app.footer(exitStatuses + ".");
  app.failure_message(CLI::FailureMessage::help);
  app.require_subcommand(1);
  app.fallthrough();  // the common options may also follow the command

  q48::ExchangeOptions options;
  bool json = false, trace = false, noPhoto = false;
  std::string photoPath = "portrait.jpg", decoder, number, content;
  app.add_option("--port", options.device, "use this device (/dev/ttyUSB0, a pty, COM7) instead of searching");
  app.add_flag("--json", json, "print one JSON object");
  app.add_flag("--trace", trace, "print every frame sent and received to standard error");

  struct Entry {
    Command command;
    CLI::App* app;
  };
  std::vector<Entry> commands = {
      {Command::List, app.add_subcommand("list", "is a reader attached, and on which port")},
      {Command::ReadCard, app.add_subcommand("read-card", "read the identity card")},
      {Command::Iccid, app.add_subcommand("iccid", "read the SIM card's ICCID")},
      {Command::CardType, app.add_subcommand("card-type", "ask which card type is present")},
      {Command::Write, app.add_subcommand("write", "write a number and a text to the SIM card")}};
  CLI::App* readCard = commands[1].app;
  CLI::Option* photo = readCard->add_option("--photo", photoPath, "save the portrait here")->capture_default_str();
  readCard->add_flag("--no-photo", noPhoto, "do not save the portrait")->excludes(photo);
  readCard->add_option("--decoder", decoder, "portrait decoder library (default: the system's)");
  CLI::App* write = commands[4].app;
  write->add_option("--number", number, "the number, written as +86 and the number")->required();
  write->add_option("--content", content, "the text")->required();

  const std::vector<std::string> args = q48tool::Utf8Arguments(argc, argv);
  std::vector<char*> pointers;
  for (const std::string& arg : args) pointers.push_back(const_cast<char*>(arg.c_str()));
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? q48tool::kExitOk : q48tool::kExitUsage;
  }
  Command command = Command::List;
  for (const Entry& entry : commands)
    if (entry.app->parsed()) command = entry.command;

  q48tool::WriteTexts texts;
  if (command == Command::Write && (!q48tool::Utf8ToGbk(number, &texts.number) ||
                                    !q48tool::Utf8ToGbk(content, &texts.content))) {
    std::fprintf(stderr, "q48: the number and the content must be texts that GBK can hold\n");
    return q48tool::kExitArgument;
  }
  if (trace) options.trace = Trace;
  q48::SystemPortraitConverter portrait;
  if (!decoder.empty()) portrait.SetDecoderLibrary(decoder);
  options.portrait = &portrait;

  q48tool::CommandResult result;
  {
    WaitIndicator waiting(q48tool::StderrIsTerminal() && !trace);
    result = q48tool::RunCommand(command, options, texts);
  }

  // The saved portrait is q48's own addition to the shared result.
  nlohmann::ordered_json& fields = result.object["fields"];
  if (command == Command::ReadCard && result.code == 0) {
    if (result.jpeg.empty()) {
      fields["photo"] = "(not converted: is the portrait decoder installed?)";
    } else if (!noPhoto) {
      std::ofstream out(photoPath, std::ios::binary);
      out.write(reinterpret_cast<const char*>(result.jpeg.data()), static_cast<std::streamsize>(result.jpeg.size()));
      out.close();
      fields["photo"] = out ? photoPath : "(could not write " + photoPath + ")";
    }
  }

  const q48tool::Explanation& explanation = result.explanation;
  const bool ok = explanation.exitStatus == q48tool::kExitOk;
  if (json) {
    std::printf("%s\n", q48tool::Dump(result.object).c_str());
  } else {
    const q48::CardKindInfo& kind = KindNamed(fields);
    // The values in one column: as wide as the longest label shown, at least
    // the 15 columns that every earlier version printed.
    int width = 15;
    for (const auto& item : fields.items())
      if (const char* label = Label(kind, item.key()); label != nullptr)
        width = std::max(width, static_cast<int>(std::strlen(label)) + 1);
    for (const auto& [key, value] : fields.items()) {
      if (key == "card_kind") {
        const std::string mark = fields.contains("kind_mark") ? " (mark " + fields["kind_mark"].get<std::string>() + ")" : "";
        std::printf("%-*s %s%s\n", width, "Card:", kind.title, mark.c_str());
        continue;
      }
      const char* label = Label(kind, key);
      if (label != nullptr)
        std::printf("%-*s %s\n", width, (std::string(label) + ":").c_str(), Shown(key, value.get<std::string>()).c_str());
    }
    std::printf("%-*s %d %s%s%s\n", width, "Result:", result.code, explanation.name.c_str(), ok ? ": " : "",
                ok ? explanation.message.c_str() : "");
  }
  std::fflush(stdout);
  if (!ok) std::fprintf(stderr, "q48: %s\n", explanation.message.c_str());
  return explanation.exitStatus;
}
