// q48-service.exe (x64 build) under wine64: the prefix's COM9 links to the
// pty of an emulator in this process, and the test reads the card over HTTP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "emulator.h"
#include "wine_harness.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kService = std::string(Q48_WIN64_BIN) + "/q48-service.exe";

// A loopback port that was free a moment ago.
int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(s);
  return ntohs(address.sin_port);
}

// One HTTP/1.0 exchange; the whole answer, or "" when nobody listens.
std::string Exchange(int port, const std::string& request) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[8192];
    for (ssize_t n; (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(s);
  return answer;
}

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

  const int port = FreePort();
  q48::wine::RunOptions run;
  run.program = kService;
  run.args = {"--port", "COM9", "--listen", "127.0.0.1:" + std::to_string(port)};
  run.time_limit = std::chrono::seconds(120);
  q48::wine::WineProcess service = wine.Start(run);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::string answer;
  for (const auto deadline = Clock::now() + std::chrono::seconds(60); answer.empty() && Clock::now() < deadline;) {
    answer = Exchange(port, "GET /v1/reader HTTP/1.0\r\n" + host + "\r\n");
    if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;

  answer = Exchange(port, "POST /v1/card HTTP/1.0\r\n" + host +
                              "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
  ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
  const nlohmann::json card = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
  EXPECT_EQ(card["result"], 0);
  EXPECT_EQ(card["fields"]["name"], q48emu::SampleCard().idCard.name + std::string(12, ' '));
  EXPECT_EQ(card["fields"]["nation"], "\xE6\xB1\x89\xE6\x97\x8F");  // 汉族, from GBK
  EXPECT_EQ(card["fields"]["portrait"].get<std::string>().rfind("data:image/jpeg;base64,/9j/", 0), 0u);
  // Another origin is refused before the reader is asked.
  const size_t requests = emulator.Requests().size();
  answer = Exchange(port, "POST /v1/card HTTP/1.0\r\n" + host +
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
