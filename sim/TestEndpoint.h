// SPDX-License-Identifier: Apache-2.0
#pragma once
// The phone's UDP test endpoint (port 7) without its socket: it verifies each datagram,
// answers control messages with a fresh nonce, echoes verified frames and applies the
// configured impairments. Time comes in as an argument, so the logic runs without a clock
// of its own; the event loop sends what it produces when it falls due.
//
// Contract: single-threaded; the event loop owns it.

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "sim/PhoneConfig.h"
#include "sim/Signing.h"

namespace pathmon::sim {

using SimTime = std::chrono::steady_clock::time_point;

struct Outgoing {
  SimTime due;
  sockaddr_in to{};
  Datagram bytes{};
  uint8_t tos = 0;  // the IP header's type-of-service byte: a reply keeps its request's class
};

inline constexpr std::size_t kDscpValues = 64;

struct EndpointCounters {
  long controlMessages = 0;  // verified control messages, answered or not
  long framesReceived = 0;   // verified test frames
  long badSignature = 0;     // datagrams that verify neither as control message nor as frame
  long framesEchoed = 0;     // echoes sent (a delayed echo counts when it is queued)
  long framesDropped = 0;    // verified frames not echoed because of an impairment
  long noncesIssued = 0;
  long extraEchoes = 0;      // repeated and stray echoes (duplicate, stray-seq, stray-tick)
  // Verified control messages and test frames by the DSCP class they arrived in.
  std::array<long, kDscpValues> controlByDscp{};
  std::array<long, kDscpValues> framesByDscp{};
};

// When the process received its first verified test frame from any tool: the origin of the
// timed outages, shared by every phone of one process so that they lose frames together.
struct ProcessOrigin {
  std::optional<SimTime> firstFrame;
};

class TestEndpoint {
 public:
  // `nonceRng` feeds the nonces the phone hands out; loss and jitter use the config's rng.
  // A phone configured off hook stays so from `started` for offHookForSec, if that is set.
  // `origin` is shared with the process's other phones and outlives the endpoint; without
  // one, the endpoint keeps its own.
  TestEndpoint(const PhoneConfig& config, uint64_t nonceRng, SimTime started,
               ProcessOrigin* origin = nullptr);
  TestEndpoint(const TestEndpoint&) = delete;  // origin_ may be its own ownOrigin_
  TestEndpoint& operator=(const TestEndpoint&) = delete;

  // tos: the type-of-service byte the datagram arrived with; what it makes is sent in the
  // same class, as a phone echoes in the class it is sent in.
  void OnDatagram(const uint8_t* data, std::size_t length, const sockaddr_in& from, SimTime now,
                  std::vector<Outgoing>& out, uint8_t tos = 0);
  // Time-driven events (going off hook, coming back); call when NextDeadline passes.
  void OnTime(SimTime now, std::vector<Outgoing>& out);
  std::optional<SimTime> NextDeadline() const;

  const EndpointCounters& Counters() const { return counters_; }
  bool OffHook() const { return offHook_; }

 private:
  enum class Verdict { kControl, kFrame, kBad };
  Verdict Verify(const uint8_t* data, std::size_t length) const;
  void IssueNonce();
  bool ImpairmentDrops(uint32_t sequence, SimTime now);
  bool GilbertLoses();
  SimTime EchoDue(SimTime now);
  void GoOffHook(SimTime now, std::vector<Outgoing>& out);

  PhoneConfig config_;
  ProcessOrigin ownOrigin_;
  ProcessOrigin& origin_;
  Digest16 keyDigest_{};
  Sig20 controlSig_{};
  bool haveNonce_ = false;  // no frame verifies before the first nonce is handed out
  Nonce8 current_{}, previous_{};
  Sig20 currentSig_{}, previousSig_{};
  std::mt19937_64 nonceGen_;
  std::mt19937_64 lossGen_;
  std::mt19937_64 jitterGen_;
  std::mt19937_64 normalJitterGen_;
  std::mt19937_64 gilbertGen_;
  bool gilbertLosing_ = false;  // the two-state loss model is in its losing state

  bool offHook_ = false;
  std::optional<SimTime> onHookAt_;   // when an off-hook phase ends
  bool testRunning_ = false;          // a frame arrived since the last control answer
  std::optional<SimTime> offHookAt_;  // when the running test makes the phone go off hook
  std::optional<SimTime> nextOutage_;
  int outageLeft_ = 0;
  int framesSinceNonce_ = 0;
  long framesInTest_ = 0;  // verified frames since the test began
  sockaddr_in tool_{};  // where the last frame came from: the end flag goes there
  uint8_t toolTos_ = 0;  // and in which class

  EndpointCounters counters_;
};

}  // namespace pathmon::sim
