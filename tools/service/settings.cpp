#include "settings.h"

#include <algorithm>
#include <cctype>
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

// Decimal port 0..65535 (0 only when allowZero), all digits.
bool ParsePort(const std::string& text, bool allowZero, uint16_t* port) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isdigit(c) != 0;
      }))
    return false;
  const long value = std::stol(text);
  if (value > 65535 || (value == 0 && !allowZero)) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseListen(const std::string& text, std::string* host, uint16_t* port, std::string* error) {
  const size_t colon = text.rfind(':');
  std::string name = colon == std::string::npos ? text : text.substr(0, colon);
  if (colon == std::string::npos || !ParsePort(text.substr(colon + 1), true, port)) {
    *error = "--listen " + text + ": give ADDRESS:PORT, e.g. 127.0.0.1:" + std::to_string(kDefaultPort);
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
    *error = "--listen " + text +
             ": only a loopback address may be used (127.0.0.0/8, [::1] or localhost): the reader must never be "
             "reachable from another machine";
    return false;
  }
  *host = name;
  return true;
}

bool NormaliseOrigin(const std::string& text, std::string* origin, std::string* error) {
  const auto fail = [&](const std::string& why) {
    *error = "--allow-origin " + text + ": " + why + " (give scheme://host[:port], e.g. https://counter.example)";
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

bool CheckWatchInterval(long long ms, std::string* error) {
  if (ms >= kMinWatchIntervalMs && ms <= kMaxWatchIntervalMs) return true;
  *error = "--watch-interval " + std::to_string(ms) + ": give " + std::to_string(kMinWatchIntervalMs) + " to " +
           std::to_string(kMaxWatchIntervalMs) + " milliseconds";
  return false;
}

bool LoadConfigFile(const std::string& path, Settings* settings, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json config = nlohmann::json::parse(text.str(), nullptr, false);
  const auto fail = [&](const std::string& why) {
    *error = path + ": " + why;
    return false;
  };
  if (config.is_discarded()) return fail("not valid JSON");
  if (!config.is_object()) return fail("the settings must be a JSON object");
  for (const auto& [key, value] : config.items()) {
    std::string problem;
    if (key == "listen") {
      if (!value.is_string()) return fail("\"listen\" must be a string");
      if (!ParseListen(value.get<std::string>(), &settings->listenHost, &settings->listenPort, &problem))
        return fail(problem);
    } else if (key == "port") {
      if (!value.is_string()) return fail("\"port\" must be a string");
      settings->device = value.get<std::string>();
    } else if (key == "allow-origin") {
      if (!value.is_array()) return fail("\"allow-origin\" must be an array of strings");
      for (const auto& item : value) {
        std::string origin;
        if (!item.is_string()) return fail("\"allow-origin\" must be an array of strings");
        if (!NormaliseOrigin(item.get<std::string>(), &origin, &problem)) return fail(problem);
        settings->allowedOrigins.push_back(origin);
      }
    } else if (key == "watch-interval") {
      if (!value.is_number_integer()) return fail("\"watch-interval\" must be a whole number of milliseconds");
      if (!CheckWatchInterval(value.get<long long>(), &problem)) return fail(problem);
      settings->watchIntervalMs = value.get<int>();
    } else {
      return fail("unknown setting \"" + key + "\" (known: listen, port, allow-origin, watch-interval)");
    }
  }
  return true;
}

}  // namespace q48service
