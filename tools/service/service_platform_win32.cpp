#include <winsock2.h>

#include "service_platform.h"

namespace q48service {

void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  const BOOL on = TRUE;
  if (setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0)
    ec.assign(WSAGetLastError(), boost::system::system_category());
}

}  // namespace q48service
