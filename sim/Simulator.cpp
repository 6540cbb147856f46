#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace pathmon::sim {
namespace {

int OpenUdp(const std::string& address, uint16_t port, std::string& error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = fmt::format("cannot create a UDP socket for {}:{}: {}", address, port, std::strerror(errno));
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

// JSON string with control and non-ASCII bytes escaped, so any serial stays valid JSON.
std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      out += fmt::format("\\u{:04x}", c);
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace

SimPhone::SimPhone(const PhoneConfig& config, SimTime started, uint64_t nonceRng)
    : config_(config), endpoint_(config, nonceRng), agent_(config, started) {}

SimPhone::~SimPhone() {
  if (testFd_ >= 0) close(testFd_);
  if (snmpFd_ >= 0) close(snmpFd_);
}

bool SimPhone::Bind(uint16_t testPort, uint16_t snmpPort, std::string& error) {
  testFd_ = OpenUdp(config_.address, testPort, error);
  if (testFd_ < 0) return false;
  snmpFd_ = OpenUdp(config_.address, snmpPort, error);
  return snmpFd_ >= 0;
}

Simulator::Simulator(const std::vector<PhoneConfig>& phones) : buffer_(65536) {
  const SimTime started = std::chrono::steady_clock::now();
  std::random_device entropy;
  for (const PhoneConfig& config : phones) {
    const uint64_t nonceRng = (uint64_t{entropy()} << 32) | entropy();
    phones_.push_back(std::make_unique<SimPhone>(config, started, nonceRng));
  }
}

bool Simulator::Bind(std::string& error, uint16_t testPort, uint16_t snmpPort) {
  for (auto& phone : phones_) {
    if (!phone->Bind(testPort, snmpPort, error)) return false;
  }
  return true;
}

void Simulator::Queue(std::size_t phone, std::vector<Outgoing>& produced) {
  for (Outgoing& datagram : produced) pending_.push(Pending{datagram.due, nextOrder_++, phone, datagram});
  produced.clear();
}

void Simulator::SendDue(SimTime now) {
  while (!pending_.empty() && pending_.top().due <= now) {
    const Pending& p = pending_.top();
    const int fd = phones_[p.phone]->TestFd();
    const ssize_t sent = sendto(fd, p.datagram.bytes.data(), p.datagram.bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&p.datagram.to), sizeof p.datagram.to);
    if (sent < 0 && verbose) {
      fmt::print(stderr, "{}: send to {} failed: {}\n", phones_[p.phone]->Config().address,
                 Peer(p.datagram.to), std::strerror(errno));
    }
    pending_.pop();
  }
}

void Simulator::ReadTest(std::size_t index) {
  SimPhone& phone = *phones_[index];
  std::vector<Outgoing> produced;
  while (true) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(phone.TestFd(), buffer_.data(), buffer_.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) break;  // EAGAIN: drained; other errors: try again on the next poll
    // Read the time first, so a delay counts from the arrival.
    const SimTime now = std::chrono::steady_clock::now();
    const long badBefore = phone.Endpoint().Counters().badSignature;
    phone.Endpoint().OnDatagram(buffer_.data(), static_cast<std::size_t>(n), from, now, produced);
    if (verbose && phone.Endpoint().Counters().badSignature != badBefore) {
      fmt::print(stderr, "{}: {} bytes from {} with a bad signature\n", phone.Config().address, n, Peer(from));
    }
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
    sendto(phone.SnmpFd(), answer->data(), answer->size(), 0, reinterpret_cast<const sockaddr*>(&from),
           sizeof from);
  }
}

int Simulator::Run(int stopFd) {
  std::vector<pollfd> fds;
  fds.push_back(pollfd{stopFd, POLLIN, 0});
  for (const auto& phone : phones_) {
    fds.push_back(pollfd{phone->TestFd(), POLLIN, 0});
    fds.push_back(pollfd{phone->SnmpFd(), POLLIN, 0});
  }
  std::vector<Outgoing> produced;
  while (true) {
    SimTime now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < phones_.size(); ++i) {
      phones_[i]->Endpoint().OnTime(now, produced);
      Queue(i, produced);
    }
    SendDue(now);

    std::optional<SimTime> next;
    if (!pending_.empty()) next = pending_.top().due;
    for (const auto& phone : phones_) {
      const auto deadline = phone->Endpoint().NextDeadline();
      if (deadline && (!next || *deadline < *next)) next = deadline;
    }
    int timeoutMs = -1;
    if (next) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
      timeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, 60000));
    }
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      fmt::print(stderr, "farline-phone-sim: poll failed: {}\n", std::strerror(errno));
      return 1;
    }
    if (fds[0].revents != 0) return 0;
    for (std::size_t i = 0; i < phones_.size(); ++i) {
      if (fds[1 + 2 * i].revents != 0) ReadTest(i);
      if (fds[2 + 2 * i].revents != 0) ReadSnmp(i);
    }
  }
}

std::string Simulator::ReportJson() const {
  std::string out = "{\n  \"phones\": [";
  for (std::size_t i = 0; i < phones_.size(); ++i) {
    const SimPhone& phone = *phones_[i];
    const EndpointCounters& c = phone.Endpoint().Counters();
    out += fmt::format(
        "{}\n    {{\"address\": {}, \"serial\": {}, \"controlMessages\": {}, \"framesReceived\": {}, "
        "\"badSignature\": {}, \"framesEchoed\": {}, \"framesDropped\": {}, \"noncesIssued\": {}, "
        "\"snmpRequests\": {}}}",
        i == 0 ? "" : ",", JsonString(phone.Config().address), JsonString(phone.Config().serial),
        c.controlMessages, c.framesReceived, c.badSignature, c.framesEchoed, c.framesDropped,
        c.noncesIssued, phone.Agent().RequestsAnswered());
  }
  out += phones_.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace pathmon::sim
