// SPDX-License-Identifier: Apache-2.0
// The metrics endpoint with clients that are idle or slow: twenty connections that send
// nothing and one that sent part of its request's headers each hold a server thread, and a
// scrape is still answered at once; HEAD answers as GET does, without the content. On
// 127.75.1.1.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/Metrics.h"
#include "support/Http.h"

namespace pathmon::cli {
namespace {

constexpr const char* kAddress = "127.75.1.1";
constexpr uint16_t kPort = 9464;

std::string Exchange(const std::string& request) {
  return testing::HttpExchange(kAddress, kPort, request, 10);
}

TEST(MetricsServer, AScrapeGetsThroughIdleAndSlowClientsAndHeadAnswersAsGet) {
  FleetMetrics metrics(nullptr);
  MetricsServer server;
  std::string error;
  ASSERT_TRUE(server.Listen("127.75.1.1:9464", metrics.Registry(), error)) << error;
  std::vector<int> held;
  for (int i = 0; i < 21; ++i) held.push_back(testing::TcpConnect(kAddress, kPort, 10));
  for (int fd : held) ASSERT_GE(fd, 0);
  const std::string part = "GET /metrics HTTP/1.1\r\nHost: probe\r\n";
  ::send(held.back(), part.data(), part.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // each holds a thread now

  const auto start = std::chrono::steady_clock::now();
  const std::string got = Exchange("GET /metrics HTTP/1.0\r\n\r\n");
  // Bounded generously for a loaded machine; one idle client used to hold it for 30 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(got.find(" 200 OK\r\n"), 8u) << got;
  EXPECT_NE(got.find("\npathmon_build_info{version=\""), std::string::npos);

  const std::string head = Exchange("HEAD /metrics HTTP/1.0\r\n\r\n");
  EXPECT_EQ(head.find(" 200 OK\r\n"), 8u) << head;
  EXPECT_NE(head.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << "no content";
  for (int fd : held) ::close(fd);
}

}  // namespace
}  // namespace pathmon::cli
