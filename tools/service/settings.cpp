#include "settings.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <boost/asio/ip/address.hpp>
#include <nlohmann/json.hpp>

namespace q48service {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Decimal port 0..65535 (0 only when allowZero), all digits.
bool ParsePort(const std::string& text, bool allowZero, uint16_t* port) {
  if (text.size() > 5 || !AllDigits(text)) return false;
  const long value = std::stol(text);
  if (value > 65535 || (value == 0 && !allowZero)) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ApplyListen(const std::string& value, Settings* settings, std::string* why) {
  return ParseListen(value, &settings->listenHost, &settings->listenPort, why);
}

std::string ShowListen(const Settings& settings) {
  const bool v6 = settings.listenHost.find(':') != std::string::npos;
  return (v6 ? "[" + settings.listenHost + "]" : settings.listenHost) + ":" + std::to_string(settings.listenPort);
}

bool ApplyDevice(const std::string& value, Settings* settings, std::string*) {
  settings->device = value;  // whether it opens is the exchange's to say, with the system's reason
  return true;
}

std::string ShowDevice(const Settings& settings) { return settings.device; }

bool ApplyOrigin(const std::string& value, Settings* settings, std::string* why) {
  std::string origin;
  if (!NormaliseOrigin(value, &origin, why)) return false;
  settings->allowedOrigins.push_back(origin);
  return true;
}

std::string ShowOrigins(const Settings& settings) {
  std::string out;
  for (const std::string& origin : settings.allowedOrigins) out += (out.empty() ? "" : " ") + origin;
  return out;
}

bool ApplyWatchInterval(const std::string& value, Settings* settings, std::string* why) {
  if (!AllDigits(value) || value.size() > 9 || std::stol(value) < kMinWatchIntervalMs ||
      std::stol(value) > kMaxWatchIntervalMs) {
    *why = "give " + std::to_string(kMinWatchIntervalMs) + " to " + std::to_string(kMaxWatchIntervalMs) +
           " milliseconds";
    return false;
  }
  settings->watchIntervalMs = static_cast<int>(std::stol(value));
  return true;
}

std::string ShowWatchInterval(const Settings& settings) { return std::to_string(settings.watchIntervalMs); }

bool ApplyIdleExit(const std::string& value, Settings* settings, std::string* why) {
  if (!AllDigits(value) || value.size() > 9 || std::stol(value) > kMaxIdleExitSeconds) {
    *why = "give 0 (never) to " + std::to_string(kMaxIdleExitSeconds) + " seconds";
    return false;
  }
  settings->idleExitSeconds = static_cast<int>(std::stol(value));
  return true;
}

std::string ShowIdleExit(const Settings& settings) { return std::to_string(settings.idleExitSeconds); }
bool ApplyDecoder(const std::string& value, Settings* settings, std::string* why) {
  // A full path, so that no search (and no folder a user may write to) has
  // a say in which code the service runs.
  if (!std::filesystem::path(value).is_absolute()) {
    *why = "give the decoder library's full path";
    return false;
  }
  settings->decoder = value;
  return true;
}

std::string ShowDecoder(const Settings& settings) { return settings.decoder; }

}  // namespace

const std::vector<SettingKey>& SettingKeys() {
  static const std::vector<SettingKey> keys = {
      {"listen", SettingForm::Text, "ADDR:PORT",
       "address to listen on, loopback only (127.0.0.0/8, [::1] or localhost; port 0: any free one)", ApplyListen,
       ShowListen},
      {"port", SettingForm::Text, "DEVICE",
       "the reader's device (/dev/ttyUSB0, COM7); by default the reader is found by its USB identity", ApplyDevice,
       ShowDevice},
      {"allow-origin", SettingForm::List, "ORIGIN",
       "a web origin allowed to use the reader, exactly scheme://host[:port]; repeatable", ApplyOrigin, ShowOrigins},
      {"watch-interval", SettingForm::Number, "MS", "milliseconds between card reads while a page listens",
       ApplyWatchInterval, ShowWatchInterval},
      {"idle-exit", SettingForm::Number, "SECONDS",
       "when systemd started it on a connection to its socket: seconds without any connection before it exits, "
       "to be started again by the next one (0: never)",
       ApplyIdleExit, ShowIdleExit},
      {"decoder", SettingForm::Text, "PATH",
       "the portrait decoder library, by its full path; by default the one beside the service or in the system's "
       "library folders",
       ApplyDecoder, ShowDecoder},
  };
  return keys;
}

const SettingKey* FindSettingKey(const std::string& name, bool ignoreCase) {
  for (const SettingKey& key : SettingKeys())
    if (ignoreCase ? Lower(name) == key.name : name == key.name) return &key;
  return nullptr;
}

std::vector<std::string> SplitSettingList(const std::string& text) {
  std::vector<std::string> out;
  std::string item;
  for (const char c : text + " ") {
    if (c == ' ' || c == '\t' || c == ',' || c == ';') {
      if (!item.empty()) out.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return out;
}

bool ResolveSettings(const std::vector<SettingsSource>& sources, Settings* settings, std::string* error) {
  Settings out;
  for (const SettingKey& key : SettingKeys()) {
    const SettingsSource* from = nullptr;
    for (const SettingsSource& source : sources)
      if (source.values.count(key.name) != 0) from = &source;
    if (from == nullptr) continue;
    const std::vector<std::string>& values = from->values.at(key.name);
    const std::string where = (from->name.empty() ? "" : from->name + ": ") + from->keyPrefix + key.name;
    if (key.form != SettingForm::List && values.size() != 1) {
      *error = where + ": give one value";
      return false;
    }
    if (key.form == SettingForm::List) out.allowedOrigins.clear();  // the source's list, not added to a default
    for (const std::string& value : values) {
      std::string why;
      if (!key.apply(value, &out, &why)) {
        *error = where + " " + value + ": " + why;
        return false;
      }
    }
  }
  *settings = out;
  return true;
}

bool ReadSettingsFile(const std::string& path, SettingsSource* source, std::string* error) {
  const auto fail = [&](const std::string& why) {
    *error = path + ": " + why;
    return false;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json config = nlohmann::json::parse(text.str(), nullptr, false);
  if (config.is_discarded()) return fail("not valid JSON");
  if (!config.is_object()) return fail("the settings must be a JSON object");
  SettingsSource read;
  read.name = path;
  for (const auto& [name, value] : config.items()) {
    const SettingKey* key = FindSettingKey(name);
    if (key == nullptr) {
      std::string known;
      for (const SettingKey& k : SettingKeys()) known += (known.empty() ? "" : ", ") + std::string(k.name);
      return fail("unknown setting \"" + name + "\" (known: " + known + ")");
    }
    std::vector<std::string>& texts = read.values[name];
    switch (key->form) {
      case SettingForm::Text:
        if (!value.is_string()) return fail("\"" + name + "\" must be a string");
        texts.push_back(value.get<std::string>());
        break;
      case SettingForm::List:
        if (!value.is_array()) return fail("\"" + name + "\" must be an array of strings");
        for (const auto& item : value) {
          if (!item.is_string()) return fail("\"" + name + "\" must be an array of strings");
          texts.push_back(item.get<std::string>());
        }
        break;
      case SettingForm::Number:
        if (!value.is_number_integer()) return fail("\"" + name + "\" must be a whole number");
        texts.push_back(value.dump());
        break;
    }
  }
  *source = std::move(read);
  return true;
}

bool ParseListen(const std::string& text, std::string* host, uint16_t* port, std::string* why) {
  const size_t colon = text.rfind(':');
  std::string name = colon == std::string::npos ? text : text.substr(0, colon);
  if (colon == std::string::npos || !ParsePort(text.substr(colon + 1), true, port)) {
    *why = "give ADDRESS:PORT, e.g. 127.0.0.1:" + std::to_string(kDefaultPort);
    return false;
  }
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  bool loopback = Lower(name) == "localhost";
  if (loopback) {
    name = "localhost";
  } else {
    boost::system::error_code ec;
    const boost::asio::ip::address address = boost::asio::ip::make_address(name, ec);
    loopback = !ec && address.is_loopback();
    if (!ec && address.is_v6() && text.front() != '[') loopback = false;  // [::1]:PORT, never ::1:PORT
  }
  if (!loopback) {
    *why = "only a loopback address may be used (127.0.0.0/8, [::1] or localhost): the reader must never be "
           "reachable from another machine";
    return false;
  }
  *host = name;
  return true;
}

bool NormaliseOrigin(const std::string& text, std::string* origin, std::string* why) {
  const auto fail = [&](const std::string& reason) {
    *why = reason + " (give scheme://host[:port], e.g. https://counter.example)";
    return false;
  };
  const size_t sep = text.find("://");
  if (sep == std::string::npos) return fail("no scheme");
  const std::string scheme = Lower(text.substr(0, sep));
  if (scheme != "http" && scheme != "https") return fail("the scheme must be http or https");
  std::string rest = text.substr(sep + 3);
  if (rest.find_first_of("/?#@\\ \t") != std::string::npos) return fail("an origin has no path, query or user");
  if (rest.find('*') != std::string::npos) return fail("wildcards are not allowed");
  std::string hostPart = rest, portText;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return fail("unclosed [");
    hostPart = rest.substr(0, close + 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return fail("unexpected text after ]");
      portText = rest.substr(close + 2);
      if (portText.empty()) return fail("empty port");
    }
  } else if (const size_t colon = rest.find(':'); colon != std::string::npos) {
    hostPart = rest.substr(0, colon);
    portText = rest.substr(colon + 1);
    if (portText.empty()) return fail("empty port");
  }
  if (hostPart.empty() || hostPart == "[]") return fail("no host");
  const bool validHost = std::all_of(hostPart.begin(), hostPart.end(), [](unsigned char c) {
    return std::isalnum(c) != 0 || c == '.' || c == '-' || c == '[' || c == ']' || c == ':' || c == '_';
  });
  if (!validHost) return fail("the host has characters a host name cannot have");
  uint16_t port = 0;
  if (!portText.empty() && !ParsePort(portText, false, &port)) return fail("the port must be 1 to 65535");
  const bool defaultPort = (scheme == "http" && port == 80) || (scheme == "https" && port == 443);
  *origin = scheme + "://" + Lower(hostPart) + (port != 0 && !defaultPort ? ":" + std::to_string(port) : "");
  return true;
}

}  // namespace q48service
