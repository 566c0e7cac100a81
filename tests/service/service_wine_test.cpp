// q48-service.exe (x64 build) under wine64: the prefix's COM9 links to the
// pty of an emulator in this process, and the test reads the card over HTTP.
// Also: a WltRS.dll in a folder on PATH is not loaded by the service, though
// a program with the default DLL search (q48.exe) loads it from there.
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

// POST /v1/card's body, once the service on `port` answers; null when it never does.
nlohmann::json ReadCardOnce(int port) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::string answer;
  for (const auto deadline = Clock::now() + std::chrono::seconds(60); answer.empty() && Clock::now() < deadline;) {
    answer = q48test::HttpExchange(port, "GET /v1/reader HTTP/1.0\r\n" + host + "\r\n");
    if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  answer = q48test::HttpExchange(port, "POST /v1/card HTTP/1.0\r\n" + host +
                                           "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
  if (answer.rfind("HTTP/1.0 200 OK\r\n", 0) != 0) return nullptr;
  return nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
}

// A prefix whose COM9 is an emulator in this process.
class ServiceUnderWine : public testing::Test {
 protected:
  void SetUp() override {
    if (!wine.Unavailable().empty()) GTEST_SKIP() << wine.Unavailable();
    if (!fs::exists(kService)) GTEST_SKIP() << kService << " is missing: build the windows-x64 preset first";
    ASSERT_EQ(wine.EnsurePrefix(), "");
    std::string error;
    ASSERT_TRUE(emulator.OpenPty(&error)) << error;
    emulator.Start();
    link = wine.prefix() + "/dosdevices/com9";
    fs::remove(link, ignored);
    fs::create_symlink(emulator.SlavePath(), link);
  }
  void TearDown() override {
    if (link.empty()) return;
    fs::remove(link, ignored);
    EXPECT_EQ(wine.StopServer(), "");
  }

  q48::wine::WineHarness wine;
  q48emu::Emulator emulator;
  std::string link;
  std::error_code ignored;
};

TEST_F(ServiceUnderWine, DecoderOnPathIsNotLoaded) {
  // The programs alone in one folder; the (stand-in) decoder in another,
  // named by PATH (Wine adds WINEPATH to it).
  const std::string lonely = wine.DriveC() + "/q48-lonely", onPath = wine.DriveC() + "/q48-on-path";
  fs::remove_all(lonely, ignored);
  fs::remove_all(onPath, ignored);
  fs::create_directories(lonely);
  fs::create_directories(onPath);
  for (const char* program : {"/q48-service.exe", "/q48.exe"})
    fs::copy_file(std::string(Q48_WIN64_BIN) + program, lonely + program);
  fs::copy_file(std::string(Q48_WIN64_BIN) + "/WltRS.dll", onPath + "/WltRS.dll");
  const std::pair<std::string, std::string> path{"WINEPATH", "C:\\q48-on-path"};

  // The control: the library in an ordinary program finds it on PATH.
  q48::wine::RunOptions client;
  client.program = lonely + "/q48.exe";
  client.args = {"--port", "COM9", "--json", "read-card"};
  client.environment = {path};
  const q48::wine::RunResult read = wine.Run(client);
  const nlohmann::json clientCard = nlohmann::json::parse(read.stdout_bytes, nullptr, false);
  ASSERT_FALSE(clientCard.is_discarded()) << read.stdout_bytes << read.stderr_bytes;
  EXPECT_EQ(clientCard["fields"]["portrait"].get<std::string>().rfind("data:image/jpeg;base64,/9j/", 0), 0u)
      << "the PATH folder is not searched even by default: this test proves nothing";

  const int port = q48test::FreeLoopbackPort();
  q48::wine::RunOptions run;
  run.program = lonely + "/q48-service.exe";
  run.args = {"--port", "COM9", "--listen", "127.0.0.1:" + std::to_string(port)};
  run.environment = {path};
  run.time_limit = std::chrono::seconds(120);
  q48::wine::WineProcess service = wine.Start(run);
  const nlohmann::json card = ReadCardOnce(port);
  ASSERT_TRUE(card.is_object()) << card;
  EXPECT_EQ(card["result"], 0) << card;
  EXPECT_EQ(card["fields"]["portrait"], "") << "the service loaded the decoder from PATH";
  ::kill(service.pid(), SIGINT);
  const q48::wine::RunResult result = service.Wait();
  EXPECT_NE(result.stderr_bytes.find("no portrait decoder beside the program or in the system folder"),
            std::string::npos)
      << result.stderr_bytes;
  fs::remove_all(lonely, ignored);
  fs::remove_all(onPath, ignored);
}

TEST_F(ServiceUnderWine, ReadsTheCardOnAComPort) {

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
}

}  // namespace
