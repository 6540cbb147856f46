// SPDX-License-Identifier: Apache-2.0
#include "support/UdpPeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pathmon::testing {

namespace {

sockaddr_in Address(const std::string& dotted, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(dotted.c_str());
  return a;
}

}  // namespace

uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

UdpPeer::UdpPeer(const std::string& address, uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);  // each datagram's class
  const sockaddr_in local = Address(address, port);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ADD_FAILURE() << "cannot bind UDP " << address << ":" << port << ": " << std::strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
}

UdpPeer::UdpPeer(UdpPeer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) ::close(fd_);
}

uint16_t UdpPeer::Port() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

bool UdpPeer::SendTo(const std::string& address, uint16_t port, const Bytes& data) {
  return SendTo(Address(address, port), data);
}

bool UdpPeer::SendTo(const sockaddr_in& to, const Bytes& data) {
  const ssize_t n =
      ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  EXPECT_EQ(n, static_cast<ssize_t>(data.size())) << std::strerror(errno);
  return n == static_cast<ssize_t>(data.size());
}

std::optional<Received> UdpPeer::Receive(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  Received r;
  r.bytes.resize(65536);
  iovec data{r.bytes.data(), r.bytes.size()};
  alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_name = &r.from;
  message.msg_namelen = sizeof r.from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd_, &message, 0);
  if (n < 0) return std::nullopt;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) r.tos = *CMSG_DATA(c);
  }
  r.bytes.resize(static_cast<std::size_t>(n));
  return r;
}

std::vector<Received> UdpPeer::Drain(int quietMs) {
  std::vector<Received> all;
  while (auto r = Receive(quietMs)) all.push_back(std::move(*r));
  return all;
}

}  // namespace pathmon::testing
