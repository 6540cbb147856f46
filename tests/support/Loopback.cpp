// SPDX-License-Identifier: Apache-2.0
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pathmon::testing {

uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

UdpPeer::UdpPeer(const char* address, uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = inet_addr(address);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) ::close(fd_);
}

uint16_t UdpPeer::Port() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

bool UdpPeer::SendTo(const char* toAddress, uint16_t toPort, const std::vector<uint8_t>& data) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(toPort);
  to.sin_addr.s_addr = inet_addr(toAddress);
  ssize_t n = ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to);
  return n == static_cast<ssize_t>(data.size());
}

std::vector<uint8_t> UdpPeer::Receive(int timeoutMs, uint16_t* fromPort) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return {};
  std::vector<uint8_t> buffer(65536);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         &length);
  if (n < 0) return {};
  if (fromPort) *fromPort = ntohs(from.sin_port);
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

}  // namespace pathmon::testing
