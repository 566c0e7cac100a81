// zelReadCard's exchange against the emulator pacing 115200 baud, as a ratio
// of wall time to the wire time of request and answer; and the CPU the
// reader thread spends while it waits.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "api/exchange.h"
#include "emulator.h"
#include "photo/portrait.h"
#include "serial/com_port.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  q48emu::Emulator emulator;
  std::string error;
  if (!emulator.OpenPty(&error)) {
    std::fprintf(stderr, "q48_e2e_bench: %s\n", error.c_str());
    return 1;
  }
  q48emu::Behaviour paced;
  paced.pace = true;
  emulator.SetBehaviour(paced);
  emulator.Start();

  char dir[] = "/tmp/q48-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  q48::SystemPortraitConverter portrait(dir);
  portrait.SetDecoderLibrary(Q48_BENCH_DECODER);
  q48::ExchangeOptions options;
  options.device = emulator.SlavePath();
  options.portrait = &portrait;

  // Request 17 bytes; answer 17 bytes of framing, the status and the
  // 1295-byte record; 10 bits a byte.
  const double wire = (17.0 + 17.0 + 1296.0) * 10.0 / 115200.0;
  std::vector<double> times;
  std::vector<char> buffer(52200);
  for (int i = 0; i < rounds; ++i) {
    std::fill(buffer.begin(), buffer.end(), 0);
    const auto start = std::chrono::steady_clock::now();
    const int16_t result = q48::ReadCard(options, buffer.data());
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (result != 0) {
      std::fprintf(stderr, "q48_e2e_bench: zelReadCard gave %d\n", result);
      return 1;
    }
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::printf("zelReadCard at 115200 baud: median %.1f ms, best %.1f ms, worst %.1f ms over %d; wire %.1f ms; "
              "ratio %.3f\n",
              median * 1e3, times.front() * 1e3, times.back() * 1e3, rounds, wire * 1e3, median / wire);

  // An open port with its reader thread running and nothing arriving.
  q48::ComPort port;
  if (!port.Open(emulator.SlavePath())) return 1;
  port.ResumeReader();
  const double cpuBefore = CpuSeconds();
  const auto idleStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double idle = std::chrono::duration<double>(std::chrono::steady_clock::now() - idleStart).count();
  const double cpu = CpuSeconds() - cpuBefore;
  port.Close();
  std::printf("idle wait: %.4f s of CPU over %.2f s (%.3f%% of a core)\n", cpu, idle, 100.0 * cpu / idle);
  emulator.Stop();
  std::string cleanup = std::string("rm -rf ") + dir;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
