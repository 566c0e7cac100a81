// q48-service on POSIX: systemd (or a terminal) runs it as an ordinary
// process; its standard error is the log; the administrator's settings are a
// JSON file in /etc.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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
