// The gates every request passes before any handler runs. Pure functions of
// header values; called on the service's network thread.
//
// - Host: a loopback name with the service's own port. A page on a DNS name
//   that an attacker points at 127.0.0.1 sends its own name here, so it is
//   refused before anything is done (DNS rebinding).
// - Origin: absent (not a web page's script, or a same-origin navigation),
//   the service's own, or one the administrator allowed. Anything else,
//   "null" included, is refused before anything touches the reader.
// - Sec-Fetch-Site: a browser marks what another site's page makes it send.
//   An <img> or a classic <script> sends no Origin, so without this gate any
//   site could start the card watcher or ask the reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace q48service {

struct Site {
  std::string listenHost;  // as in Settings: "127.0.0.1", "::1", "localhost", ...
  uint16_t port = 0;       // the port actually listened on
  std::vector<std::string> allowedOrigins;  // normalised
};

// The Host header value (empty when absent) is 127.0.0.1:PORT, localhost:PORT,
// [::1]:PORT or the listen address with PORT.
bool HostAllowed(std::string_view host, const Site& site);

// The origins a page of the service itself has ("http://127.0.0.1:PORT", ...).
std::vector<std::string> OwnOrigins(const Site& site);

// The Origin header value, when present, is allowed.
bool OriginAllowed(std::string_view origin, const Site& site);

// The Sec-Fetch-Site value ("" when absent) and whether the request carries
// an allowed Origin: a "cross-site" or "same-site" request needs one. Local
// programs send no such header and pass.
bool FetchSiteAllowed(std::string_view fetchSite, bool allowedOrigin);

// The Origin values among header field lines that the HTTP parser did not
// take (it refused the header as malformed or too large, part way): each
// complete line's, trimmed, up to the end of the header. Only to give the
// refusal its CORS headers: nothing else is read from such a header.
std::vector<std::string> OriginsInRawFields(std::string_view fields);

}  // namespace q48service
