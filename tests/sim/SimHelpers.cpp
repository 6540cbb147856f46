// SPDX-License-Identifier: Apache-2.0
#include "SimHelpers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace pathmon::sim::testing {

std::array<uint8_t, 16> KeyDigestFor(const std::string& serial) {
  const std::string material = serial + "Kq7#Lm2!Zt9%Wx4&";
  std::array<uint8_t, 16> digest{};
  unsigned length = 0;
  EXPECT_EQ(
      EVP_Digest(material.data(), material.size(), digest.data(), &length, EVP_md5(), nullptr), 1);
  return digest;
}

std::array<uint8_t, 20> SignatureFor(const std::string& serial, const NonceBytes& nonce) {
  const auto key = KeyDigestFor(serial);
  uint8_t input[24];
  std::memcpy(input, key.data(), 16);
  std::memcpy(input + 16, nonce.data(), 8);
  std::array<uint8_t, 20> sig{};
  unsigned length = 0;
  EXPECT_EQ(EVP_Digest(input, sizeof input, sig.data(), &length, EVP_sha1(), nullptr), 1);
  return sig;
}

Bytes ControlMessage(const std::string& serial) {
  Bytes out(200, 0);
  const auto sig = SignatureFor(serial, NonceBytes{});
  std::copy(sig.begin(), sig.end(), out.begin());
  return out;
}

static void PutLe(Bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

Bytes Frame(const std::string& serial, const NonceBytes& nonce, uint32_t sequence,
            uint32_t sendTick) {
  Bytes out(200, 0);
  const auto sig = SignatureFor(serial, nonce);
  std::copy(sig.begin(), sig.end(), out.begin());
  std::copy(nonce.begin(), nonce.end(), out.begin() + 20);
  PutLe(out, 32, sequence);
  PutLe(out, 36, sendTick);
  return out;
}

uint32_t Le32(const Bytes& b, std::size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
  return v;
}

NonceBytes NonceOf(const Bytes& datagram) {
  NonceBytes n{};
  std::copy(datagram.begin() + 20, datagram.begin() + 28, n.begin());
  return n;
}

ToolSocket::ToolSocket(const std::string& localAddress) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr);
  EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0)
      << std::strerror(errno);
  const int on = 1;  // each datagram's class in Received::tos
  EXPECT_EQ(setsockopt(fd_, IPPROTO_IP, IP_RECVTOS, &on, sizeof on), 0) << std::strerror(errno);
}

ToolSocket::~ToolSocket() { close(fd_); }

void ToolSocket::SendTo(const std::string& address, uint16_t port, const Bytes& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  EXPECT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(bytes.size()));
}

std::optional<Received> ToolSocket::Receive(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  Received r;
  r.bytes.resize(2048);
  iovec data{r.bytes.data(), r.bytes.size()};
  alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_name = &r.from;
  message.msg_namelen = sizeof r.from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd_, &message, 0);
  if (n < 0) return std::nullopt;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) r.tos = *CMSG_DATA(c);
  }
  r.bytes.resize(static_cast<std::size_t>(n));
  return r;
}

std::vector<Received> ToolSocket::Drain(int quietMs) {
  std::vector<Received> all;
  while (auto r = Receive(quietMs)) all.push_back(std::move(*r));
  return all;
}

uint16_t ToolSocket::Port() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

std::optional<NonceBytes> StartTest(ToolSocket& tool, const std::string& phone,
                                    const std::string& serial, int timeoutMs) {
  tool.SendTo(phone, 7, ControlMessage(serial));
  const auto answer = tool.Receive(timeoutMs);
  if (!answer || answer->bytes.size() < 28) return std::nullopt;
  return NonceOf(answer->bytes);
}

}  // namespace pathmon::sim::testing
