// q48-service's pure parts: settings, the Host and Origin gates, routing to
// statuses, and which events a listener gets.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "Q48Reader.h"
#include "card_watcher.h"
#include "gates.h"
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
                           "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", ":80", ""}) {
    EXPECT_FALSE(ParseListen(text, &host, &port, &error)) << text;
    EXPECT_NE(error.find("--listen"), std::string::npos);
  }
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

TEST(Settings, ConfigFile) {
  const std::string path = ::testing::TempDir() + "/q48-service-config.json";
  const auto load = [&](const std::string& text, Settings* settings, std::string* error) {
    std::ofstream(path) << text;
    return LoadConfigFile(path, settings, error);
  };
  Settings settings;
  std::string error;
  ASSERT_TRUE(load(R"({"listen": "localhost:9000", "port": "COM7", "allow-origin": ["https://A.example"],
                       "watch-interval": 250})", &settings, &error)) << error;
  EXPECT_EQ(settings.listenHost, "localhost");
  EXPECT_EQ(settings.listenPort, 9000);
  EXPECT_EQ(settings.device, "COM7");
  EXPECT_EQ(settings.allowedOrigins, std::vector<std::string>{"https://a.example"});
  EXPECT_EQ(settings.watchIntervalMs, 250);
  for (const char* bad : {"[]", R"({"allow-origin": ["*"]})", R"({"watch-interval": "1000"})",
                          R"({"watch-interval": 10})", R"({"port": 7})", R"({"Listen": "127.0.0.1:1"})"}) {
    EXPECT_FALSE(load(bad, &settings, &error)) << bad;
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
  }
  std::remove(path.c_str());
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
