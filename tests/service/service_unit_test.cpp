// q48-service's pure parts: settings, the Host and Origin gates, routing to
// statuses, and which events a listener gets.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Q48Reader.h"
#include "card_watcher.h"
#include "gates.h"
#include "log.h"
#include "routes.h"
#include "settings.h"

namespace q48service {
namespace {

TEST(Settings, ListenOnLoopbackOnly) {
  std::string host, error;
  uint16_t port = 0;
  for (const auto& [text, wantHost, wantPort] : std::vector<std::tuple<std::string, std::string, int>>{
           {"127.0.0.1:18848", "127.0.0.1", 18848}, {"127.8.9.10:1", "127.8.9.10", 1},
           {"[::1]:0", "::1", 0}, {"LocalHost:80", "localhost", 80}}) {
    EXPECT_TRUE(ParseListen(text, &host, &port, &error)) << text << ": " << error;
    EXPECT_EQ(host, wantHost);
    EXPECT_EQ(port, wantPort);
  }
  for (const char* text : {"0.0.0.0:80", "10.0.0.1:80", "[::]:80", "::1:80", "[::ffff:10.0.0.1]:80", "host:80",
                           "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", ":80", ""})
    EXPECT_FALSE(ParseListen(text, &host, &port, &error)) << text;
}

TEST(Settings, OriginsAreExactAndNormalised) {
  std::string origin, error;
  for (const auto& [text, want] : std::vector<std::pair<std::string, std::string>>{
           {"https://Shop.Example", "https://shop.example"}, {"HTTP://a.example:80", "http://a.example"},
           {"https://a.example:8443", "https://a.example:8443"}, {"http://[::1]:3000", "http://[::1]:3000"},
           {"http://127.0.0.1:5173", "http://127.0.0.1:5173"}}) {
    EXPECT_TRUE(NormaliseOrigin(text, &origin, &error)) << text << ": " << error;
    EXPECT_EQ(origin, want);
  }
  for (const char* text : {"*", "https://*.example", "https://a.example/", "https://a.example/x", "a.example",
                           "file://x", "https://", "https://a.example:", "https://a.example:0", "https://u@a.example",
                           "https://a.example?x", "https://a b", "null"})
    EXPECT_FALSE(NormaliseOrigin(text, &origin, &error)) << text;
}

// Every source goes through the one check: the value's source and key name
// the fault; a later source replaces a key wholly; the defaults stay where
// no source gives a key.
TEST(Settings, SourcesResolvedInOrderWithOneCheck) {
  const auto source = [](std::string name, std::string prefix, std::map<std::string, std::vector<std::string>> v) {
    return SettingsSource{std::move(name), std::move(prefix), std::move(v)};
  };
  const SettingsSource file = source("/etc/x.json", "", {{"listen", {"localhost:9000"}}, {"port", {"COM7"}},
                                                         {"allow-origin", {"https://A.example", "http://b.example"}}});
  const SettingsSource command = source("", "--", {{"allow-origin", {"https://c.example:443"}},
                                                   {"watch-interval", {"250"}}, {"idle-exit", {"0"}}});
  Settings settings;
  std::string error;
  ASSERT_TRUE(ResolveSettings({file, command}, &settings, &error)) << error;
  EXPECT_EQ(settings.listenHost, "localhost");
  EXPECT_EQ(settings.listenPort, 9000);
  EXPECT_EQ(settings.device, "COM7");
  EXPECT_EQ(settings.allowedOrigins, std::vector<std::string>{"https://c.example"});
  EXPECT_EQ(settings.watchIntervalMs, 250);
  EXPECT_EQ(settings.idleExitSeconds, 0);
  ASSERT_TRUE(ResolveSettings({file}, &settings, &error)) << error;
  EXPECT_EQ(settings.allowedOrigins, (std::vector<std::string>{"https://a.example", "http://b.example"}));
  EXPECT_EQ(settings.watchIntervalMs, kDefaultWatchIntervalMs);
  EXPECT_EQ(settings.idleExitSeconds, kDefaultIdleExitSeconds);

  for (const auto& [bad, message] : std::vector<std::pair<SettingsSource, std::string>>{
           {source("", "--", {{"listen", {"0.0.0.0:80"}}}), "--listen 0.0.0.0:80: only a loopback address"},
           {source("/etc/x.json", "", {{"watch-interval", {"49"}}}), "/etc/x.json: watch-interval 49: give 50 to"},
           {source("HKLM\\K", "", {{"watch-interval", {"600001"}}}), "HKLM\\K: watch-interval 600001: give"},
           {source("", "--", {{"watch-interval", {"1e3"}}}), "--watch-interval 1e3: give"},
           {source("", "--", {{"idle-exit", {"86401"}}}), "--idle-exit 86401: give 0 (never) to 86400 seconds"},
           {source("", "--", {{"allow-origin", {"https://a.example", "https://*.a.example"}}}),
            "--allow-origin https://*.a.example: wildcards"},
           {source("K", "", {{"listen", {"127.0.0.1:1", "127.0.0.1:2"}}}), "K: listen: give one value"},
           {source("", "--", {{"decoder", {"WltRS.dll"}}}), "--decoder WltRS.dll: give the decoder library's full"}}) {
    settings.device = "unchanged";
    EXPECT_FALSE(ResolveSettings({file, bad}, &settings, &error)) << message;
    EXPECT_EQ(error.rfind(message, 0), 0u) << error;
    EXPECT_EQ(settings.device, "unchanged");  // nothing half-applied
  }
}

// An installer property or a registry string gives a list as one text.
TEST(Settings, ListFromOneText) {
  EXPECT_EQ(SplitSettingList(" https://a.example,https://b.example;\thttp://c.example ;"),
            (std::vector<std::string>{"https://a.example", "https://b.example", "http://c.example"}));
  EXPECT_EQ(FindSettingKey("Watch-Interval", true), FindSettingKey("watch-interval"));
  EXPECT_EQ(FindSettingKey("Watch-Interval"), nullptr);  // JSON keys and options keep their case
}

TEST(Settings, FileFormAndKeys) {
  const std::string path = ::testing::TempDir() + "/q48-service-config.json";
  const auto read = [&](const std::string& text, SettingsSource* source, std::string* error) {
    std::ofstream(path) << text;
    return ReadSettingsFile(path, source, error);
  };
  SettingsSource source;
  std::string error;
  ASSERT_TRUE(read(R"({"listen": "localhost:9000", "port": "COM7", "allow-origin": ["https://A.example"],
                       "watch-interval": 250})", &source, &error)) << error;
  EXPECT_EQ(source.name, path);
  EXPECT_EQ(source.values, (std::map<std::string, std::vector<std::string>>{
                               {"listen", {"localhost:9000"}}, {"port", {"COM7"}},
                               {"allow-origin", {"https://A.example"}}, {"watch-interval", {"250"}}}));
  for (const char* bad : {"[]", "{", R"({"watch-interval": "1000"})", R"({"watch-interval": 1.5})", R"({"port": 7})",
                          R"({"allow-origin": "https://a.example"})", R"({"allow-origin": [1]})",
                          R"({"Listen": "127.0.0.1:1"})"}) {
    EXPECT_FALSE(read(bad, &source, &error)) << bad;
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
  }
  std::remove(path.c_str());
}

// The file log rotates by size: the current file never passes its limit and
// only the newest files are kept, each line whole and time-stamped.
TEST(Log, RotatesBySizeKeepingTheNewest) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(::testing::TempDir()) / "q48-log-test";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const auto contents = [](const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  {
    q48tool::Log log;
    log.SetStderr(false);
    std::string error;
    ASSERT_TRUE(log.OpenFile((folder / "s.log").string(), &error, 100, 2)) << error;
    for (int i = 0; i < 8; ++i) log.Write("line " + std::to_string(i) + std::string(40, 'x'));
  }
  // 65 bytes a line: one a file; the last three survive.
  EXPECT_EQ(contents(folder / "s.log").find("line 7"), 24u);
  EXPECT_TRUE(std::regex_match(contents(folder / "s.log"),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} line 7x{40}\n)")));
  EXPECT_NE(contents(folder / "s.1.log").find("line 6"), std::string::npos);
  EXPECT_NE(contents(folder / "s.2.log").find("line 5"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder / "s.3.log"));
  // A folder squatting on an old log's name: said once, the log goes on.
  fs::remove_all(folder / "s.2.log");
  fs::create_directories(folder / "s.2.log" / "squat");
  {
    q48tool::Log log;
    log.SetStderr(false);
    std::string error;
    ASSERT_TRUE(log.OpenFile((folder / "s.log").string(), &error, 100, 2)) << error;
    for (int i = 0; i < 8; ++i) log.Write("more " + std::to_string(i) + std::string(40, 'x'));
  }
  const std::string kept = contents(folder / "s.log");
  EXPECT_NE(kept.find("cannot rotate"), std::string::npos) << kept;
  EXPECT_EQ(kept.find("cannot rotate"), kept.rfind("cannot rotate")) << kept;
  EXPECT_NE(kept.find("more 7"), std::string::npos);
  std::string error;
  q48tool::Log log;
  EXPECT_FALSE(log.OpenFile((folder / "missing" / "s.log").string(), &error));
  EXPECT_EQ(error.rfind((folder / "missing" / "s.log").string() + ": ", 0), 0u);
  fs::remove_all(folder);
}

TEST(Gates, HostIsALoopbackNameWithThePort) {
  const Site site{"127.0.0.1", 18848, {}};
  for (const char* host : {"127.0.0.1:18848", "localhost:18848", "LOCALHOST:18848", "[::1]:18848"})
    EXPECT_TRUE(HostAllowed(host, site)) << host;
  for (const char* host : {"", "127.0.0.1", "127.0.0.1:80", "evil.example:18848", "localhost.evil.example:18848",
                           "127.0.0.1:18848.evil", "[::1]", "0.0.0.0:18848", "127.0.0.2:18848"})
    EXPECT_FALSE(HostAllowed(host, site)) << host;
  EXPECT_TRUE(HostAllowed("127.0.0.2:80", Site{"127.0.0.2", 80, {}}));  // the listen address itself
}

TEST(Gates, OriginIsTheServicesOwnOrAllowed) {
  const Site site{"127.0.0.1", 18848, {"https://shop.example"}};
  for (const char* origin : {"http://127.0.0.1:18848", "http://localhost:18848", "http://[::1]:18848",
                             "https://shop.example"})
    EXPECT_TRUE(OriginAllowed(origin, site)) << origin;
  for (const char* origin : {"", "null", "https://evil.example", "http://shop.example", "https://shop.example:443",
                             "https://shop.example.evil", "http://127.0.0.1:18849", "https://127.0.0.1:18848"})
    EXPECT_FALSE(OriginAllowed(origin, site)) << origin;
}

// A refused header's Origin lines, for the refusal's CORS headers: whole lines of the header only.
TEST(Gates, OriginsInRawFields) {
  using Origins = std::vector<std::string>;
  const std::string host = "Host: 127.0.0.1:1\r\n";
  EXPECT_EQ(OriginsInRawFields(host + "oRiGiN: \t https://shop.example \r\nBad Field\r\n\r\n"),
            Origins{"https://shop.example"});
  EXPECT_EQ(OriginsInRawFields("X: " + std::string(9000, 'a') + "\r\nOrigin: https://a.example\nY"),
            Origins{"https://a.example"});
  EXPECT_EQ(OriginsInRawFields("Origin: https://a.example\r\norigin: https://b.example\r\n"),
            (Origins{"https://a.example", "https://b.example"}));
  EXPECT_EQ(OriginsInRawFields(host + "Origin: https://shop.example"), Origins{});  // cut: maybe not all of it
  EXPECT_EQ(OriginsInRawFields(host + "\r\nOrigin: https://a.example\r\n"), Origins{});  // a body
  EXPECT_EQ(OriginsInRawFields("X-Origin: https://a.example\r\nOrigin2: x\r\n\r\n"), Origins{});
}

TEST(Routes, StatusesFromMethodPathTypeAndBody) {
  const std::string json = "application/json";
  struct Case {
    const char* method;
    const char* target;
    std::string type;
    std::string body;
    RouteKind kind;
    int status;
  };
  const Case cases[] = {
      {"GET", "/", "", "", RouteKind::Asset, 200},
      {"HEAD", "/q48.js", "", "", RouteKind::Asset, 200},
      {"GET", "/v1/reader?x=1", "", "", RouteKind::Reader, 200},
      {"POST", "/v1/card", json, "", RouteKind::Reader, 200},
      {"POST", "/v1/card", "application/json; charset=UTF-8", " {} ", RouteKind::Reader, 200},
      {"GET", "/v1/events", "", "", RouteKind::Events, 200},
      {"OPTIONS", "/v1/sim", "", "", RouteKind::Preflight, 200},
      {"GET", "/v1/nothing", "", "", RouteKind::Refused, 404},
      {"GET", "/index.html", "", "", RouteKind::Refused, 404},
      {"POST", "/", json, "{}", RouteKind::Refused, 405},
      {"GET", "/v1/card", "", "", RouteKind::Refused, 405},
      {"POST", "/v1/reader", json, "{}", RouteKind::Refused, 405},
      {"POST", "/v1/card", "text/plain", "{}", RouteKind::Refused, 415},
      {"POST", "/v1/card", "application/jsonx", "{}", RouteKind::Refused, 415},
      {"POST", "/v1/card", "", "{}", RouteKind::Refused, 415},
      {"POST", "/v1/card", json, "{", RouteKind::Refused, 400},
      {"POST", "/v1/card", json, "\"x\"", RouteKind::Refused, 400},
      {"POST", "/v1/sim", json, R"({"number": "1"})", RouteKind::Refused, 400},
      {"POST", "/v1/sim", json, R"({"number": "1", "content": 2})", RouteKind::Refused, 400},
      {"POST", "/v1/sim", json, "{\"number\": \"1\", \"content\": \"\xF0\x9F\x98\x80\"}", RouteKind::Refused, 400},
      {"POST", "/v1/sim", json, "{\"number\": \"1\", \"content\": \"\xFF\"}", RouteKind::Refused, 400},
      {"POST", "/v1/sim", json, R"({"number": "1", "content": "A\u0000B"})", RouteKind::Refused, 400},
      {"POST", "/v1/card", json, std::string("{}\0{}", 5), RouteKind::Refused, 400},
      {"HEAD", "/v1/events", "", "", RouteKind::Refused, 405},
  };
  for (const Case& c : cases) {
    const Route route = Classify(c.method, c.target, c.type, c.body);
    EXPECT_EQ(route.kind, c.kind) << c.method << " " << c.target << " " << c.body;
    if (c.kind == RouteKind::Refused) {
      EXPECT_EQ(route.status, c.status) << c.method << " " << c.target << " " << c.body;
      EXPECT_FALSE(route.error.empty());
    }
  }
  EXPECT_EQ(Classify("GET", "/v1/card", "", "").allow, "POST, OPTIONS");
  EXPECT_EQ(Classify("PUT", "/", "", "").allow, "GET, HEAD, OPTIONS");
  const Route write = Classify("POST", "/v1/sim", json, R"({"number": "13800138000", "content": "汉族"})");
  ASSERT_EQ(write.kind, RouteKind::Reader);
  EXPECT_EQ(write.command, q48tool::Command::Write);
  EXPECT_EQ(write.texts.number, "13800138000");
  EXPECT_EQ(write.texts.content, "\xBA\xBA\xD7\xE5");  // GBK
}

// A reader command's `timeout` query: once, 1 to kMaxTimeoutMs, or refused before the reader.
TEST(Routes, TimeoutFromTheQuery) {
  using std::chrono::milliseconds;
  const std::string json = "application/json";
  EXPECT_EQ(Classify("POST", "/v1/card?timeout=60000", json, "").timeout, milliseconds(60000));
  EXPECT_EQ(Classify("GET", "/v1/reader?x=1&timeout=1&timeouts=2", "", "").timeout, milliseconds(1));
  EXPECT_EQ(Classify("GET", "/v1/reader?timeout=999999999", "", "").timeout, milliseconds(kMaxTimeoutMs));
  EXPECT_EQ(Classify("POST", "/v1/card", json, "").timeout, std::nullopt);
  EXPECT_EQ(Classify("GET", "/?timeout=x", "", "").kind, RouteKind::Asset);  // only commands have one
  for (const char* query : {"timeout", "timeout=", "timeout=0", "timeout=-1", "timeout=+5", "timeout=1e3",
                            "timeout=5x", "timeout=1000000000", "timeout=99999999999999999999", "timeout=5&timeout=5"}) {
    const Route route = Classify("POST", std::string("/v1/sim?") + query, json, R"({"number":"1","content":"x"})");
    EXPECT_EQ(route.kind, RouteKind::Refused) << query;
    EXPECT_EQ(route.status, 400) << query;
  }
}

TEST(Watch, EventsPerListener) {
  ListenerState state;
  const std::string card = R"({"command":"read-card","result":0})", none = R"({"command":"read-card","result":-6})";
  EXPECT_EQ(WatchEvents(&state, Q48_ERR_READ_CARD, 0, none), "event: reader\ndata: {\"present\":true}\n\n");
  EXPECT_EQ(WatchEvents(&state, Q48_ERR_READ_CARD, 0, none), "");  // no card reported: nothing was removed
  EXPECT_EQ(WatchEvents(&state, Q48_OK, 7, card), "event: card\ndata: " + card + "\n\n");
  EXPECT_EQ(WatchEvents(&state, Q48_OK, 7, card), "");  // the same card
  EXPECT_EQ(WatchEvents(&state, Q48_OK, 8, card), "event: card\ndata: " + card + "\n\n");  // a different one
  EXPECT_EQ(WatchEvents(&state, Q48_ERR_READ_CARD, 0, none), "event: removed\ndata: " + none + "\n\n");
  EXPECT_EQ(WatchEvents(&state, Q48_OK, 8, card), "event: card\ndata: " + card + "\n\n");  // placed again
  // The reader goes: told once; its card is reported again when it is back.
  EXPECT_EQ(WatchEvents(&state, Q48_ERR_NO_READER, 0, "{}"), "event: reader\ndata: {\"present\":false}\n\n");
  EXPECT_EQ(WatchEvents(&state, Q48_ERR_TIMEOUT, 0, "{}"), "");
  EXPECT_EQ(WatchEvents(&state, Q48_OK, 8, card),
            "event: reader\ndata: {\"present\":true}\n\nevent: card\ndata: " + card + "\n\n");
  ListenerState fresh;  // a listener that joins now hears about the card too
  EXPECT_EQ(WatchEvents(&fresh, Q48_OK, 8, card),
            "event: reader\ndata: {\"present\":true}\n\nevent: card\ndata: " + card + "\n\n");
}

}  // namespace
}  // namespace q48service
