// q48: the reader from the command line, on the library's own exchange.
//
//   q48 [--port DEVICE] [--json] [--trace] list
//   q48 ... read-card [--photo PATH | --no-photo] [--decoder LIBRARY]
//   q48 ... iccid | card-type
//   q48 ... write --number N --content C
//
// Exit status: 0 success, 1 usage, 2 no reader, 3 the reader refused,
// 4 bad argument, 5 no answer / port unavailable.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Q48Reader.h"
#include "api/exchange.h"
#include "photo/portrait.h"
#include "terminal_text.h"

namespace {

const char kUsage[] =
    "usage: q48 [--port DEVICE] [--json] [--trace] COMMAND\n"
    "commands:\n"
    "  list                                 is a reader attached, and on which port\n"
    "  read-card [--photo PATH|--no-photo]  read the identity card (portrait to PATH, default portrait.jpg)\n"
    "            [--decoder LIBRARY]        portrait decoder library (default: the system's)\n"
    "  iccid                                read the SIM card's ICCID\n"
    "  card-type                            ask which card type is present\n"
    "  write --number N --content C         write a number and a text to the SIM card\n"
    "options:\n"
    "  --port DEVICE  use this device (/dev/ttyUSB0, a pty, COM7) instead of searching\n"
    "  --json         print one JSON object\n"
    "  --trace        print every frame sent and received to standard error\n";

enum Exit { kExitOk = 0, kExitUsage = 1, kExitNoReader = 2, kExitRefused = 3, kExitArgument = 4, kExitTimeout = 5 };

struct Explanation {
  const char* name;
  const char* text;
  int exit;
};

// What each code means for the command that returned it, and what to check.
Explanation Explain(const std::string& command, int code) {
  const bool list = command == "list";
  switch (code) {
    case 1:
      return {"Q48_READER_FOUND", "the reader answered and identified itself", kExitOk};
    case 0:
      if (list) return {"Q48_OK", "no reader attached: check the USB cable and that the FTDI driver is loaded", kExitNoReader};
      return {"Q48_OK", "done", kExitOk};
    case -1:
      if (list)
        return {"Q48_ERR_NO_READER",
                "a reader port is there but did not answer as a reader: is another program using it? "
                "is it a Q48?",
                kExitNoReader};
      return {"Q48_ERR_NO_READER",
              command == "read-card"
                  ? "no reader found, or its port is in use by another program: close other reader software"
                  : "no reader found: check the USB cable (on Linux: the dialout group, /dev/ttyUSB*)",
              kExitNoReader};
    case -2:
      return {"Q48_ERR_REJECTED", "the reader answered with a failure: is the SIM card inserted the right way?",
              kExitRefused};
    case -3:
      return {"Q48_ERR_ARGUMENT", "number and content must each be 1 to 19 bytes", kExitArgument};
    case -4:
      return {"Q48_ERR_TIMEOUT",
              "no answer in time, or the port is in use by another program: check the card and the cable",
              kExitTimeout};
    case -6:
      return {"Q48_ERR_READ_CARD", "the reader could not read the identity card: place it flat on the reader",
              kExitRefused};
    default:
      if (command == "card-type" && code > 1 && code <= 255) return {"card type", "the card type reported", kExitOk};
      return {"unknown", "unexpected result", kExitTimeout};
  }
}

std::string Hex(const uint8_t* bytes, size_t size) {
  std::string out;
  char digits[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
    out += digits;
  }
  return out;
}

const char* Meaning(uint8_t group, uint8_t code) {
  if (group == 0 && code == 1) return "acknowledgement";
  if (group == 0 && code == 2) return "reader identification";
  if (group == 10 && code == 4) return "read identity card";
  if (group == 3 && code == 15) return "read ICCID";
  if (group == 3 && code == 10) return "read card type";
  if (group == 3 && code == 12) return "write number";
  if (group == 3 && code == 11) return "write content";
  return "unknown request";
}

void Trace(bool sent, const uint8_t* bytes, size_t size) {
  if (sent) {
    // A whole frame: preamble, start, length, reserved, group, code ...
    const uint8_t group = size > 12 ? bytes[12] : 0, code = size > 13 ? bytes[13] : 0;
    std::fprintf(stderr, "\r> %s request (group %u, code %u), %zu bytes: %s\n", Meaning(group, code), group, code,
                 size, Hex(bytes, size).c_str());
  } else {
    // A checked message: group, code, status, data.
    const uint8_t group = bytes[0], code = size > 1 ? bytes[1] : 0, status = size > 2 ? bytes[2] : 0;
    const size_t shown = size > 64 ? 64 : size;
    std::fprintf(stderr, "\r< %s answer (group %u, code %u), status %u%s, %zu bytes: %s%s\n", Meaning(group, code),
                 group, code, status, status == 0 ? " (success)" : " (failure)", size, Hex(bytes, shown).c_str(),
                 shown < size ? " ..." : "");
  }
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::vector<uint8_t> DecodeBase64(const char* text) {
  std::vector<uint8_t> out;
  unsigned bits = 0;
  int count = 0;
  for (; *text; ++text) {
    const char c = *text;
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else break;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
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

}  // namespace

int main(int argc, char** argv) {
  q48::ExchangeOptions options;
  bool json = false, trace = false, savePhoto = true;
  std::string command, photoPath = "portrait.jpg", number, content, decoder;
  bool haveNumber = false, haveContent = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto take = [&](std::string& into) {
      if (value == nullptr) return false;
      into = value;
      ++i;
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--trace") {
      trace = true;
    } else if (arg == "--no-photo") {
      savePhoto = false;
    } else if (arg == "--port" || arg == "--photo" || arg == "--decoder" || arg == "--number" || arg == "--content") {
      std::string* into = arg == "--port" ? &options.device
                          : arg == "--photo" ? &photoPath
                          : arg == "--decoder" ? &decoder
                          : arg == "--number" ? &number
                                              : &content;
      if (!take(*into)) {
        std::fprintf(stderr, "q48: %s needs a value\n%s", arg.c_str(), kUsage);
        return kExitUsage;
      }
      haveNumber |= arg == "--number";
      haveContent |= arg == "--content";
    } else if (command.empty() && arg[0] != '-') {
      command = arg;
    } else {
      std::fprintf(stderr, "q48: unexpected argument %s\n%s", arg.c_str(), kUsage);
      return kExitUsage;
    }
  }
  if (command != "list" && command != "read-card" && command != "iccid" && command != "card-type" &&
      command != "write") {
    std::fprintf(stderr, command.empty() ? "q48: no command\n%s" : "q48: unknown command\n%s", kUsage);
    return kExitUsage;
  }
  if (command == "write" && (!haveNumber || !haveContent)) {
    std::fprintf(stderr, "q48: write needs --number and --content\n%s", kUsage);
    return kExitUsage;
  }
  if (trace) options.trace = Trace;
  q48::SystemPortraitConverter portrait;
  if (!decoder.empty()) portrait.SetDecoderLibrary(decoder);
  options.portrait = &portrait;

  std::vector<char> buffer(Q48_READ_CARD_BUFFER, 0);
  int code;
  {
    WaitIndicator waiting(q48cli::StderrIsTerminal() && !trace);
    if (command == "list") code = q48::ListReaderCard(options);
    else if (command == "read-card") code = q48::ReadCard(options, buffer.data());
    else if (command == "iccid") code = q48::ReadIccid(options, buffer.data());
    else if (command == "card-type") code = q48::ReadCardType(options);
    else code = q48::WriteCard(options, content.c_str(), number.c_str());
  }
  const Explanation explanation = Explain(command, code);

  // What to print: label, JSON key, value (UTF-8).
  std::vector<std::pair<std::string, std::pair<std::string, std::string>>> fields;
  if (command == "list") {
    const int32_t port = options.device.empty() ? q48::FindReaderPort(options.roots) : -1;
    if (!options.device.empty()) fields.push_back({"Device", {"device", options.device}});
    else if (port >= 0) fields.push_back({"Port", {"port", std::to_string(port)}});
  } else if (command == "read-card" && code == 0) {
    static const char* const labels[][2] = {
        {"Name", "name"},           {"Sex code", "sex_code"},          {"Ethnic group", "nation"},
        {"Birth date", "birth_date"}, {"Address", "address"},          {"ID number", "id_number"},
        {"Issued by", "issuing_authority"}, {"Valid from", "valid_from"}, {"Valid to", "valid_to"},
        {"Reserved", "reserved"}};
    for (int i = 0; i < 10; ++i)
      fields.push_back({labels[i][0], {labels[i][1], q48cli::GbkToUtf8(std::string(buffer.data() + 100 * i))}});
    const std::vector<uint8_t> jpeg = DecodeBase64(buffer.data() + 1000);
    const bool isJpeg = jpeg.size() > 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8;
    if (!isJpeg) {
      fields.push_back({"Portrait", {"photo", "(not converted: is the portrait decoder installed?)"}});
    } else if (savePhoto) {
      std::ofstream out(photoPath, std::ios::binary);
      out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
      fields.push_back({"Portrait", {"photo", out ? photoPath : "(could not write " + photoPath + ")"}});
    }
    fields.push_back({"Portrait bytes", {"photo_bytes", std::to_string(isJpeg ? jpeg.size() : 0)}});
  } else if (command == "iccid" && code == 0) {
    fields.push_back({"ICCID", {"iccid", q48cli::GbkToUtf8(std::string(buffer.data()))}});
  } else if (command == "card-type" && code >= 0) {
    fields.push_back({"Card type", {"card_type", std::to_string(code)}});
  }

  if (json) {
    std::string out = "{\"command\":" + JsonString(command) + ",\"result\":" + std::to_string(code) +
                      ",\"result_name\":" + JsonString(explanation.name) +
                      ",\"message\":" + JsonString(explanation.text) + ",\"fields\":{";
    for (size_t i = 0; i < fields.size(); ++i)
      out += (i ? "," : "") + JsonString(fields[i].second.first) + ":" + JsonString(fields[i].second.second);
    out += "}}\n";
    std::fputs(out.c_str(), stdout);
  } else {
    for (const auto& field : fields) std::printf("%-15s %s\n", (field.first + ":").c_str(), field.second.second.c_str());
    std::printf("%-15s %d %s: %s\n", "Result:", code, explanation.name, explanation.text);
  }
  return command == "card-type" && code >= 0 ? kExitOk : explanation.exit;
}
