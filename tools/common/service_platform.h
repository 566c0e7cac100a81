// What q48-service needs from the platform besides Asio. POSIX:
// service_platform_posix.cpp. Windows, in three parts: the settings source
// (service_settings_win32.cpp), the link to the service manager
// (service_manager_win32.cpp), process hardening: DLL search and private
// folders (service_hardening_win32.cpp). Every
// function here is called once, at start, on the thread that runs the
// service, unless it says otherwise; none blocks for long unless it says so;
// every buffer belongs to the caller.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "protocol/requests.h"

#include "settings.h"

namespace q48service {

// Called on the open, not yet bound, listening socket. POSIX: the address
// may be bound again while old connections linger (a restart must not fail
// for a minute). Windows: no other program may bind the same address beside
// us (SO_EXCLUSIVEADDRUSE).
void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

// Whether the system's service manager handed this process its listening
// socket when it started it (POSIX: systemd's socket activation, the socket
// of q48-service.socket; Windows: never).
enum class HandedSocket {
  None,      // nothing handed over: the service listens on its `listen` setting
  Adopted,   // `acceptor` now owns it, open and listening
  Unusable,  // handed over but not one listening TCP socket: *error says why
};
// Called before the service binds anything, once. Does not block.
HandedSocket AdoptHandedSocket(boost::asio::ip::tcp::acceptor& acceptor, std::string* error);

// The settings this machine's administrator gave, read when no --config
// names a file: the file /etc/q48reader/q48-service.json (POSIX, when it
// exists) or the registry key HKLM\SOFTWARE\Q48Reader\q48-service (Windows,
// when it exists; its value names in any case). Values are read for their
// form only; ResolveSettings checks them. False with "WHERE: reason" when the
// source cannot be read.
bool ReadSystemSettings(SettingsSource* source, std::string* error);
// Where ReadSystemSettings looks, as this process sees it (a 32-bit service
// on 64-bit Windows reads HKLM\SOFTWARE\WOW6432Node\...): for --help and
// messages.
std::string SystemSettingsName();

// The longest a card operation may take: a SIM write, two steps each
// within its own polling bound (30 s), plus the port's opening and the
// answer's sending. A stopping service waits this long for one to end,
// and no longer.
constexpr std::chrono::milliseconds kLongestCardOperation{
    q48::requests::kWriteNumber.sleepMs * q48::requests::kWriteNumber.maxTakes +
    q48::requests::kWriteContent.sleepMs * q48::requests::kWriteContent.maxTakes};
constexpr std::chrono::milliseconds kLongestStop = kLongestCardOperation + std::chrono::seconds(5);

// What the service manager sees of a running service.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Called once the service listens: the manager then reports it running
  // and may ask it to stop, by calling `stop` once, on the manager's thread,
  // with what asked ("Stop", "Shutdown"). `stop` must only post work to the
  // service's own thread. From that call until the service function returns,
  // the manager reports the service stopping, with wait hints, for at most
  // kLongestStop.
  virtual void Running(std::function<void(const std::string& why)> stop) = 0;
  // Called on the service's thread when it begins to stop for any reason:
  // the manager reports it stopping and calls `stop` no more.
  virtual void Stopping() = 0;
};

// The link between this process and the system's service manager, owned by
// main for the process's life (one per process).
class ServiceManagerLink {
 public:
  ServiceManagerLink();
  ~ServiceManagerLink();
  ServiceManagerLink(const ServiceManagerLink&) = delete;
  ServiceManagerLink& operator=(const ServiceManagerLink&) = delete;
  // When the system's service manager started this process (Windows: the
  // Service Control Manager; StartServiceCtrlDispatcher succeeds), runs
  // `service` under it and returns true with its exit status in *status:
  // reported as start pending until it calls Running, then running, and at
  // its return stopped (a non-zero status as a service-specific error, which
  // the manager shows as a failed start). Blocks for the service's whole
  // life; `service` runs on a thread of the manager's. Otherwise (a console,
  // a terminal, systemd) returns false at once.
  bool Run(const std::function<int(ServiceManager&)>& service, int* status);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether this platform has a service configuration that the program sets
// itself (Windows: the restart-on-failure actions, which the installer sets
// through its MsiServiceConfigFailureActions table and, as Microsoft
// advises that this table does not always work, through --configure-service
// too, whose failure never fails the installation).
extern const bool kConfiguresService;
// Sets them; false with the system's reason. Needs an administrator (the
// installer runs it as LocalSystem).
bool ConfigureService(std::string* report);

// Process hardening, the first thing the service does, before any library
// is loaded by name. Windows: DLLs are looked for beside the program and in
// the system folder only, never in PATH or the working folder. POSIX:
// nothing. "" or a warning for the log.
std::string HardenProcess();

// The portrait decoder the library's converter is to load, in *library
// (the name or path to give it; "" for the library's own default): `setting`
// (the decoder setting, a full path) when given; else, Windows: WltRS.dll
// when one is beside the program or in the system folder, else the stand-in
// that the installer's optional feature puts in stand-in\ beside the
// program (so that it never hides a real one; its folder joins the DLL
// search); POSIX: the library's libWltRS.so by the loader's path. What it
// chose, for the log, in *report. False when no decoder may be loaded
// (cards are then read without their portrait). Call after HardenProcess.
bool ChooseDecoder(const std::string& setting, std::string* library, std::string* report);

// A folder for the service's own files (`leaf`: "logs", "portraits") that
// no other account may read: Windows: %ProgramData%\Q48Reader\LEAF under
// the service manager, for SYSTEM, the Administrators and the service's own
// SID (NT SERVICE\q48-service) only, with that list read back in *report;
// in a console the same in the user's %LOCALAPPDATA%. POSIX: portraits in
// $CACHE_DIRECTORY/portraits (systemd's CacheDirectory=), else
// ${XDG_CACHE_HOME:-~/.cache}/q48-service/portraits, made mode 0700 by the
// library; no logs folder (the journal keeps standard error). The path in
// the file-name encoding the library takes; "" with *error when none can be
// had (a folder of that name that another user owns is refused).
std::string ServiceDataFolder(bool underManager, const char* leaf, std::string* report, std::string* error);

// Where the service logs when the manager runs it, "" where its standard
// error is kept by the system (POSIX: systemd's journal). Windows:
// q48-service.log in ServiceDataFolder(true, "logs").
std::string ServiceLogPath(std::string* error);

}  // namespace q48service
