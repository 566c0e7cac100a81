#include "gates.h"

#include <algorithm>
#include <boost/beast/core/string.hpp>

namespace q48service {

namespace {

// The loopback names with the port, as a Host header writes them.
std::vector<std::string> Hosts(const Site& site) {
  const std::string port = ":" + std::to_string(site.port);
  std::vector<std::string> hosts = {"127.0.0.1" + port, "localhost" + port, "[::1]" + port};
  const bool v6 = site.listenHost.find(':') != std::string::npos;
  hosts.push_back((v6 ? "[" + site.listenHost + "]" : site.listenHost) + port);
  return hosts;
}

}  // namespace

bool HostAllowed(std::string_view host, const Site& site) {
  for (const std::string& allowed : Hosts(site))
    if (boost::beast::iequals(host, allowed)) return true;
  return false;
}

std::vector<std::string> OwnOrigins(const Site& site) {
  std::vector<std::string> origins;
  for (const std::string& host : Hosts(site)) origins.push_back("http://" + host);
  return origins;
}

bool OriginAllowed(std::string_view origin, const Site& site) {
  for (const std::string& own : OwnOrigins(site))
    if (boost::beast::iequals(origin, own)) return true;
  return std::find(site.allowedOrigins.begin(), site.allowedOrigins.end(), origin) != site.allowedOrigins.end();
}

bool FetchSiteAllowed(std::string_view fetchSite, bool allowedOrigin) {
  const bool otherSite = boost::beast::iequals(fetchSite, "cross-site") || boost::beast::iequals(fetchSite, "same-site");
  return !otherSite || allowedOrigin;
}

std::vector<std::string> OriginsInRawFields(std::string_view fields) {
  constexpr std::string_view kName = "origin:";
  std::vector<std::string> origins;
  // Whole lines only: the last one may have been cut short.
  for (size_t end; (end = fields.find('\n')) != std::string_view::npos; fields.remove_prefix(end + 1)) {
    std::string_view line = fields.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the end of the header
    if (line.size() < kName.size() || !boost::beast::iequals(line.substr(0, kName.size()), kName)) continue;
    std::string_view value = line.substr(kName.size());
    const size_t first = value.find_first_not_of(" \t"), last = value.find_last_not_of(" \t");
    origins.emplace_back(first == std::string_view::npos ? std::string_view() : value.substr(first, last - first + 1));
  }
  return origins;
}

}  // namespace q48service
