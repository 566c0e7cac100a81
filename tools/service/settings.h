// q48-service's settings: where it listens, which reader, which web origins
// may use it, how often it watches for cards; from the command line and an
// optional JSON file. Pure functions; called on the main thread at start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q48service {

constexpr uint16_t kDefaultPort = 18848;
constexpr int kDefaultWatchIntervalMs = 1000;
constexpr int kMinWatchIntervalMs = 50;
constexpr int kMaxWatchIntervalMs = 600000;

struct Settings {
  std::string listenHost = "127.0.0.1";  // a loopback address ("127.0.0.1", "::1") or "localhost"
  uint16_t listenPort = kDefaultPort;    // 0: any free port (the service prints the one it got)
  std::string device;                    // the reader's port; empty: find it by its USB identity
  std::vector<std::string> allowedOrigins;  // normalised, besides the service's own
  int watchIntervalMs = kDefaultWatchIntervalMs;
};

// "127.0.0.1:18848", "[::1]:18848", "localhost:18848". Only loopback hosts
// (127.0.0.0/8, ::1, localhost): the reader must never be reachable from
// another machine. False with the reason in *error otherwise.
bool ParseListen(const std::string& text, std::string* host, uint16_t* port, std::string* error);

// An allowed origin must be exactly scheme://host[:port] (http or https, no
// path, no wildcard). *origin receives it as browsers send it: lower case,
// without the scheme's default port. False with the reason in *error.
bool NormaliseOrigin(const std::string& text, std::string* origin, std::string* error);

// Reads a JSON object with the command line's settings as keys:
//   {"listen": "127.0.0.1:18848", "port": "/dev/ttyUSB0",
//    "allow-origin": ["https://counter.example"], "watch-interval": 1000}
// into *settings (origins are added). Unknown keys and wrong types are
// errors. False with "FILE: reason" in *error.
bool LoadConfigFile(const std::string& path, Settings* settings, std::string* error);

// Watch interval in range, else false with the reason.
bool CheckWatchInterval(long long ms, std::string* error);

}  // namespace q48service
