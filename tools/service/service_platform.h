// What q48-service needs from the platform besides Asio. One backend per
// platform: service_platform_posix.cpp, service_platform_win32.cpp.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace q48service {

// Called on the main thread on the open, not yet bound, listening socket.
// POSIX: the address may be bound again while old connections linger
// (a restart must not fail for a minute). Windows: no other program may
// bind the same address beside us (SO_EXCLUSIVEADDRUSE).
void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

}  // namespace q48service
