// SPDX-License-Identifier: Apache-2.0
#pragma once
// The loop test of one phone: signed frames out at a fixed interval, echoes in, and the
// statistics of the current 5-minute cycle.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "looptest/CycleLedger.h"
#include "looptest/Datagram.h"
#include "looptest/TestEvents.h"
#include "looptest/TestStatistics.h"
#include "looptest/VoiceQuality.h"
#include "transport/Clock.h"

namespace pathmon {

// Sends one datagram to UDP port 7 of peer (IPv4, network byte order); 0 or -4.
using DatagramSender = std::function<int(const uint8_t* data, int length, uint32_t peer)>;

// Contract: three threads use a LoopTest. The test thread runs Run; the receive thread
// calls OnDatagram (holding the registry lock); the user-interface thread reads the figures
// and starts and stops tests. The recursive lock guards everything but the stop flag
// (atomic, polled by Run), replies (atomic, polled by the control exchange) and the peer
// address (atomic, read by the registry's dispatch).
// Lock order: registry lock, then this lock. Nothing outside this class runs under it: the
// events go to their observers after it is released.
class LoopTest {
 public:
  LoopTest(Clock& clock, DatagramSender sender);
  ~LoopTest();  // stops a running test and waits for its thread to end
  LoopTest(const LoopTest&) = delete;
  LoopTest& operator=(const LoopTest&) = delete;

  // Serial number, key digest, zero nonce, control signature. Call once, before use.
  void Init(const char* prefix, const char* serialNumber);

  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }
  std::recursive_mutex& Mutex() { return mutex_; }

  bool IsRunning();
  // The caller holds the lock (creation aside).
  void Reset(bool full);
  // The current figures as the free FormatResult writes them.
  int FormatResult(char* text, std::size_t size);

  // Runs the test on the calling thread until the duration (0: no end) has passed on the
  // steady clock, the stop flag is set, the phone's end flag arrives, or no frame could be
  // sent for kSendFailureEndSeconds. Returns the last send result. A test that ends right
  // at a cycle end delivers no second, empty cycle result.
  int Run(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress);
  int SendControl(uint32_t peerAddress);
  void RequestStop();
  void SignalStop() { stop_.store(true); }  // RequestStop without its wait
  // A datagram that arrived at the steady instant arrival, or now.
  bool OnDatagram(const uint8_t* bytes, int length, Clock::TimePoint arrival);
  bool OnDatagram(const uint8_t* bytes, int length);
  void TakeNonce(const Nonce& nonce);

  // The running cycle's figures, under the lock (a caller may hold it): every frame sent
  // more than the cycle end's grace ago and not echoed counts as lost (an echo that still
  // comes takes it back, and counts in lateEchoes). Once the cycle has closed, its final
  // figures.
  TestStatistics Statistics();
  // How long the running test has had no echo: 0 while the last one (or the test's start)
  // lies within the grace, or when no test runs.
  std::chrono::milliseconds EchoSilence();
  // The voice figures of the running cycle so far: over the frames sent at least the cycle
  // end's grace ago, whose echoes had their time to arrive; the frames are copied under the
  // lock and assessed after it. Once the test has ended, its last cycle's figures, assessed
  // once at the end (an idle phone of a long monitor run keeps no frames).
  VoiceQuality CurrentVoice();
  // Those frames' instants, for live charts; no frames once the test has ended.
  CycleTimings CurrentTimings();
  // Why the last test ended; set before its final events are delivered.
  TestEnd EndReason();
  // What the per-frame tables hold (CycleLedger::FrameTableBytes): none once a test has
  // ended, whose final voice figures are kept instead.
  std::size_t FrameTableBytes();
  const char* SerialNumber() const { return serialNumber_; }
  // Without the lock: the receive thread asks every test for each datagram it dispatches.
  uint32_t PeerAddress() const;
  Signature FrameSignature();
  Signature ControlSignature() const { return controlSignature_; }
  KeyDigest Digest() const { return keyDigest_; }
  Nonce StoredNonce();

  uint32_t Replies() const { return replies_.load(); }
  void ClearReplies() { replies_.store(0); }
  // Who hears of the next Run, and the user name its events carry. Set before Run starts.
  void SetObservers(std::string userName, TestObservers observers);
  Clock& GetClock() { return clock_; }
  // Puts the test's sends on a grid shared by the tests of one registry: frames leave at
  // origin + k x interval + the slot's phase, and the slots' phases spread over the
  // interval (slot 0 at 0, slot 1 at its half, slots 2 and 3 at its quarters, ...). The
  // tests' sends and echoes then never queue behind each other. Without a grid a test's
  // schedule starts when it runs. Set before Run starts.
  void SetSendGrid(Clock::TimePoint origin, int slot);

  // The test thread: one at a time, and always ended before the LoopTest goes. Used by the
  // registry.
  bool TestThreadBusy() const { return threadBusy_.load(); }
  // False when the previous test thread has not ended or no thread could be started.
  bool StartTestThread(std::function<void()> body);

 private:
  // One run's plan and where it stands; the test thread's own.
  struct RunState {
    TestObservers observers;  // fixed at the start, so events go out without the lock
    TestIdentity phone;
    uint32_t peerAddress = 0;
    Clock::TimePoint startTime, endTime;
    bool hasEnd = false;
    int32_t intervalMs = 0;
    std::chrono::milliseconds interval{0};
    int32_t framesPerSecond = 1;
    int32_t framesPerCycle = 1;
    int64_t failuresToEnd = 1;
    Clock::TimePoint gridOrigin;
    int gridSlot = -1;
    Clock::TimePoint deadline;  // the next frame's slot
    bool toSlot = true;         // the next frame waits for its slot (a cycle's first)
    int32_t progressFrames = 0;
    int32_t cycleFrames = 0;
    int64_t failedInARow = 0;
    bool resultDelivered = false;  // a cycle result went out and no frame was sent since
    bool cycleKept = false;        // the duration ended with a cycle, whose figures stay
    VoiceQuality keptVoice;        // that cycle's, as its result carried them
    int lastSend = 0;
    TestEnd end = TestEnd::kNone;
  };
  // The steps of Run, on the test thread.
  RunState BeginRun(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress);
  void SendFrame(RunState& run);
  void BeginCycle(const RunState& run, Clock::TimePoint now);  // the lock is held
  void WaitForNextFrame(RunState& run);
  void ReportProgress(RunState& run);
  void EndCycle(RunState& run);
  void FinishRun(RunState& run);
  void DeliverSpans(const RunState& run, const std::vector<InterruptionSpan>& spans);
  // Hands an event to the observers; the lock is not held.
  template <typename Event>
  static void Deliver(const TestObservers& observers,
                      void (TestObserver::*handler)(const Event&), const Event& event);
  // The steady instant (ns) before which a frame's echo has had the cycle end's grace.
  int64_t DueNs();
  static int64_t IntervalNs(const RunState& run);
  // Closes the cycle's accounting (every frame not echoed is lost) and returns its figures;
  // the lock is held.
  TestStatistics CloseCycle();
  // Copies the current cycle's frames (see CurrentVoice) and, given spans, its
  // interruptions; given final, an ended test's kept figures instead of either. Takes the
  // lock, so a test ending meanwhile gives the one or the other, never its released frames.
  CycleTimings CopyCurrent(std::vector<InterruptionSpan>* spans,
                           std::optional<VoiceQuality>* final);
  void CountReply();

  Clock& clock_;
  DatagramSender sender_;

  Signature frameSignature_{};
  Signature controlSignature_{};
  Nonce nonce_{};
  KeyDigest keyDigest_{};
  std::recursive_mutex mutex_;
  std::array<uint8_t, kDatagramSize> frame_{};           // the outgoing datagram
  std::array<uint8_t, kPhoneRecordSize> lastInOrder_{};  // last in-order echo, arrival tick in
  int32_t interval_ = 0;
  Clock::TimePoint gridOrigin_{};
  int gridSlot_ = -1;  // none
  std::atomic<uint32_t> peerAddress_{0};  // written under the lock, read without it
  bool running_ = false;
  std::atomic<bool> stop_{false};
  CycleLedger cycle_;
  // The ended test's last cycle, assessed; set with the frames' release, cleared by Reset.
  std::optional<VoiceQuality> finalVoice_;
  TestEnd endReason_ = TestEnd::kNone;
  bool phoneEnded_ = false;  // the stop flag came from the phone's end flag
  std::atomic<uint32_t> replies_{0};
  int64_t lastEchoNs_ = 0;  // steady instant of the last counted echo, or the test's start
  TestObservers observers_;
  std::string userName_;
  char serialNumber_[128] = {};

  std::atomic<bool> threadBusy_{false};  // a test thread exists
};

}  // namespace pathmon
