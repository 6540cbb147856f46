// SPDX-License-Identifier: Apache-2.0
#include "support/Http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pathmon::testing {

int TcpConnect(const std::string& address, uint16_t port, int timeoutSeconds) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = ::inet_addr(address.c_str());
  timeval timeout{timeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string HttpExchange(const std::string& address, uint16_t port, const std::string& request,
                         int timeoutSeconds) {
  const int fd = TcpConnect(address, port, timeoutSeconds);
  if (fd < 0) return "";
  std::string response;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char buffer[8192];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      response.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return response;
}

}  // namespace pathmon::testing
