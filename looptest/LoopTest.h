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

#include "looptest/Datagram.h"
#include "looptest/VoiceQuality.h"
#include "transport/Clock.h"

namespace pathmon {

class LoopTest;

// The figures of one cycle. A value type: tests feed it sequence numbers and round-trip
// times directly.
struct TestStatistics {
  int32_t lastRtt = 0;        // round-trip time of the latest counted echo, ms
  int64_t rttSum = 0;         // sum of the cycle's round-trip times; 64 bits, so a phone
                              // that echoes wild send ticks cannot overflow it
  int32_t avgRtt = 0;         // rttSum / received, truncated
  int32_t lost = 0;           // frames missing in the cycle
  int32_t delayed = 0;        // echoes with a round-trip time over 400 ms
  int32_t maxRtt = 0;         // largest round-trip time in the cycle
  int32_t maxBurstLost = 0;   // most frames missing in one gap
  int32_t received = 0;       // echoes counted in the cycle
  int32_t sent = 0;           // frames sent in the cycle; the next frame's sequence number
  int32_t interruptions = 0;  // loss windows of 50 frames with 10 or more missing
  int32_t windowStart = 0;    // sequence number that opened the current loss window
  int32_t windowLoss = 0;     // frames missing in the current loss window
  int32_t strayEchoes = 0;    // datagrams that looked like echoes but changed no figure: a
                              // sequence number not sent in the cycle, a send tick other
                              // than the frame's, or an echo already counted

  static constexpr int32_t kDelayedAboveMs = 400;
  static constexpr int32_t kWindowFrames = 50;
  static constexpr int32_t kInterruptionLoss = 10;

  void Reset() { *this = TestStatistics{}; }

  // Counts one echo. referenceSequence is the sequence number of the last in-order echo;
  // it is ignored for the first echo of a cycle (received == 0). Returns true when the
  // echo is in order, so that it becomes the new reference.
  bool CountEcho(uint32_t sequence, int32_t rtt, uint32_t referenceSequence);
  // The same, told whether a reference exists (first: there is none yet).
  bool CountEcho(uint32_t sequence, int32_t rtt, uint32_t referenceSequence, bool first);
  // Counts the frames after the reference (from 0 when there is none) up to, not
  // including, nextSequence as missing: one gap, into lost, maxBurstLost and the loss
  // windows, as if an echo of nextSequence had closed it.
  void CountFinalGap(uint32_t nextSequence, uint32_t referenceSequence, bool noReference);

 private:
  // Adds gap to the open window; an in-order sequence number 50 or more past its start
  // closes it.
  void AdvanceWindow(uint32_t sequence, uint32_t gap);
};

// The echo accounting of one cycle: the send tick of every frame the cycle sent, by
// sequence number, which of them were echoed, and the figures; beside them each frame's
// send and arrival instants on the steady clock (ns) and the spans that counted as
// interruptions, from which the voice figures are assessed. Only an echo of a frame
// this cycle sent, carrying that frame's send tick, counts, and only once; so a phone that
// repeats echoes, invents sequence numbers, or an echo of the previous cycle that arrives
// late, cannot change the figures. A value type: tests drive it with ticks they choose.
class CycleLedger {
 public:
  enum class Echo { kInOrder, kLate, kStray };

  void Reset();
  // The cycle's schedule: its first slot was due at startNs (steady clock), which was
  // startWallNs on the wall clock; later slots follow every intervalNs. Call after Reset,
  // before the cycle's first frame.
  void Begin(int64_t startNs, int64_t startWallNs, int64_t intervalNs, int32_t expectedFrames);
  // Notes the frame about to be sent and returns its sequence number; sent += 1.
  uint32_t FrameSent(uint32_t sendTick, int64_t sendNs = 0);
  // arrivalNs: the steady instant the datagram was read; kept for a counted echo only.
  Echo CountEcho(uint32_t sequence, uint32_t sendTick, uint32_t arrivalTick,
                 int64_t arrivalNs = 0);
  // The frames sent at least graceMs before nowTick and still not echoed after the last
  // in-order echo count as lost, as one final gap (see TestStatistics::CountFinalGap). An
  // echo of one of them that still arrives counts as late.
  void CountUnanswered(uint32_t nowTick, int32_t graceMs);
  const TestStatistics& Figures() const { return stats_; }

  // The frames sent up to sentBeforeNs (all by default) with their instants.
  CycleTimings Timings(int64_t sentBeforeNs = std::numeric_limits<int64_t>::max()) const;
  // Every frame's instants, leaving the ledger without them (a cycle's end).
  CycleTimings TakeTimings();
  // Frees the per-frame tables (an ended test's): the figures and the interruptions stay,
  // Timings gives no frames. The next Begin reserves again.
  void ReleaseFrames();
  // Bytes the per-frame tables hold, reserved or used.
  std::size_t FrameTableBytes() const;
  // The spans counted as interruptions so far, in the order they closed.
  const std::vector<InterruptionSpan>& Interruptions() const { return spans_; }

 private:
  // Records the span that the last count closed, if it counted interruptions: from the
  // window's start up to, not including, closing.
  void NoteSpan(int32_t interruptionsBefore, int32_t windowStart, uint32_t closing);

  TestStatistics stats_;
  std::vector<uint32_t> sendTicks_;  // by sequence number
  std::vector<bool> counted_;        // by sequence number: its echo was counted
  uint32_t reference_ = 0;           // the last in-order echo's sequence number
  bool haveReference_ = false;
  CycleTimings timings_;                 // frames by sequence number; 16 bytes each
  std::vector<InterruptionSpan> spans_;
};

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


// "INTERRUPTIONS:%3d MAXBURSTLOST:%5d SEND:%5d LOST:%5d DELAYED:%5d AVGRTT:%5d MAXRTT:%5d";
// returns the characters written (cut to size - 1).
int FormatResult(const TestStatistics& stats, char* text, std::size_t size);

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

// Receives a test's events, each a value. Contract: called on the test's thread, in the
// order started, progress and cycle results, then the last cycle result and finished, and
// always after the test's lock has been released, so an observer may be slow (a history
// file on a full disk) without holding up the receive thread or any other test. An
// observer shared by several tests is called from their threads at once.
class TestObserver {
 public:
  virtual ~TestObserver() = default;
  virtual void OnStarted(const TestStarted& /*event*/) {}
  virtual void OnProgress(const TestProgress& /*event*/) {}
  virtual void OnCycleResult(const CycleResult& /*event*/) {}
  virtual void OnFinished(const TestFinished& /*event*/) {}
};
using TestObservers = std::vector<std::shared_ptr<TestObserver>>;

// The events as plain calls: 0 started, 1 progress (value: seconds since the start),
// 2 cycle result, 3 finished. Delivered like TestObserver's, after the lock is released;
// at a cycle result the test already counts the next cycle, whose figures Statistics()
// returns: the ended cycle's figures come with CycleResult.
using ResultCallback = std::function<int32_t(LoopTest& test, int32_t value, int32_t event)>;

// Sends one datagram to UDP port 7 of peer (IPv4, network byte order); 0 or -4.
using DatagramSender = std::function<int(const uint8_t* data, int length, uint32_t peer)>;

enum ResultEvent : int32_t {
  kEventStarted = 0,
  kEventProgress = 1,
  kEventCycleResult = 2,
  kEventFinished = 3,
};

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

  // Read under the lock, or by the caller that holds it.
  TestStatistics Statistics();
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
  void SetCallback(ResultCallback callback);
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
  // Hands an event to the observers and the callback; the lock is not held.
  template <typename Event>
  void Deliver(const TestObservers& observers, const ResultCallback& callback,
               void (TestObserver::*handler)(const Event&), const Event& event, int32_t value,
               int32_t code);
  // Closes the cycle's accounting (the unanswered frames) and returns its figures; the
  // lock is held.
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
  ResultCallback callback_;
  TestObservers observers_;
  std::string userName_;
  char serialNumber_[128] = {};

  std::atomic<bool> threadBusy_{false};  // a test thread exists
};

}  // namespace pathmon
