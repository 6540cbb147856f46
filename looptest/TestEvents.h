// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a running loop test tells its observers: each event a value, delivered after the test's
// lock is released.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "looptest/TestStatistics.h"
#include "looptest/VoiceQuality.h"

namespace pathmon {

// A test whose every send fails for this long ends: the path cannot even be sent on (no
// route, no interface). Shorter failures only show as lost frames.
inline constexpr int32_t kSendFailureEndSeconds = 10;

// Why a test ended.
enum class TestEnd {
  kNone,        // not ended yet, or never run
  kDuration,    // its duration was over
  kPhoneEnded,  // the phone sent the end flag
  kSendFailed,  // frames could not be sent for kSendFailureEndSeconds
  kStopped,     // stopped from this side (RequestStop) before its duration was over
};
// "duration", "phone-ended", "send-failed", "stopped", "none".
const char* TestEndName(TestEnd end);
// Why a test stopped short, in words ("the phone ended the test"); null for a test that ran
// its duration or never ended.
const char* TestEndExplanation(TestEnd end);


// The phone a test runs against, as it was when the test started.
struct TestIdentity {
  std::string serialNumber;
  std::string userName;      // the directory's user name at the start; empty when unknown
  uint32_t peerAddress = 0;  // IPv4, network byte order

  std::string Address() const;  // peerAddress dotted
};

struct TestStarted {
  TestIdentity phone;
  int64_t wallSeconds = 0;  // calendar seconds at the event
};
struct TestProgress {
  TestIdentity phone;
  int64_t wallSeconds = 0;
  int32_t elapsedSeconds = 0;  // since the test started
};
struct CycleResult {
  TestIdentity phone;
  int64_t wallSeconds = 0;
  TestStatistics stats;  // the figures of the cycle that just ended
  VoiceQuality voice;    // what a caller would have heard in it, interruptions included
};
struct TestFinished {
  TestIdentity phone;
  int64_t wallSeconds = 0;
  TestEnd reason = TestEnd::kNone;  // why it ended
};

// A span of lost frames that counted at least one interruption (the voice figures' timeline
// entry), told once it has closed: the frames after it were echoed, or its cycle or test
// ended. It is judged from the frames whose echoes have had the cycle end's grace to arrive,
// so it reaches observers about a second after the path came back.
struct InterruptionSpanClosed {
  TestIdentity phone;
  int64_t wallSeconds = 0;  // calendar seconds at the event
  InterruptionSpan span;    // first and last lost frame's send (wall clock), frames lost
};

// Receives a test's events, each a value. Contract: called on the test's thread, in the
// order started, progress, interruption spans and cycle results, then the last cycle result
// and finished, and always after the test's lock has been released, so an observer may be
// slow (a history file on a full disk) without holding up the receive thread or any other
// test. An observer shared by several tests is called from their threads at once.
class TestObserver {
 public:
  virtual ~TestObserver() = default;
  virtual void OnStarted(const TestStarted& /*event*/) {}
  virtual void OnProgress(const TestProgress& /*event*/) {}
  virtual void OnInterruptionSpan(const InterruptionSpanClosed& /*event*/) {}
  virtual void OnCycleResult(const CycleResult& /*event*/) {}
  virtual void OnFinished(const TestFinished& /*event*/) {}
};
using TestObservers = std::vector<std::shared_ptr<TestObserver>>;

}  // namespace pathmon
