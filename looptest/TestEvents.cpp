// SPDX-License-Identifier: Apache-2.0
#include "looptest/TestEvents.h"

#include <arpa/inet.h>

namespace pathmon {

const char* TestEndName(TestEnd end) {
  switch (end) {
    case TestEnd::kDuration: return "duration";
    case TestEnd::kPhoneEnded: return "phone-ended";
    case TestEnd::kSendFailed: return "send-failed";
    case TestEnd::kStopped: return "stopped";
    case TestEnd::kNone: break;
  }
  return "none";
}

const char* TestEndExplanation(TestEnd end) {
  switch (end) {
    case TestEnd::kPhoneEnded: return "the phone ended the test";
    case TestEnd::kSendFailed: return "frames could not be sent";
    case TestEnd::kStopped: return "stopped before its duration";
    case TestEnd::kDuration:
    case TestEnd::kNone: break;
  }
  return nullptr;
}

std::string TestIdentity::Address() const {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = peerAddress;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace pathmon
