// q48-service: the reader for web pages, as a small HTTP service on the
// loopback address. A page that the administrator allowed (or the built-in
// page) reads the card through it; no other site can.
//
//   q48-service [--listen ADDR:PORT] [--port DEVICE] [--allow-origin ORIGIN]...
//               [--config FILE] [--watch-interval MS] [--idle-exit SECONDS]
//
// Settings come from the administrator's source (/etc/q48reader/q48-service.json,
// or on Windows the registry key HKLM\SOFTWARE\Q48Reader\q48-service), or
// from --config FILE instead; options on the command line override either.
// When the Windows service manager starts it, it runs as the service
// q48-service and logs to %ProgramData%\Q48Reader\logs\; otherwise it runs in
// the console and logs to standard error. When systemd starts it on the
// first connection to q48-service.socket, it serves the socket systemd
// handed over instead of binding the listen setting, and exits once no
// connection has been open for idle-exit seconds (the socket stays with
// systemd, and the next connection starts it again).
//
// Exit status: 0 after a stop request (SIGINT, SIGTERM, Ctrl+C, the service
// manager's Stop), 1 when the settings are unusable or the address cannot be
// listened on (under the service manager: the service-specific error it
// reports). A log that cannot be written is no failure: the service then
// serves without one.
#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <csignal>
#include <functional>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "card_watcher.h"
#include "log.h"
#include "photo/portrait.h"
#include "reader_queue.h"
#include "server.h"
#include "service_platform.h"
#include "settings.h"
#include "tool_platform.h"

namespace {

using namespace q48service;

// The service's file log (where the service manager runs it): one request a
// line, so 1 MiB is some thousands of card reads. q48-service.log and four
// older ones, q48-service.1.log to .4.log, which the installer removes by
// name (packaging/windows/q48-service-msi.sql).
constexpr uint64_t kLogFileBytes = 1 << 20;
constexpr int kLogFilesKept = 4;

using Clock = std::chrono::steady_clock;

// How long a stopping service may go on sending answers once the last card
// operation is done (a client that reads nothing must not hold it up).
constexpr std::chrono::milliseconds kAnswerGrace{1000};
// How often a busy service looks again whether it has become idle.
constexpr std::chrono::seconds kIdleRecheck{10};

// Where no private folder or no decoder can be had: cards are read without
// their portrait rather than leave it where others may read it.
class NoPortrait : public q48::PortraitConverter {
 public:
  int32_t ConvertPortrait(const uint8_t*, int32_t*, uint8_t*, size_t) override { return q48::kNoFolder; }
};

struct CommandLine {
  SettingsSource settings;
  std::string configPath;
  bool configureService = false;
  std::string hardening;  // HardenProcess's warning, for the log
};

// Reads the command line into *out; -1 to go on, else the exit status.
//
// The settings' options are made from the one list of keys. (CLI11 could read
// the file itself, but it would merge the file into the options before any
// check, and a bad value could then not be traced to the file it came from;
// every source is read apart instead and checked once, by ResolveSettings.)
int ParseCommandLine(int argc, char** argv, CommandLine* out) {
  CLI::App app{"q48-service: the Q48 reader for web pages, over HTTP on the loopback address.", "q48-service"};
  app.set_version_flag("--version", "q48-service " Q48_VERSION);
  app.footer(std::string("Settings: from ") + SystemSettingsName() +
             " when no --config is given; options given here override them.\n"
             "API: GET /v1/reader, POST /v1/card, /v1/iccid, /v1/card-type, /v1/sim (JSON), GET /v1/events "
             "(Server-Sent Events); the built-in page at /, the module /q48.js.\n"
             "Exit status: 0 after a stop request, 1 unusable settings.");
  app.failure_message(CLI::FailureMessage::help);

  std::vector<std::pair<const SettingKey*, CLI::Option*>> options;
  for (const SettingKey& key : SettingKeys()) {
    std::string help = key.help;
    const std::string byDefault = key.show(Settings());
    if (!byDefault.empty()) help += " (default " + byDefault + ")";
    CLI::Option* option = app.add_option(std::string("--") + key.name)->description(help)->type_name(key.valueName);
    if (key.form == SettingForm::List) option->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    options.emplace_back(&key, option);
  }
  app.add_option("--config", out->configPath,
                 std::string("JSON file with these settings as keys, read instead of ") + SystemSettingsName())
      ->type_name("FILE");
  if (kConfiguresService)
    app.add_flag("--configure-service", out->configureService,
                 "set the installed service's restart on failure, then exit (the installer does it)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 1;
  }
  out->settings.keyPrefix = "--";
  for (const auto& [key, option] : options)
    if (option->count() > 0) out->settings.values[key->name] = option->results();
  return -1;
}

// The service, in a console or under the service manager (`manager`).
int Serve(const CommandLine& commandLine, ServiceManager* manager) {
  q48tool::Log& log = q48tool::Log::Process();
  std::string error;
  if (manager != nullptr) {
    // Without its file (a folder squatting on its name, a log folder that
    // is not the service's own) the service still serves, logging nowhere:
    // failing would only have the manager restart it into the same fault.
    const std::string path = ServiceLogPath(&error);
    if (!path.empty()) log.OpenFile(path, &error, kLogFileBytes, kLogFilesKept);
    log.SetStderr(false);
  }
  const auto fail = [&](const std::string& message) {
    log.Write("q48-service: " + message);
    return 1;
  };

  SettingsSource file;
  if (commandLine.configPath.empty() ? !ReadSystemSettings(&file, &error)
                                     : !ReadSettingsFile(commandLine.configPath, &file, &error))
    return fail(error);
  Settings settings;
  if (!ResolveSettings({file, commandLine.settings}, &settings, &error)) return fail(error);

  if (!commandLine.hardening.empty()) log.Write("q48-service: " + commandLine.hardening);
  // The library's converter, given a folder of the service's own and the
  // decoder chosen here; its files go after every read, whatever the
  // outcome, so that nothing of a card holder stays on disk.
  std::string decoder, report;
  const bool decoderUsable = ChooseDecoder(settings.decoder, &decoder, &report);
  log.Write("q48-service: " + report);
  std::string folderReport;
  const std::string portraitFolder = ServiceDataFolder(manager != nullptr, "portraits", &folderReport, &error);
  if (portraitFolder.empty()) log.Write("q48-service: cards are read without their portrait: " + error);
  std::unique_ptr<q48::PortraitConverter> portrait;
  if (decoderUsable && !portraitFolder.empty()) {
    auto converter = std::make_unique<q48::SystemPortraitConverter>(portraitFolder);
    if (!decoder.empty()) converter->SetDecoderLibrary(decoder);
    converter->SetKeepFiles(false);
    portrait = std::move(converter);
    log.Write("q48-service: portraits converted in " + q48tool::SystemTextToUtf8(portraitFolder) + " (" +
              folderReport + "), removed after each read");
  } else {
    portrait = std::make_unique<NoPortrait>();
  }

  boost::asio::io_context io;
  q48::ExchangeOptions exchange;
  exchange.device = settings.device;
  exchange.portrait = portrait.get();
  ReaderQueue queue(io, exchange);
  CardWatcher watcher(io, queue, std::chrono::milliseconds(settings.watchIntervalMs));
  Server server(io, settings, queue, watcher);
  if (!server.Listen(&error)) return fail(error);

  // Stopping: no new connection, the event streams ended; the card operation
  // under way finishes within its own timeout (a SIM write is never cut in
  // the middle) and its answer is still sent; then the service ends.
  bool stopping = false;
  std::thread finisher;
  boost::asio::steady_timer grace(io);
  boost::asio::steady_timer idle(io);
  Clock::time_point graceEnds;
  std::function<void()> endWhenAnswered = [&] {
    if (!server.Answering() || Clock::now() >= graceEnds) return io.stop();
    grace.expires_after(std::chrono::milliseconds(10));
    grace.async_wait([&](const boost::system::error_code&) { endWhenAnswered(); });
  };
  auto working = boost::asio::make_work_guard(io);
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  const auto stop = [&](const std::string& why) {
    if (stopping) return;
    stopping = true;
    if (manager != nullptr) manager->Stopping();
    log.Write("q48-service: stopping on " + why);
    server.Stop();
    watcher.Stop();
    signals.cancel();
    idle.cancel();
    finisher = std::thread([&] {
      queue.Stop();  // after the last answer was handed to the network thread
      boost::asio::post(io, [&] {
        working.reset();
        graceEnds = Clock::now() + kAnswerGrace;
        endWhenAnswered();
      });
    });
  };
  signals.async_wait([&](const boost::system::error_code& ec, int signal) {
    if (!ec) stop(signal == SIGINT ? "SIGINT" : "SIGTERM");
  });
  server.Start();

  // Started by systemd on a connection: no need to stay once nobody uses it.
  const std::chrono::seconds idleExit(settings.idleExitSeconds);
  std::function<void()> exitWhenIdle = [&] {
    if (stopping) return;
    const auto since = server.IdleSince();
    if (since && Clock::now() - *since >= idleExit)
      return stop("no connection for " + std::to_string(settings.idleExitSeconds) + " s");
    idle.expires_at(since ? *since + idleExit : Clock::now() + std::min<Clock::duration>(idleExit, kIdleRecheck));
    idle.async_wait([&](const boost::system::error_code& ec) {
      if (!ec) exitWhenIdle();
    });
  };
  if (server.Handed() && settings.idleExitSeconds > 0) exitWhenIdle();

  Settings listening = settings;
  listening.listenHost = server.site().listenHost;
  listening.listenPort = server.site().port;
  std::printf("q48-service %s: listening on http://%s/\n", Q48_VERSION,
              FindSettingKey("listen")->show(listening).c_str());
  std::fflush(stdout);
  const std::string origins = FindSettingKey("allow-origin")->show(settings);
  log.Write("q48-service " Q48_VERSION ": settings from " +
            (file.name.empty() ? std::string("the defaults") : file.name) +
            (commandLine.settings.values.empty() ? "" : " and the command line") + "; listening on " +
            FindSettingKey("listen")->show(listening) +
            (server.Handed() ? " (the socket systemd handed over; the listen setting is not used)" : "") + "; reader " +
            (settings.device.empty() ? "found by its USB identity" : settings.device) +
            "; origins allowed besides its own: " + (origins.empty() ? "none" : origins) + "; cards watched every " +
            std::to_string(settings.watchIntervalMs) + " ms while a page listens" +
            (server.Handed() && settings.idleExitSeconds > 0
                 ? "; exits after " + std::to_string(settings.idleExitSeconds) + " s without a connection"
                 : ""));
  if (manager != nullptr)
    manager->Running([&](const std::string& why) { boost::asio::post(io, [&stop, why] { stop(why); }); });

  io.run();
  if (finisher.joinable()) finisher.join();
  log.Write("q48-service: stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine commandLine;
  // Before anything loads a library by name.
  commandLine.hardening = HardenProcess();
  if (const int status = ParseCommandLine(argc, argv, &commandLine); status >= 0) return status;
  if (commandLine.configureService) {
    // Not into the service's log: a file the installer (LocalSystem) made
    // there would be one that the service's account may not write.
    std::string report;
    const bool done = ConfigureService(&report);
    q48tool::Log::Process().Write("q48-service: " + report);
    return done ? 0 : 1;
  }
  int status = 0;
  const auto service = [&](ServiceManager& manager) {
    const int result = Serve(commandLine, &manager);
    q48tool::Log::Process().CloseFile();
    return result;
  };
  ServiceManagerLink manager;
  if (manager.Run(service, &status)) return status;
  return Serve(commandLine, nullptr);
}
