#include "loopback_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace q48test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int FreeLoopbackPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(s);
  return ntohs(address.sin_port);
}

std::string HttpExchange(int port, const std::string& request) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = Loopback(port);
  std::string answer;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[8192];
    for (ssize_t n; (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(s);
  return answer;
}

int HttpStatus(const std::string& answer) {
  if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.c_str() + 9);
}

std::string HttpHeader(const std::string& answer, const std::string& name) {
  const std::string header = answer.substr(0, answer.find("\r\n\r\n"));
  const size_t at = header.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t begin = at + name.size() + 4;
  return header.substr(begin, header.find("\r\n", begin) - begin);
}

std::string HttpBody(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

}  // namespace q48test
