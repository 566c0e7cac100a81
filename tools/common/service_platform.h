// What q48-service needs from the platform besides Asio. One backend per
// platform: service_platform_posix.cpp, service_platform_win32.cpp. Every
// function here is called once, at start, on the thread that runs the
// service, unless it says otherwise; none blocks for long unless it says so;
// every buffer belongs to the caller.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <string>

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
// when it exists). Values are read for their form only; ResolveSettings
// checks them. False with "WHERE: reason" when the source cannot be read.
bool ReadSystemSettings(SettingsSource* source, std::string* error);
// Where ReadSystemSettings looks, for --help.
extern const char kSystemSettingsName[];

// The link between a running service and the system's service manager.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Called once the service listens: the manager then reports it running
  // and may ask it to stop, by calling `stop` once, on the manager's thread,
  // with what asked ("Stop", "Shutdown"). `stop` must only post work to the
  // service's own thread. From that call until the service function returns,
  // the manager reports the service stopping, with wait hints.
  virtual void Running(std::function<void(const std::string& why)> stop) = 0;
  // Called on the service's thread when it begins to stop for any reason:
  // the manager reports it stopping and calls `stop` no more.
  virtual void Stopping() = 0;
};

// When the system's service manager started this process (Windows: the
// Service Control Manager; StartServiceCtrlDispatcher succeeds), runs
// `service` under it and returns true with its exit status in *status:
// reported as start pending until it calls Running, then running, and at its
// return stopped (a non-zero status as a service-specific error, which the
// manager shows as a failed start). Blocks for the service's whole life.
// Otherwise (a console, a terminal, systemd) returns false at once.
bool RunUnderServiceManager(const std::function<int(ServiceManager&)>& service, int* status);

// Where the service logs when the manager runs it, "" where its standard
// error is kept by the system (POSIX: systemd's journal). Windows:
// %ProgramData%\Q48Reader\logs\q48-service.log, its folders created.
std::string ServiceLogPath(std::string* error);

// Whether this platform has a service configuration that the program sets
// itself (Windows: the restart-on-failure actions, which the installer has
// q48-service.exe set through --configure-service).
extern const bool kConfiguresService;
// Sets them; false with the system's reason. Needs an administrator (the
// installer runs it as LocalSystem).
bool ConfigureService(std::string* report);

// Windows: when the ordinary search for the portrait decoder by its bare
// name finds none (beside the program, the system folders, PATH), loads the
// stand-in that the installer's optional feature puts in stand-in\ beside
// the program and keeps it loaded, so that the library's bare-name load
// finds it. A real decoder is therefore never hidden by the stand-in.
// Returns what it did, for the log ("" for nothing). POSIX: nothing (the
// packages put a decoder on the loader's path).
std::string UseStandInDecoderIfNoOther();

}  // namespace q48service
