#include "service_platform.h"

namespace q48service {

void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

}  // namespace q48service
