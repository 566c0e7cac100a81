// q48-service.exe (x64 build) under wine64: the prefix's COM9 links to the
// pty of an emulator in this process, and the test reads the card over HTTP.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "emulator.h"
#include "loopback_http.h"
#include "wine_harness.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kService = std::string(Q48_WIN64_BIN) + "/q48-service.exe";

TEST(ServiceUnderWine, ReadsTheCardOnAComPort) {
  q48::wine::WineHarness wine;
  if (!wine.Unavailable().empty()) GTEST_SKIP() << wine.Unavailable();
  if (!fs::exists(kService)) GTEST_SKIP() << kService << " is missing: build the windows-x64 preset first";
  ASSERT_EQ(wine.EnsurePrefix(), "");
  q48emu::Emulator emulator;
  std::string error;
  ASSERT_TRUE(emulator.OpenPty(&error)) << error;
  emulator.Start();
  const std::string link = wine.prefix() + "/dosdevices/com9";
  std::error_code ignored;
  fs::remove(link, ignored);
  fs::create_symlink(emulator.SlavePath(), link);

  const int port = q48test::FreeLoopbackPort();
  q48::wine::RunOptions run;
  run.program = kService;
  run.args = {"--port", "COM9", "--listen", "127.0.0.1:" + std::to_string(port)};
  run.time_limit = std::chrono::seconds(120);
  q48::wine::WineProcess service = wine.Start(run);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::string answer;
  for (const auto deadline = Clock::now() + std::chrono::seconds(60); answer.empty() && Clock::now() < deadline;) {
    answer = q48test::HttpExchange(port, "GET /v1/reader HTTP/1.0\r\n" + host + "\r\n");
    if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;

  answer = q48test::HttpExchange(port, "POST /v1/card HTTP/1.0\r\n" + host +
                              "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
  ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
  const nlohmann::json card = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
  EXPECT_EQ(card["result"], 0);
  EXPECT_EQ(card["fields"]["name"], q48emu::SampleCard().idCard.name + std::string(12, ' '));
  EXPECT_EQ(card["fields"]["nation"], "\xE6\xB1\x89\xE6\x97\x8F");  // 汉族, from GBK
  EXPECT_EQ(card["fields"]["portrait"].get<std::string>().rfind("data:image/jpeg;base64,/9j/", 0), 0u);
  // Another origin is refused before the reader is asked.
  const size_t requests = emulator.Requests().size();
  answer = q48test::HttpExchange(port, "POST /v1/card HTTP/1.0\r\n" + host +
                              "Origin: https://evil.example\r\nContent-Type: application/json\r\n\r\n{}");
  EXPECT_EQ(answer.rfind("HTTP/1.0 403 ", 0), 0u) << answer;
  EXPECT_EQ(emulator.Requests().size(), requests);

  ::kill(service.pid(), SIGINT);  // Ctrl+C
  const q48::wine::RunResult result = service.Wait();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 0) << result.stderr_bytes;
  EXPECT_NE(result.stderr_bytes.find("POST /v1/card 200 "), std::string::npos) << result.stderr_bytes;
  fs::remove(link, ignored);
  EXPECT_EQ(wine.StopServer(), "");
}

}  // namespace
