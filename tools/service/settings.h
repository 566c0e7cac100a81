// q48-service's settings: where it listens, which reader, which web origins
// may use it, how often it watches for cards.
//
// Every source of settings (the command line, a JSON file, the Windows
// registry) is read into a SettingsSource: text values under the keys of
// kSettingKeys, checked for their form only. ResolveSettings then checks
// every value, whatever its source, in one place. Pure functions, called on
// the main thread at start.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace q48service {

constexpr uint16_t kDefaultPort = 18848;
constexpr int kDefaultWatchIntervalMs = 1000;
constexpr int kMinWatchIntervalMs = 50;
constexpr int kMaxWatchIntervalMs = 600000;
constexpr int kDefaultIdleExitSeconds = 600;
constexpr int kMaxIdleExitSeconds = 86400;

struct Settings {
  std::string listenHost = "127.0.0.1";  // a loopback address ("127.0.0.1", "::1") or "localhost"
  uint16_t listenPort = kDefaultPort;    // 0: any free port (the service prints the one it got)
  std::string device;                    // the reader's port; empty: find it by its USB identity
  std::vector<std::string> allowedOrigins;  // normalised, besides the service's own
  int watchIntervalMs = kDefaultWatchIntervalMs;
  // Only when systemd started it on a connection to its socket: seconds with
  // no connection open before it exits (the socket starts it again); 0 never.
  int idleExitSeconds = kDefaultIdleExitSeconds;
  std::string decoder;  // the portrait decoder's full path; empty: the platform's search (service_platform.h)
};

// How a source may give a key: one text, any number of texts, or one whole
// number (as text: sources hand over text, the check turns it into a number).
enum class SettingForm { Text, List, Number };

// One setting. `name` is the JSON key, the registry value's name and the
// command-line option without its "--".
struct SettingKey {
  const char* name;
  SettingForm form;
  const char* valueName;  // for --help: "ADDR:PORT"
  const char* help;       // for --help, without the default (DefaultText adds it)
  // Checks one value and stores it; false with the reason only.
  bool (*apply)(const std::string& value, Settings* settings, std::string* why);
  // The setting of `settings` as text ("" when it has none): the default
  // shown by --help, and what the service reports at start.
  std::string (*show)(const Settings& settings);
};

// listen, port, allow-origin, watch-interval, idle-exit, decoder: the one list of keys.
const std::vector<SettingKey>& SettingKeys();
// The key of this name; with ignoreCase, whatever its letters' case (the
// Windows registry's value names ignore case). Null when there is none.
const SettingKey* FindSettingKey(const std::string& name, bool ignoreCase = false);

// A list given as one text (an installer property, a registry string):
// items separated by spaces, tabs, commas or semicolons, none of which an
// origin can hold; empty items are dropped.
std::vector<std::string> SplitSettingList(const std::string& text);

// The values one source gave.
struct SettingsSource {
  std::string name;       // in messages: the file's path, the registry key; "" for the command line
  std::string keyPrefix;  // how the source writes a key in messages: "--" on the command line
  std::map<std::string, std::vector<std::string>> values;  // key -> its texts
};

// Settings from the defaults and the sources, in rising precedence: a key
// takes its values from the last source that gives it (allowed origins
// included: a later list replaces an earlier one). Checks every value; false
// with "SOURCE: KEY VALUE: reason" in *error, e.g.
// "--listen 0.0.0.0:80: only a loopback address ..." or
// "/etc/q48reader/q48-service.json: watch-interval 10: give 50 to 600000 milliseconds".
bool ResolveSettings(const std::vector<SettingsSource>& sources, Settings* settings, std::string* error);

// A JSON object with the keys above: a string for a Text key, an array of
// strings for a List, an integer for a Number. Unknown keys and other types
// are errors. False with "FILE: reason" in *error.
bool ReadSettingsFile(const std::string& path, SettingsSource* source, std::string* error);

// "127.0.0.1:18848", "[::1]:18848", "localhost:18848". Only loopback hosts
// (127.0.0.0/8, ::1, localhost): the reader must never be reachable from
// another machine. False with the reason in *why otherwise.
bool ParseListen(const std::string& text, std::string* host, uint16_t* port, std::string* why);

// An allowed origin must be exactly scheme://host[:port] (http or https, no
// path, no wildcard). *origin receives it as browsers send it: lower case,
// without the scheme's default port. False with the reason in *why.
bool NormaliseOrigin(const std::string& text, std::string* origin, std::string* why);

}  // namespace q48service
