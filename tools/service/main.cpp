// q48-service: the reader for web pages, as a small HTTP service on the
// loopback address. A page that the administrator allowed (or the built-in
// page) reads the card through it; no other site can.
//
//   q48-service [--listen ADDR:PORT] [--port DEVICE] [--allow-origin ORIGIN]...
//               [--config FILE] [--watch-interval MS]
//
// Exit status: 0 after a stop request (SIGINT, SIGTERM, Ctrl+C), 1 when the
// settings are unusable or the address cannot be listened on.
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "card_watcher.h"
#include "reader_queue.h"
#include "server.h"
#include "settings.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "q48-service: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"q48-service: the Q48 reader for web pages, over HTTP on the loopback address.", "q48-service"};
  app.set_version_flag("--version", "q48-service " Q48_VERSION);
  app.footer(
      "API: GET /v1/reader, POST /v1/card, /v1/iccid, /v1/card-type, /v1/sim (JSON), GET /v1/events (Server-Sent "
      "Events); the built-in page at /, the module /q48.js.\nExit status: 0 after a stop request, 1 unusable settings.");
  app.failure_message(CLI::FailureMessage::help);

  std::string listen, device, configPath;
  std::vector<std::string> origins;
  long long watchInterval = q48service::kDefaultWatchIntervalMs;
  CLI::Option* listenOption = app.add_option(
      "--listen", listen, "ADDR:PORT to listen on, loopback only (default 127.0.0.1:18848; port 0: any free one)");
  CLI::Option* deviceOption =
      app.add_option("--port", device, "use this device (/dev/ttyUSB0, COM7) instead of searching for the reader");
  app.add_option("--allow-origin", origins,
                 "a web origin allowed to use the reader, exactly scheme://host[:port]; repeatable");
  app.add_option("--config", configPath, "JSON file with these settings: listen, port, allow-origin, watch-interval");
  CLI::Option* watchOption = app.add_option("--watch-interval", watchInterval,
                                            "milliseconds between card reads while a page listens (default 1000)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 1;
  }

  q48service::Settings settings;
  std::string error;
  if (!configPath.empty() && !q48service::LoadConfigFile(configPath, &settings, &error)) return Fail(error);
  if (listenOption->count() > 0 && !q48service::ParseListen(listen, &settings.listenHost, &settings.listenPort, &error))
    return Fail(error);
  if (deviceOption->count() > 0) settings.device = device;
  for (const std::string& given : origins) {
    std::string origin;
    if (!q48service::NormaliseOrigin(given, &origin, &error)) return Fail(error);
    settings.allowedOrigins.push_back(origin);
  }
  if (watchOption->count() > 0) {
    if (!q48service::CheckWatchInterval(watchInterval, &error)) return Fail(error);
    settings.watchIntervalMs = static_cast<int>(watchInterval);
  }

  boost::asio::io_context io;
  q48::ExchangeOptions exchange;
  exchange.device = settings.device;
  q48service::ReaderQueue queue(io, exchange);
  q48service::CardWatcher watcher(io, queue, std::chrono::milliseconds(settings.watchIntervalMs));
  q48service::Server server(io, settings, queue, watcher);
  if (!server.Listen(&error)) return Fail(error);

  boost::asio::signal_set stop(io, SIGINT, SIGTERM);
  stop.async_wait([&](const boost::system::error_code& ec, int signal) {
    if (ec) return;
    std::fprintf(stderr, "q48-service: stopping on %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    server.Stop();
    watcher.Stop();
    io.stop();
  });
  server.Start();

  const q48service::Site& site = server.site();
  const bool v6 = site.listenHost.find(':') != std::string::npos;
  std::printf("q48-service %s: listening on http://%s:%u/\n", Q48_VERSION,
              (v6 ? "[" + site.listenHost + "]" : site.listenHost).c_str(), static_cast<unsigned>(site.port));
  std::fflush(stdout);
  std::string allowed;
  for (const std::string& origin : site.allowedOrigins) allowed += " " + origin;
  std::fprintf(stderr, "q48-service: reader %s; origins allowed besides its own:%s; cards watched every %d ms while a page listens\n",
               settings.device.empty() ? "found by its USB identity" : settings.device.c_str(),
               allowed.empty() ? " none" : allowed.c_str(), settings.watchIntervalMs);
  std::fflush(stderr);

  io.run();
  queue.Stop();  // lets a running exchange finish: the port is closed properly
  return 0;
}
