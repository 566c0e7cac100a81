// q48-service on POSIX: systemd (or a terminal) runs it as an ordinary
// process; its standard error is the log; the administrator's settings are a
// JSON file in /etc.
#include <sys/stat.h>

#include <cerrno>

#include "service_platform.h"

namespace q48service {

const char kSystemSettingsName[] = "/etc/q48reader/q48-service.json";
const bool kConfiguresService = false;

void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

bool ReadSystemSettings(SettingsSource* source, std::string* error) {
  struct stat info;
  if (stat(kSystemSettingsName, &info) != 0 && (errno == ENOENT || errno == ENOTDIR)) return true;  // none: defaults
  return ReadSettingsFile(kSystemSettingsName, source, error);
}

bool RunUnderServiceManager(const std::function<int(ServiceManager&)>&, int*) { return false; }

std::string ServiceLogPath(std::string*) { return ""; }

bool ConfigureService(std::string* report) {
  *report = "nothing to configure on this system";
  return false;
}

std::string UseStandInDecoderIfNoOther() { return ""; }

}  // namespace q48service
