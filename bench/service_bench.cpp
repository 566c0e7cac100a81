// q48-service against the emulator pacing 115200 baud:
//   1. POST /v1/card against a direct read through the exchange, in
//      alternating rounds: the ratio of the medians (goal: at most 1.02);
//   2. 50 clients at once on GET /v1/reader: each answered 200 or 503,
//      none dropped;
//   3. the service idle with no listener: CPU over 10 s (goal: under 0.5 %
//      of a core).
// Usage: q48_service_bench [rounds]. Exit status 1 when a goal is missed.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/exchange.h"
#include "emulator.h"
#include "photo/portrait.h"

extern char** environ;

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One request on its own connection; the status, or 0 when the connection
// failed or was dropped without an answer.
int Ask(unsigned short port, http::verb method, const char* target, std::string* body = nullptr) {
  try {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    http::request<http::string_body> request{method, target, 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    request.set(http::field::content_type, "application/json");
    request.keep_alive(false);
    if (method == http::verb::post) request.body() = "{}";
    request.prepare_payload();
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    if (body != nullptr) *body = response.body();
    return response.result_int();
  } catch (const std::exception&) {
    return 0;
  }
}

// utime + stime of a process, in seconds.
double ProcessCpu(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t after = text.rfind(')');
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = after + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  // Fields 14 and 15 of the file (utime, stime); fields[0] is field 3.
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
  q48emu::Emulator emulator;
  std::string error;
  if (!emulator.OpenPty(&error)) {
    std::fprintf(stderr, "q48_service_bench: %s\n", error.c_str());
    return 1;
  }
  q48emu::Behaviour paced;
  paced.pace = true;
  emulator.SetBehaviour(paced);
  emulator.Start();

  // Both write their portrait files to the same folder.
  char dir[] = "/tmp/q48-service-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  setenv("XDG_CACHE_HOME", dir, 1);

  // The service on a free port; its first line names it.
  int out[2];
  if (pipe(out) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 0x1 /* O_WRONLY */, 0);
  std::string device = emulator.SlavePath();
  std::vector<std::string> args = {Q48_SERVICE_BIN, "--listen", "127.0.0.1:0", "--port", device};
  std::vector<char*> argvService;
  for (std::string& arg : args) argvService.push_back(arg.data());
  argvService.push_back(nullptr);
  pid_t service = 0;
  if (posix_spawn(&service, Q48_SERVICE_BIN, &actions, nullptr, argvService.data(), environ) != 0) return 1;
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  const size_t colon = line.rfind(':');
  const unsigned short port = static_cast<unsigned short>(std::atoi(line.c_str() + colon + 1));
  if (port == 0) {
    std::fprintf(stderr, "q48_service_bench: the service said \"%s\"\n", line.c_str());
    return 1;
  }

  q48::SystemPortraitConverter portrait;
  portrait.SetDecoderLibrary(Q48_BENCH_DECODER);
  q48::ExchangeOptions options;
  options.device = device;
  options.portrait = &portrait;
  std::vector<char> buffer(52200);
  std::vector<double> direct, served;
  bool ok = true;
  for (int i = 0; i < rounds; ++i) {
    std::fill(buffer.begin(), buffer.end(), 0);
    auto start = Clock::now();
    ok &= q48::ReadCard(options, buffer.data()) == 0;
    direct.push_back(Seconds(start));
    std::string body;
    start = Clock::now();
    ok &= Ask(port, http::verb::post, "/v1/card", &body) == 200 && body.find("\"result\":0,") != std::string::npos;
    served.push_back(Seconds(start));
  }
  const double ratio = Median(served) / Median(direct);
  std::printf("read-card at 115200 baud, %d rounds: direct median %.1f ms, POST /v1/card median %.1f ms, ratio %.3f "
              "(goal <= 1.02)%s\n",
              rounds, Median(direct) * 1e3, Median(served) * 1e3, ratio, ok ? "" : "; SOME READS FAILED");

  constexpr int kClients = 50;
  std::vector<int> statuses(kClients);
  std::atomic<int> ready{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] {
      ++ready;
      while (ready < kClients) std::this_thread::yield();
      statuses[i] = Ask(port, http::verb::get, "/v1/reader");
    });
  for (std::thread& client : clients) client.join();
  const int answered200 = static_cast<int>(std::count(statuses.begin(), statuses.end(), 200));
  const int answered503 = static_cast<int>(std::count(statuses.begin(), statuses.end(), 503));
  const int dropped = kClients - answered200 - answered503;
  std::printf("%d clients at once on GET /v1/reader: %d answered 200, %d answered 503, %d dropped (goal 0)\n",
              kClients, answered200, answered503, dropped);

  std::this_thread::sleep_for(std::chrono::seconds(1));  // the last exchanges end
  const double cpuBefore = ProcessCpu(service);
  const auto idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double idle = Seconds(idleStart), cpu = ProcessCpu(service) - cpuBefore;
  std::printf("idle service, no listener: %.3f s of CPU over %.1f s (%.3f%% of a core; goal < 0.5%%)\n", cpu, idle,
              100.0 * cpu / idle);

  kill(service, SIGTERM);
  waitpid(service, nullptr, 0);
  emulator.Stop();
  std::string cleanup = std::string("rm -rf ") + dir;
  (void)std::system(cleanup.c_str());
  return ok && ratio <= 1.02 && dropped == 0 && 100.0 * cpu / idle < 0.5 ? 0 : 1;
}
