// q48-service against the emulator pacing 115200 baud:
//   1. POST /v1/card against a direct read through the exchange, in
//      alternating rounds: the ratio of the medians (goal: at most 1.02);
//   2. 50 clients at once on GET /v1/reader: each answered 200 or 503,
//      none dropped;
//   3. the service idle with no listener: CPU over 10 s (goal: under 0.5 %
//      of a core);
//   4. started as systemd starts it from q48-service.socket (the benchmark
//      holds the listening socket and starts the process as the connection
//      comes): the first POST /v1/card of a new process against the next one
//      on the same process, in alternating rounds; the difference of the
//      medians is the cost of starting on demand (reported, no goal).
// Usage: q48_service_bench [rounds]. Exit status 1 when a goal is missed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "api/exchange.h"
#include "emulator.h"
#include "photo/portrait.h"
#include "service_process.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
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

  std::string device = emulator.SlavePath();
  q48bench::ServiceProcess service;
  if (!q48bench::StartService({"--port", device}, &service, &error)) {
    std::fprintf(stderr, "q48_service_bench: %s\n", error.c_str());
    return 1;
  }
  const unsigned short port = service.port;

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
    start = Clock::now();
    const q48bench::Reply reply = q48bench::Ask(port, "POST", "/v1/card");
    ok &= reply.status == 200 && reply.body.find("\"result\":0,") != std::string::npos;
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
      statuses[i] = q48bench::Ask(port, "GET", "/v1/reader").status;
    });
  for (std::thread& client : clients) client.join();
  const int answered200 = static_cast<int>(std::count(statuses.begin(), statuses.end(), 200));
  const int answered503 = static_cast<int>(std::count(statuses.begin(), statuses.end(), 503));
  const int dropped = kClients - answered200 - answered503;
  std::printf("%d clients at once on GET /v1/reader: %d answered 200, %d answered 503, %d dropped (goal 0)\n",
              kClients, answered200, answered503, dropped);

  std::this_thread::sleep_for(std::chrono::seconds(1));  // the last exchanges end
  const double cpuBefore = q48bench::ProcessCpuSeconds(service.pid);
  const auto idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double idle = Seconds(idleStart), cpu = q48bench::ProcessCpuSeconds(service.pid) - cpuBefore;
  std::printf("idle service, no listener: %.3f s of CPU over %.1f s (%.3f%% of a core; goal < 0.5%%)\n", cpu, idle,
              100.0 * cpu / idle);

  q48bench::StopService(&service);

  unsigned short socketPort = 0;
  const int listening = q48bench::ListenLoopback(&socketPort);
  ok &= listening >= 0;
  std::vector<double> cold, warm;
  for (int i = 0; listening >= 0 && i < rounds; ++i) {
    q48bench::ServiceProcess activated;
    auto start = Clock::now();
    if (!q48bench::StartActivatedService(listening, socketPort, {"--port", device}, &activated, &error)) {
      std::fprintf(stderr, "q48_service_bench: %s\n", error.c_str());
      ok = false;
      break;
    }
    q48bench::Reply reply = q48bench::Ask(socketPort, "POST", "/v1/card");
    cold.push_back(Seconds(start));
    ok &= reply.status == 200 && reply.body.find("\"result\":0,") != std::string::npos;
    start = Clock::now();
    reply = q48bench::Ask(socketPort, "POST", "/v1/card");
    warm.push_back(Seconds(start));
    ok &= reply.status == 200 && reply.body.find("\"result\":0,") != std::string::npos;
    q48bench::StopService(&activated);
  }
  if (listening >= 0) close(listening);
  if (!cold.empty())
    std::printf("socket-activated, %d rounds: first POST /v1/card of a new process median %.1f ms, the next one "
                "%.1f ms: starting on the connection costs %.1f ms%s\n",
                static_cast<int>(cold.size()), Median(cold) * 1e3, Median(warm) * 1e3,
                (Median(cold) - Median(warm)) * 1e3, ok ? "" : "; SOME READS FAILED");

  emulator.Stop();
  std::string cleanup = std::string("rm -rf ") + dir;
  (void)std::system(cleanup.c_str());
  return ok && ratio <= 1.02 && dropped == 0 && 100.0 * cpu / idle < 0.5 ? 0 : 1;
}
