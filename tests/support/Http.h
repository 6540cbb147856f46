// SPDX-License-Identifier: Apache-2.0
#pragma once
// The client side of HTTP on a loopback address, for tests: a scrape of the
// metrics endpoint, a question to Prometheus's API.

#include <cstdint>
#include <string>

namespace pathmon::testing {

// A TCP connection to address:port whose answers are awaited at most
// timeoutSeconds; -1 when none can be made.
int TcpConnect(const std::string& address, uint16_t port, int timeoutSeconds);

// The request, sent whole on a connection of its own, and everything that comes
// back until the server closes it; "" without a connection.
std::string HttpExchange(const std::string& address, uint16_t port, const std::string& request,
                         int timeoutSeconds);

}  // namespace pathmon::testing
