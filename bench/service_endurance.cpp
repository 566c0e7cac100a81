// q48-service over a long run against the emulator: CALLS (10,000) answered
// POST /v1/card calls from four clients, while
//   - one reader answer in ten goes wrong: the reader refuses (status 1..4),
//     sends line noise first, splits its answer, sends it twice, or garbles
//     it (a bad CRC or end byte: the call times out);
//   - two listeners open /v1/events, stay 0.1 to 1.5 s and leave, half of
//     them abruptly (a reset);
//   - one call in thirty-three more is abandoned: the client resets its
//     connection right after the request, or in the middle of its header.
// Every answer must be right (the very body of the first read) or a clean
// failure: a read-card object with -6, -4 or -1 and no fields, or 503 with
// Retry-After. Every event must be one of the service's own. The service's
// resident set and descriptors are reported at its start, after the first
// read and at the end.
// Usage: q48_service_endurance [CALLS]. Exit status 1 on a wrong answer or
// event, or when the service ends holding more descriptors than after its
// first read.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator.h"
#include "service_process.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 4;
constexpr int kListeners = 2;

struct Tally {
  std::atomic<int> right{0}, noCard{0}, timedOut{0}, noReader{0}, busy{0}, wrong{0}, abandoned{0};
  std::atomic<int> listeners{0}, events{0}, wrongEvents{0};
  std::mutex mutex;
  std::vector<std::string> samples;  // the first wrong answers, for the report

  void Wrong(std::atomic<int>* counter, const std::string& what) {
    ++*counter;
    std::lock_guard<std::mutex> lock(mutex);
    if (samples.size() < 5) samples.push_back(what.substr(0, 300));
  }
};

// A fault for the next answer the reader gives, or none (nine times in ten).
bool NextFault(std::mt19937& random, q48emu::Behaviour* fault) {
  if (std::uniform_int_distribution<int>(0, 9)(random) != 0) return false;
  *fault = q48emu::Behaviour();
  const int kind = std::uniform_int_distribution<int>(0, 99)(random);
  if (kind < 40) {
    fault->status = static_cast<uint8_t>(1 + kind % 4);  // the reader refuses: -6
  } else if (kind < 60) {
    fault->noiseBefore = {0x00, 0xFF, 0x55, 0xAA, 0x06, 0x04};  // recovered: the right answer
  } else if (kind < 80) {
    fault->splitAt = {3, 40, 700};
    fault->pauseMs = 5;  // recovered
  } else if (kind < 96) {
    fault->twoFrames = true;  // recovered; the copy is set aside
  } else if (kind < 98) {
    fault->badCrc = true;  // no usable answer: -4 after the read's time limit
  } else {
    fault->badEndByte = true;  // the same
  }
  return true;
}

bool CleanFailure(const std::string& body, Tally* tally) {
  const auto object = nlohmann::json::parse(body, nullptr, false);
  if (!object.is_object() || object.value("command", "") != "read-card" || !object.contains("fields") ||
      object.at("fields") != nlohmann::json::object())
    return false;
  switch (object.value("result", 0)) {
    case -6: ++tally->noCard; return true;
    case -4: ++tally->timedOut; return true;
    case -1: ++tally->noReader; return true;
    default: return false;
  }
}

// A client that resets its connection after sending some of a request.
void Abandon(unsigned short port, std::mt19937& random) {
  try {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    std::string request = "POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    if (std::uniform_int_distribution<int>(0, 1)(random) == 0) request.resize(request.size() / 2);
    net::write(socket, net::buffer(request));
    if (std::uniform_int_distribution<int>(0, 1)(random) == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(1, 50)(random)));
    socket.set_option(net::socket_base::linger(true, 0));  // close sends a reset
    socket.close();
  } catch (const std::exception&) {
  }
}

// One listener: reads the event stream for `stay`, checking each event, then
// leaves, gracefully or with a reset.
void Listen(unsigned short port, std::chrono::milliseconds stay, bool reset, const std::string& card, Tally* tally) {
  try {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    ++tally->listeners;
    const timeval step{0, 100 * 1000};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &step, sizeof step);
    net::write(socket, net::buffer("GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n"));
    std::string stream;
    bool header = true;
    char chunk[8192];
    const auto until = Clock::now() + stay;
    while (Clock::now() < until) {
      const ssize_t got = recv(socket.native_handle(), chunk, sizeof chunk, 0);
      if (got == 0) break;
      if (got < 0) continue;  // the step ran out
      stream.append(chunk, static_cast<size_t>(got));
      if (header) {
        const size_t end = stream.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        if (stream.rfind("HTTP/1.1 200 ", 0) != 0) tally->Wrong(&tally->wrongEvents, "stream: " + stream);
        stream.erase(0, end + 4);
        header = false;
      }
      for (size_t end; (end = stream.find("\n\n")) != std::string::npos; stream.erase(0, end + 2)) {
        const std::string block = stream.substr(0, end);
        if (block == ":" || block == "retry: 2000") continue;
        ++tally->events;
        bool ok = false;
        if (block.rfind("event: card\ndata: ", 0) == 0) {
          ok = block.substr(18) == card;
        } else if (block.rfind("event: removed\ndata: ", 0) == 0) {
          const auto object = nlohmann::json::parse(block.substr(21), nullptr, false);
          ok = object.is_object() && object.value("result", 0) == -6;
        } else {
          ok = block == "event: reader\ndata: {\"present\":true}" || block == "event: reader\ndata: {\"present\":false}";
        }
        if (!ok) tally->Wrong(&tally->wrongEvents, "event: " + block);
      }
    }
    if (reset) socket.set_option(net::socket_base::linger(true, 0));
    socket.close();
  } catch (const std::exception& e) {
    tally->Wrong(&tally->wrongEvents, std::string("listener: ") + e.what());
  }
}

void Report(const char* when, const q48bench::ServiceProcess& service) {
  std::printf("  %-18s RSS %6ld KiB, %3d descriptors\n", when, q48bench::ResidentKiB(service.pid),
              q48bench::OpenDescriptors(service.pid));
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  q48emu::Emulator emulator;
  std::string error;
  if (!emulator.OpenPty(&error)) {
    std::fprintf(stderr, "q48_service_endurance: %s\n", error.c_str());
    return 1;
  }
  emulator.Start();
  char dir[] = "/tmp/q48-service-endurance-XXXXXX";  // the portrait files
  if (mkdtemp(dir) == nullptr) return 1;
  setenv("XDG_CACHE_HOME", dir, 1);

  q48bench::ServiceProcess service;
  if (!q48bench::StartService({"--port", emulator.SlavePath(), "--watch-interval", "250"}, &service, &error)) {
    std::fprintf(stderr, "q48_service_endurance: %s\n", error.c_str());
    return 1;
  }
  std::printf("q48-service endurance: %d calls of POST /v1/card, %d clients, %d listeners coming and going, "
              "one reader answer in ten faulty\n", calls, kClients, kListeners);
  Report("at start:", service);
  const q48bench::Reply first = q48bench::Ask(service.port, "POST", "/v1/card");
  if (first.status != 200 || first.body.find("\"result\":0,") == std::string::npos) {
    std::fprintf(stderr, "q48_service_endurance: the first read failed: %d %s\n", first.status, first.body.c_str());
    q48bench::StopService(&service);
    return 1;
  }
  const std::string& card = first.body;
  Report("after first read:", service);
  const int descriptorsBefore = q48bench::OpenDescriptors(service.pid);
  const long residentBefore = q48bench::ResidentKiB(service.pid);

  Tally tally;
  std::atomic<int> next{0}, faults{0};
  std::atomic<bool> done{false};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      q48emu::Behaviour fault;
      while (next++ < calls) {
        if (NextFault(random, &fault)) {
          emulator.PushBehaviour(fault);
          ++faults;
        }
        if (std::uniform_int_distribution<int>(0, 32)(random) == 0) {
          Abandon(service.port, random);
          ++tally.abandoned;
        }
        const q48bench::Reply reply = q48bench::Ask(service.port, "POST", "/v1/card");
        if (reply.status == 200 && reply.body == card) {
          ++tally.right;
        } else if (reply.status == 503 && !reply.retryAfter.empty()) {
          ++tally.busy;
        } else if (reply.status != 200 || !CleanFailure(reply.body, &tally)) {
          tally.Wrong(&tally.wrong, std::to_string(reply.status) + " " + reply.body);
        }
      }
    });
  for (int t = 0; t < kListeners; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(2000 + t);
      while (!done) {
        const auto stay = std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 1500)(random));
        Listen(service.port, stay, std::uniform_int_distribution<int>(0, 1)(random) == 0, card, &tally);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1000)(random)));
      }
    });
  for (int t = 0; t < kClients; ++t) threads[t].join();
  done = true;
  for (size_t t = kClients; t < threads.size(); ++t) threads[t].join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  // The service notices the last listeners and abandoned connections go.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const bool serving = q48bench::Ask(service.port, "GET", "/v1/reader").status == 200;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Report("at the end:", service);
  const int descriptorsAfter = q48bench::OpenDescriptors(service.pid);
  const long residentAfter = q48bench::ResidentKiB(service.pid);

  std::printf("%d calls in %.0f s (%.1f a second); %d reader faults injected (%.1f %% of calls)\n", calls, seconds,
              calls / seconds, faults.load(), 100.0 * faults / calls);
  std::printf("  right %d; clean failures: no card (-6) %d, timed out (-4) %d, no reader (-1) %d, busy (503) %d; "
              "WRONG %d\n", tally.right.load(), tally.noCard.load(), tally.timedOut.load(), tally.noReader.load(),
              tally.busy.load(), tally.wrong.load());
  std::printf("  %d calls abandoned with a reset; %d listeners, %d events, WRONG events %d\n", tally.abandoned.load(),
              tally.listeners.load(), tally.events.load(), tally.wrongEvents.load());
  std::printf("  resident set %+ld KiB, descriptors %+d from after the first read; still serving: %s\n",
              residentAfter - residentBefore, descriptorsAfter - descriptorsBefore, serving ? "yes" : "NO");
  for (const std::string& sample : tally.samples) std::printf("  wrong: %s\n", sample.c_str());

  q48bench::StopService(&service);
  emulator.Stop();
  const std::string cleanup = std::string("rm -rf ") + dir;
  (void)std::system(cleanup.c_str());
  return tally.wrong == 0 && tally.wrongEvents == 0 && serving && descriptorsAfter <= descriptorsBefore ? 0 : 1;
}
