// SPDX-License-Identifier: Apache-2.0
#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <fmt/format.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>

namespace pathmon::sim {
namespace {

int OpenUdp(const std::string& address, uint16_t port, std::string& error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = fmt::format("cannot create a UDP socket for {}:{}: {}", address, port,
                        std::strerror(errno));
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(ParseIpv4(address).value_or(0));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    error = fmt::format("cannot bind UDP {}:{}: {}", address, port, std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

std::string Peer(const sockaddr_in& a) {
  return fmt::format("{}:{}", FormatIpv4(ntohl(a.sin_addr.s_addr)), ntohs(a.sin_port));
}

}  // namespace

SimPhone::SimPhone(const PhoneConfig& config, SimTime started, uint64_t nonceRng,
                   ProcessOrigin& origin)
    : config_(config), endpoint_(config, nonceRng, started, &origin), agent_(config, started) {}

SimPhone::~SimPhone() {
  if (testFd_ >= 0) close(testFd_);
  if (snmpFd_ >= 0) close(snmpFd_);
}

bool SimPhone::Bind(uint16_t testPort, uint16_t snmpPort, std::string& error) {
  testFd_ = OpenUdp(config_.address, testPort, error);
  if (testFd_ < 0) return false;
  // Each datagram's class comes with it, to be counted and answered in.
  const int on = 1;
  if (setsockopt(testFd_, IPPROTO_IP, IP_RECVTOS, &on, sizeof on) != 0) {
    error = fmt::format("cannot ask for the class of {}'s datagrams: {}", config_.address,
                        std::strerror(errno));
    return false;
  }
  snmpFd_ = OpenUdp(config_.address, snmpPort, error);
  return snmpFd_ >= 0;
}

void SimPhone::MarkTest(uint8_t tos) {
  if (tos == testTos_) return;
  const int value = tos;
  if (setsockopt(testFd_, IPPROTO_IP, IP_TOS, &value, sizeof value) == 0) testTos_ = tos;
}

Simulator::Simulator(const std::vector<PhoneConfig>& phones) : buffer_(65536) {
  const SimTime started = std::chrono::steady_clock::now();
  std::random_device entropy;
  for (const PhoneConfig& config : phones) {
    const uint64_t nonceRng = (uint64_t{entropy()} << 32) | entropy();
    phones_.push_back(std::make_unique<SimPhone>(config, started, nonceRng, origin_));
  }
}

bool Simulator::Bind(std::string& error, uint16_t testPort, uint16_t snmpPort) {
  for (auto& phone : phones_) {
    if (!phone->Bind(testPort, snmpPort, error)) return false;
  }
  return true;
}

void Simulator::Queue(std::size_t phone, std::vector<Outgoing>& produced) {
  for (Outgoing& datagram : produced) {
    pending_.push(Pending{datagram.due, nextOrder_++, phone, false, datagram});
  }
  produced.clear();
}

// A phone's deadline (going off hook, coming back) becomes an entry of the timer queue. An
// entry that is stale by the time it falls due only makes the phone look at its clock.
void Simulator::ScheduleWake(std::size_t phone) {
  if (const auto deadline = phones_[phone]->Endpoint().NextDeadline()) {
    pending_.push(Pending{*deadline, nextOrder_++, phone, true, {}});
  }
}

void Simulator::RunDue(SimTime now) {
  std::vector<Outgoing> produced;
  while (!pending_.empty() && pending_.top().due <= now) {
    const Pending p = pending_.top();
    pending_.pop();
    if (p.wake) {
      const auto before = phones_[p.phone]->Endpoint().NextDeadline();
      const EndpointCounters counters = phones_[p.phone]->Endpoint().Counters();
      const bool offHookBefore = phones_[p.phone]->Endpoint().OffHook();
      phones_[p.phone]->Endpoint().OnTime(now, produced);
      if (verbose) Trace(p.phone, counters, offHookBefore, nullptr, 0);
      Queue(p.phone, produced);
      if (phones_[p.phone]->Endpoint().NextDeadline() != before) ScheduleWake(p.phone);
      continue;
    }
    phones_[p.phone]->MarkTest(p.datagram.tos);
    const int fd = phones_[p.phone]->TestFd();
    const ssize_t sent =
        sendto(fd, p.datagram.bytes.data(), p.datagram.bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&p.datagram.to), sizeof p.datagram.to);
    if (sent < 0 && verbose) {
      fmt::print(stderr, "{}: send to {} failed: {}\n", phones_[p.phone]->Config().address,
                 Peer(p.datagram.to), std::strerror(errno));
    }
  }
}

// With --verbose, one line on standard error per event of a phone's test endpoint; echoes
// are too many to list.
void Simulator::Trace(std::size_t index, const EndpointCounters& before, bool offHookBefore,
                      const sockaddr_in* from, std::size_t length) const {
  const SimPhone& phone = *phones_[index];
  const EndpointCounters& after = phone.Endpoint().Counters();
  const std::string& address = phone.Config().address;
  const std::string peer = from != nullptr ? Peer(*from) : std::string("-");
  if (after.badSignature != before.badSignature) {
    fmt::print(stderr, "{}: {} bytes from {} with a bad signature\n", address, length, peer);
  }
  if (!offHookBefore && phone.Endpoint().OffHook()) {
    fmt::print(stderr, "{}: off hook\n", address);
  } else if (offHookBefore && !phone.Endpoint().OffHook()) {
    fmt::print(stderr, "{}: on hook\n", address);
  }
  if (after.controlMessages != before.controlMessages) {
    if (after.noncesIssued != before.noncesIssued) {
      fmt::print(stderr, "{}: control message from {}: answered with a new nonce\n", address, peer);
    } else {
      fmt::print(stderr, "{}: control message from {}: not answered ({})\n", address, peer,
                 phone.Config().udpSilent ? "silent" : "off hook");
    }
  } else if (after.noncesIssued != before.noncesIssued) {
    fmt::print(stderr, "{}: new nonce after {} frames\n", address, after.framesReceived);
  }
}

void Simulator::ReadTest(std::size_t index) {
  SimPhone& phone = *phones_[index];
  std::vector<Outgoing> produced;
  while (true) {
    sockaddr_in from{};
    iovec data{buffer_.data(), buffer_.size()};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(phone.TestFd(), &message, 0);
    if (n < 0) break;  // EAGAIN: drained; other errors: try again on the next poll
    // Read the time first, so a delay counts from the arrival.
    const SimTime now = std::chrono::steady_clock::now();
    uint8_t tos = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) tos = *CMSG_DATA(c);
    }
    const EndpointCounters before = phone.Endpoint().Counters();
    const bool offHookBefore = phone.Endpoint().OffHook();
    const auto deadlineBefore = phone.Endpoint().NextDeadline();
    phone.Endpoint().OnDatagram(buffer_.data(), static_cast<std::size_t>(n), from, now, produced,
                                tos);
    if (phone.Endpoint().NextDeadline() != deadlineBefore) ScheduleWake(index);
    if (verbose) Trace(index, before, offHookBefore, &from, static_cast<std::size_t>(n));
    Queue(index, produced);
  }
}

void Simulator::ReadSnmp(std::size_t index) {
  SimPhone& phone = *phones_[index];
  while (true) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(phone.SnmpFd(), buffer_.data(), buffer_.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) break;
    const auto answer = phone.Agent().Answer(buffer_.data(), static_cast<std::size_t>(n),
                                             std::chrono::steady_clock::now());
    if (!answer) continue;
    sendto(phone.SnmpFd(), answer->data(), answer->size(), 0,
           reinterpret_cast<const sockaddr*>(&from), sizeof from);
  }
}

int Simulator::Run(int stopFd) {
  constexpr uint64_t kStop = ~uint64_t{0};
  const int epollFd = epoll_create1(EPOLL_CLOEXEC);
  const auto watch = [&](int fd, uint64_t tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
  };
  // Tag: phone index times two, plus one for the SNMP socket.
  bool watching = epollFd >= 0 && watch(stopFd, kStop);
  for (std::size_t i = 0; watching && i < phones_.size(); ++i) {
    watching = watch(phones_[i]->TestFd(), 2 * i) && watch(phones_[i]->SnmpFd(), 2 * i + 1);
  }
  if (!watching) {
    fmt::print(stderr, "farline-phone-sim: cannot set up the event loop: {}\n",
               std::strerror(errno));
    if (epollFd >= 0) close(epollFd);
    return 1;
  }
  if (!started_) {
    for (std::size_t i = 0; i < phones_.size(); ++i) ScheduleWake(i);
    started_ = true;
  }

  std::vector<epoll_event> events(256);
  while (true) {
    const SimTime now = std::chrono::steady_clock::now();
    RunDue(now);
    int timeoutMs = -1;
    if (!pending_.empty()) {
      const auto wait =
          std::chrono::ceil<std::chrono::milliseconds>(pending_.top().due - now).count();
      timeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, 60000));
    }
    const int ready =
        epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      fmt::print(stderr, "farline-phone-sim: epoll_wait failed: {}\n", std::strerror(errno));
      close(epollFd);
      return 1;
    }
    for (int k = 0; k < ready; ++k) {
      const uint64_t tag = events[static_cast<std::size_t>(k)].data.u64;
      if (tag == kStop) {
        close(epollFd);
        return 0;
      }
      const auto phone = static_cast<std::size_t>(tag / 2);
      if (tag % 2 == 0) {
        ReadTest(phone);
      } else {
        ReadSnmp(phone);
      }
    }
  }
}

std::string Simulator::ReportJson() const {
  nlohmann::ordered_json phones = nlohmann::ordered_json::array();
  // Only the classes that came: {"46": 2950}.
  const auto byDscp = [](const std::array<long, kDscpValues>& counts) {
    nlohmann::ordered_json classes = nlohmann::ordered_json::object();
    for (std::size_t dscp = 0; dscp < counts.size(); ++dscp) {
      if (counts[dscp] != 0) classes[std::to_string(dscp)] = counts[dscp];
    }
    return classes;
  };
  for (const auto& phone : phones_) {
    const EndpointCounters& c = phone->Endpoint().Counters();
    phones.push_back({{"address", phone->Config().address},
                      {"serial", phone->Config().serial},
                      {"controlMessages", c.controlMessages},
                      {"framesReceived", c.framesReceived},
                      {"badSignature", c.badSignature},
                      {"framesEchoed", c.framesEchoed},
                      {"framesDropped", c.framesDropped},
                      {"noncesIssued", c.noncesIssued},
                      {"snmpRequests", phone->Agent().RequestsAnswered()},
                      {"extraEchoes", c.extraEchoes},
                      {"controlByDscp", byDscp(c.controlByDscp)},
                      {"framesByDscp", byDscp(c.framesByDscp)}});
  }
  nlohmann::ordered_json report = {{"phones", std::move(phones)}};
  // ASCII only, and a serial that is no UTF-8 gets U+FFFD rather than breaking the document.
  return report.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace pathmon::sim
