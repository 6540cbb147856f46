// SPDX-License-Identifier: Apache-2.0
// Scrapes of the metrics endpoint (pathmon-cli --metrics-listen) while other clients hold
// connections: the exposition of 128 phones served at 127.75.2.1:9464, first alone, then
// with N connections that send nothing and one that trickles its request's headers (a byte
// every 50 ms, never ending them). Prints, per round, the wall time of each GET /metrics
// (connect to last byte): median, 99th percentile and maximum (the goal: under 100 ms).
//
//   metrics_slow_clients [--idle N] [--scrapes N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli/Metrics.h"

namespace {

using namespace pathmon;
using Steady = std::chrono::steady_clock;

constexpr const char* kAddress = "127.75.2.1";
constexpr int kPort = 9464;

int Connect() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(kPort);
  peer.sin_addr.s_addr = ::inet_addr(kAddress);
  timeval timeout{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

// One GET /metrics: its wall time, seconds; the body's size in bytes.
double Scrape(std::size_t& bytes) {
  const Steady::time_point start = Steady::now();
  const int fd = Connect();
  const std::string request = "GET /metrics HTTP/1.0\r\nHost: probe\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string response;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, n);
  ::close(fd);
  const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
  if (response.find(" 200 OK\r\n") != 8) {
    std::fprintf(stderr, "scrape failed: %.80s\n", response.c_str());
    std::exit(1);
  }
  bytes = response.size() - response.find("\r\n\r\n") - 4;
  return seconds;
}

void Round(const char* name, int scrapes) {
  std::vector<double> times;
  std::size_t bytes = 0;
  for (int i = 0; i < scrapes; ++i) times.push_back(Scrape(bytes));
  std::sort(times.begin(), times.end());
  const auto at = [&times](double q) {
    return times[std::min(times.size() - 1, static_cast<std::size_t>(q * times.size()))] * 1000;
  };
  std::printf("%-28s %d scrapes of %zu bytes: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
              name, scrapes, bytes, at(0.5), at(0.99), times.back() * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  int idleClients = 20;
  int scrapes = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--idle") == 0) idleClients = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--scrapes") == 0) scrapes = std::atoi(argv[i + 1]);
  }
  cli::FleetMetrics metrics([](const CycleResult& r) { return r.stats.lost == 0; });
  metrics.SetSite("bench");
  for (int i = 1; i <= 128; ++i) {
    const TestIdentity phone{"SN" + std::to_string(i), "user" + std::to_string(i),
                             ::inet_addr(("127.75.3." + std::to_string(i)).c_str())};
    metrics.OnStarted(TestStarted{phone, 0});
    CycleResult result{phone, 0, {}, {}};
    result.stats.sent = 15000;
    result.voice.loss.sent = 15000;
    metrics.OnCycleResult(result);
  }
  cli::MetricsServer server;
  std::string error;
  if (!server.Listen(std::string(kAddress) + ":" + std::to_string(kPort), metrics.Registry(),
                     error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  Round("alone:", scrapes);

  std::vector<int> idle;
  for (int i = 0; i < idleClients; ++i) idle.push_back(Connect());
  std::atomic<bool> stop{false};
  std::thread trickler([&stop] {
    const int fd = Connect();
    const std::string headers = "GET /metrics HTTP/1.1\r\nHost: probe\r\nX-Slow: ";
    for (std::size_t i = 0; !stop; ++i) {
      ::send(fd, &headers[i % headers.size()], 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string name = std::to_string(idleClients) + " idle, 1 trickling:";
  Round(name.c_str(), scrapes);
  stop = true;
  trickler.join();
  for (int fd : idle) ::close(fd);
  return 0;
}
