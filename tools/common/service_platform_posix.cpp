// q48-service on POSIX: systemd (or a terminal) runs it as an ordinary
// process; its standard error is the log; the administrator's settings are a
// JSON file in /etc. systemd may start it on the first connection to the
// socket it holds (q48-service.socket) and hand that socket over.
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "service_platform.h"

namespace q48service {

namespace {
constexpr char kSystemSettingsFile[] = "/etc/q48reader/q48-service.json";
}  // namespace

const bool kConfiguresService = false;

struct ServiceManagerLink::State {};
ServiceManagerLink::ServiceManagerLink() = default;
ServiceManagerLink::~ServiceManagerLink() = default;
bool ServiceManagerLink::Run(const std::function<int(ServiceManager&)>&, int*) { return false; }

std::string SystemSettingsName() { return kSystemSettingsFile; }

void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

namespace {

// The first descriptor systemd passes (SD_LISTEN_FDS_START).
constexpr int kFirstHandedDescriptor = 3;

// A decimal environment value; false when absent or not a whole number.
bool EnvironmentNumber(const char* name, long* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return errno == 0 && *end == '\0';
}

}  // namespace

// systemd's socket activation, as sd_listen_fds(3) describes it: LISTEN_PID
// names the process the sockets are for, LISTEN_FDS counts them from
// descriptor 3 on. Read here rather than through libsystemd's
// sd_listen_fds(): the variables are one of systemd's documented stable
// interfaces, and so every POSIX build takes the socket the same way, the
// arm64 one too, whose tests are linked statically (Debian ships no static
// libsystemd). As sd_listen_fds(1) does, the variables are removed, so that
// a program this one starts cannot take the socket for its own, and the
// descriptor is not inherited by one.
HandedSocket AdoptHandedSocket(boost::asio::ip::tcp::acceptor& acceptor, std::string* error) {
  long pid = 0, count = 0;
  const bool forUs = EnvironmentNumber("LISTEN_PID", &pid) && pid == static_cast<long>(getpid());
  const bool counted = EnvironmentNumber("LISTEN_FDS", &count);
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (!forUs || !counted || count == 0) return HandedSocket::None;
  if (count != 1) {
    *error = "systemd handed over " + std::to_string(count) +
             " sockets; the socket unit must have exactly one ListenStream=";
    return HandedSocket::Unusable;
  }
  const int fd = kFirstHandedDescriptor;
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  const bool stream = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
  size = sizeof listening;
  const bool accepting = getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
  sockaddr_storage address{};
  socklen_t addressSize = sizeof address;
  const bool named = getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressSize) == 0;
  if (!stream || !accepting || !named || (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
    *error = "the socket systemd handed over is not a listening TCP socket (the socket unit needs ListenStream=ADDR:PORT)";
    return HandedSocket::Unusable;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  boost::system::error_code ec;
  acceptor.assign(address.ss_family == AF_INET ? boost::asio::ip::tcp::v4() : boost::asio::ip::tcp::v6(), fd, ec);
  if (ec) {
    *error = "cannot use the socket systemd handed over: " + ec.message();
    return HandedSocket::Unusable;
  }
  return HandedSocket::Adopted;
}

bool ReadSystemSettings(SettingsSource* source, std::string* error) {
  struct stat info;
  if (stat(kSystemSettingsFile, &info) != 0 && (errno == ENOENT || errno == ENOTDIR)) return true;  // none: defaults
  return ReadSettingsFile(kSystemSettingsFile, source, error);
}

std::string ServiceLogPath(std::string*) { return ""; }

bool ConfigureService(std::string* report) {
  *report = "nothing to configure on this system";
  return false;
}

std::string HardenProcess() { return ""; }

bool ChooseDecoder(const std::string& setting, std::string* library, std::string* report) {
  *library = setting;
  *report = setting.empty() ? "portrait decoder: the library's, by the loader's search"
                            : "portrait decoder " + setting + " (the decoder setting)";
  return true;
}

std::string ServiceDataFolder(bool, const char* leaf, std::string* report, std::string* error) {
  // systemd's CacheDirectory= names the folder it made for the service
  // (several, separated by colons: the first is ours).
  std::string base;
  if (const char* cache = std::getenv("CACHE_DIRECTORY"); cache != nullptr && *cache == '/') {
    base = cache;
    base = base.substr(0, base.find(':'));
  } else if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg == '/') {
    base = std::string(xdg) + "/q48-service";
  } else {
    const char* home = std::getenv("HOME");
    const passwd* account = home == nullptr || *home != '/' ? getpwuid(geteuid()) : nullptr;
    if (account != nullptr) home = account->pw_dir;
    if (home == nullptr || *home != '/') {
      *error = "no cache folder: neither CACHE_DIRECTORY nor a home folder is known";
      return "";
    }
    base = std::string(home) + "/.cache/q48-service";
  }
  // The library makes it, mode 0700, and refuses one that is not the
  // service's own.
  const std::string folder = base + "/" + leaf;
  *report = "mode 0700";
  return folder;
}

}  // namespace q48service
