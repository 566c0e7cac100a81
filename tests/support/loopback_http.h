// HTTP/1.0 on the loopback address, for tests that talk to a service running
// as another process (q48-service.exe under wine64). Blocking; any thread.
#pragma once

#include <string>

namespace q48test {

// A loopback TCP port that was free a moment ago.
int FreeLoopbackPort();

// Sends `request` on a new connection to 127.0.0.1:port and returns the whole
// answer, read until the service closes; "" when nobody listens.
std::string HttpExchange(int port, const std::string& request);

// The status of an answer ("HTTP/1.0 200 OK" -> 200), 0 for none.
int HttpStatus(const std::string& answer);
// A header's value in an answer ("" when absent); the name as sent.
std::string HttpHeader(const std::string& answer, const std::string& name);
// What follows the header.
std::string HttpBody(const std::string& answer);

}  // namespace q48test
