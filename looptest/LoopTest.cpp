// SPDX-License-Identifier: Apache-2.0
#include "looptest/LoopTest.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "transport/Clock.h"
#include "transport/DebugTrace.h"

namespace pathmon {
namespace {

constexpr const char* kModule = "PATHMONRequester";
constexpr int32_t kCycleSeconds = 300;
constexpr int32_t kCycleEndGraceMs = 200;  // lets the last echoes of a cycle arrive
constexpr int32_t kRunningLingerMs = 1000;
int64_t Nanoseconds(Clock::TimePoint t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// A slot's phase on the send grid, in 128ths of the interval: the slot's number with its
// seven bits reversed (0, 64, 32, 96, 16, ...), so that any number of tests spread evenly.
int64_t SlotPhase128(int slot) {
  unsigned reversed = 0;
  for (int bit = 0; bit < 7; ++bit) {
    reversed |= ((static_cast<unsigned>(slot) >> bit) & 1u) << (6 - bit);
  }
  return reversed;
}

// The first instant of the send grid at or after t (see LoopTest::SetSendGrid); t itself
// when the test has no grid or no interval.
Clock::TimePoint NextSendSlot(Clock::TimePoint t, int64_t intervalNs, Clock::TimePoint origin,
                              int slot) {
  if (slot < 0 || intervalNs <= 0) return t;
  const int64_t onGrid = Nanoseconds(origin) + intervalNs * SlotPhase128(slot) / 128;
  int64_t wait = -((Nanoseconds(t) - onGrid) % intervalNs);
  if (wait < 0) wait += intervalNs;
  return t + std::chrono::nanoseconds(wait);
}

// The voice figures of a cycle's frames, with the interruptions its loop test counted.
VoiceQuality Assess(const CycleTimings& timings, std::vector<InterruptionSpan> spans) {
  VoiceQuality voice = AssessCycle(timings);
  voice.interruptions = std::move(spans);
  return voice;
}

}  // namespace

LoopTest::LoopTest(Clock& clock, DatagramSender sender)
    : clock_(clock), sender_(std::move(sender)) {
  Reset(true);
}

LoopTest::~LoopTest() {
  stop_.store(true);
  while (threadBusy_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LoopTest::Init(const char* prefix, const char* serialNumber) {
  std::lock_guard lock(mutex_);
  std::snprintf(serialNumber_, sizeof serialNumber_, "%s", serialNumber ? serialNumber : "");
  keyDigest_ = DeriveKeyDigest(prefix, serialNumber_);
  nonce_ = Nonce{};
  controlSignature_ = ComputeSignature(keyDigest_, nonce_);
  // Until a phone hands out a nonce, frames carry the signature of the zero nonce.
  frameSignature_ = controlSignature_;
}

bool LoopTest::IsRunning() {
  std::lock_guard lock(mutex_);
  return running_;
}

void LoopTest::Reset(bool full) {
  std::lock_guard lock(mutex_);
  if (full) {
    interval_ = 0;
    peerAddress_ = 0;
    running_ = false;
  }
  cycle_.Reset();
  finalVoice_.reset();
}

int LoopTest::FormatResult(char* text, std::size_t size) {
  return pathmon::FormatResult(Statistics(), text, size);
}

template <typename Event>
void LoopTest::Deliver(const TestObservers& observers, const ResultCallback& callback,
                       void (TestObserver::*handler)(const Event&), const Event& event,
                       int32_t value, int32_t code) {
  for (const std::shared_ptr<TestObserver>& observer : observers) ((*observer).*handler)(event);
  if (callback) callback(*this, value, code);
}

int LoopTest::Run(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress) {
  // The steady clock measures the test: a wall clock stepped back or forward neither
  // stretches nor cuts it.
  const Clock::TimePoint startTime = clock_.Now();
  const bool hasEnd = durationSeconds != 0;
  const Clock::TimePoint endTime = startTime + std::chrono::seconds(durationSeconds);

  int32_t framesPerSecond = intervalMs > 0 ? std::max<int32_t>(1, 1000 / intervalMs) : 1000;
  // Who hears of this run is fixed at its start, so the events can go out without the lock.
  TestObservers observers;
  ResultCallback callback;
  TestIdentity phone;
  Clock::TimePoint gridOrigin;
  int gridSlot;
  {
    std::lock_guard lock(mutex_);
    gridOrigin = gridOrigin_;
    gridSlot = gridSlot_;
    Reset(true);
    running_ = true;
    peerAddress_ = peerAddress;
    interval_ = intervalMs;
    endReason_ = TestEnd::kNone;
    phoneEnded_ = false;
    stop_.store(false);
    observers = observers_;
    callback = callback_;
    phone = TestIdentity{serialNumber_, userName_, peerAddress};
  }
  DebugTrace(__LINE__, kModule, nullptr, "LoopTest::Run : Frame per second = %d", framesPerSecond);

  {
    std::lock_guard lock(mutex_);
    frame_.fill(0);
  }
  Deliver(observers, callback, &TestObserver::OnStarted, TestStarted{phone, clock_.WallSeconds()},
          -1, kEventStarted);

  const int32_t framesPerCycle = kCycleSeconds * framesPerSecond;
  const int64_t failuresToEnd = int64_t{kSendFailureEndSeconds} * framesPerSecond;
  const auto interval = std::chrono::milliseconds(intervalMs > 0 ? intervalMs : 0);
  const int64_t intervalNs = std::chrono::nanoseconds(interval).count();
  int32_t progressFrames = 0;
  int32_t cycleFrames = 0;
  int64_t failedInARow = 0;
  bool resultDelivered = false;  // a cycle result went out and no frame was sent since
  bool cycleKept = false;        // the duration ended with a cycle, whose figures stay
  VoiceQuality keptVoice;        // that cycle's, as its result carried them
  int lastSend = 0;
  TestEnd end = TestEnd::kNone;
  // Frame n of a cycle is due at its start + n * interval. A sender that falls more than an
  // interval behind skips the slots that are gone and stays on the grid rather than catching
  // up in a burst; the voice figures' sender check counts the skipped slots. A cycle's
  // first frame waits for the test's next slot on the registry's grid.
  Clock::TimePoint deadline = NextSendSlot(clock_.Now(), intervalNs, gridOrigin, gridSlot);
  bool toSlot = true;

  while (!stop_.load()) {
    if (toSlot) {
      toSlot = false;
      if (deadline > clock_.Now()) clock_.SleepUntil(deadline);
    }
    uint8_t datagram[kDatagramSize];
    {
      // Signature and nonce are one snapshot, so a nonce arriving meanwhile never pairs
      // with the other's signature. The frame is in the ledger (and in sent) before it
      // leaves, so that its echo, however quick, finds it.
      std::lock_guard lock(mutex_);
      const Clock::TimePoint now = clock_.Now();
      if (cycleFrames == 0) {
        const int64_t wallNs = clock_.WallSeconds() * 1'000'000'000;
        // A test shorter than a cycle reserves only the frames it can send (and one more).
        int64_t expected = framesPerCycle;
        if (hasEnd) {
          const int64_t leftMs =
              std::chrono::duration_cast<std::chrono::milliseconds>(endTime - now).count();
          expected = std::clamp<int64_t>(leftMs * framesPerSecond / 1000 + 1, 1, expected);
        }
        cycle_.Begin(Nanoseconds(deadline), wallNs - Nanoseconds(now) + Nanoseconds(deadline),
                     intervalNs, static_cast<int32_t>(expected));
      }
      const uint32_t tick = clock_.TickMs();
      const uint32_t sequence = cycle_.FrameSent(tick, Nanoseconds(now));
      BuildTestFrame(frameSignature_, nonce_, sequence, tick, frame_.data());
      std::memcpy(datagram, frame_.data(), kDatagramSize);
      resultDelivered = false;
    }
    lastSend = sender_(datagram, static_cast<int>(kDatagramSize), peerAddress);
    failedInARow = lastSend == 0 ? 0 : failedInARow + 1;

    if (intervalMs > 0) {
      deadline += interval;
      const Clock::TimePoint now = clock_.Now();
      if (now - deadline > interval) deadline += ((now - deadline) / interval) * interval;
      clock_.SleepUntil(deadline);
    }

    ++progressFrames;
    ++cycleFrames;
    if (progressFrames >= framesPerSecond) {
      const auto elapsed = static_cast<int32_t>(
          std::chrono::duration_cast<std::chrono::seconds>(clock_.Now() - startTime).count());
      Deliver(observers, callback, &TestObserver::OnProgress,
              TestProgress{phone, clock_.WallSeconds(), elapsed}, elapsed, kEventProgress);
      progressFrames = 0;
    }
    if (cycleFrames >= framesPerCycle) {
      clock_.SleepMs(kCycleEndGraceMs);
      // A test whose duration ends with this cycle (a 5-minute test) leaves its figures in
      // place, as a test ending within a cycle does, not the empty ones of a next cycle.
      cycleKept = hasEnd && clock_.Now() >= endTime;
      CycleResult result{phone, 0, {}, {}};
      CycleTimings timings;
      std::vector<InterruptionSpan> spans;
      {
        std::lock_guard lock(mutex_);
        result.stats = CloseCycle();
        spans = cycle_.Interruptions();
        if (cycleKept) {
          timings = cycle_.Timings();
        } else {
          timings = cycle_.TakeTimings();
          Reset(false);
        }
      }
      // The grace was a pause, not lateness: the next cycle's schedule starts at the
      // test's next slot.
      deadline = NextSendSlot(clock_.Now(), intervalNs, gridOrigin, gridSlot);
      toSlot = true;
      result.voice = Assess(timings, std::move(spans));
      if (cycleKept) keptVoice = result.voice;
      result.wallSeconds = clock_.WallSeconds();
      Deliver(observers, callback, &TestObserver::OnCycleResult, result, -1, kEventCycleResult);
      cycleFrames = 0;
      resultDelivered = true;
    }
    if (hasEnd && clock_.Now() >= endTime) {
      end = TestEnd::kDuration;
      break;
    }
    if (failedInARow >= failuresToEnd) {
      end = TestEnd::kSendFailed;
      break;
    }
  }

  // The last echoes get the grace of a cycle end too: without it, frames still on their
  // way, or overtaken by a later echo, would end the test counted as lost.
  if (!resultDelivered) clock_.SleepMs(kCycleEndGraceMs);
  CycleResult last{phone, 0, {}, {}};
  CycleTimings timings;
  std::vector<InterruptionSpan> spans;
  {
    std::lock_guard lock(mutex_);
    if (end == TestEnd::kNone) end = phoneEnded_ ? TestEnd::kPhoneEnded : TestEnd::kStopped;
    endReason_ = end;
    DebugTrace(__LINE__, kModule, nullptr, "LoopTest::Run : test of %s ended: %s", serialNumber_,
               TestEndName(end));
    // The last cycle's figures stay in place, for the list to show after the test. Its
    // frames are copied, not taken: a reader until the release below assesses them itself.
    if (!resultDelivered) last.stats = CloseCycle();
    if (!cycleKept) {
      timings = cycle_.Timings();
      spans = cycle_.Interruptions();
    }
  }
  // The one assessment of the last cycle, for its result and for every reader after the end
  // (of the empty cycle that a cycle end just began, when a stop came right then).
  VoiceQuality finalVoice = cycleKept ? std::move(keptVoice) : Assess(timings, std::move(spans));
  timings = CycleTimings{};
  {
    std::lock_guard lock(mutex_);
    finalVoice_ = finalVoice;
    cycle_.ReleaseFrames();
  }
  if (!resultDelivered) last.voice = std::move(finalVoice);
  last.wallSeconds = clock_.WallSeconds();
  // A test that ends right at a cycle end has delivered that cycle: a second, empty result
  // would only add a line of zeros to the history. A cycle result still comes once more
  // when nothing was delivered at all.
  if (!resultDelivered) {
    Deliver(observers, callback, &TestObserver::OnCycleResult, last, -1, kEventCycleResult);
  }
  Deliver(observers, callback, &TestObserver::OnFinished,
          TestFinished{phone, last.wallSeconds, end}, -1, kEventFinished);
  clock_.SleepMs(kRunningLingerMs);
  {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  return lastSend;
}

TestStatistics LoopTest::CloseCycle() {
  cycle_.CountUnanswered(clock_.TickMs(), kCycleEndGraceMs);
  if (cycle_.Figures().strayEchoes > 0) {
    DebugTrace(__LINE__, kModule, nullptr,
               "LoopTest::Run : %s: %d stray or repeated echoes ignored in the cycle",
               serialNumber_, cycle_.Figures().strayEchoes);
  }
  return cycle_.Figures();
}

int LoopTest::SendControl(uint32_t peerAddress) {
  uint8_t datagram[kDatagramSize];
  {
    std::lock_guard lock(mutex_);
    peerAddress_ = peerAddress;
    frame_.fill(0);
    BuildControlMessage(controlSignature_, frame_.data());
    std::memcpy(datagram, frame_.data(), kDatagramSize);
  }
  return sender_(datagram, static_cast<int>(kDatagramSize), peerAddress);
}

void LoopTest::RequestStop() {
  bool wasRunning;
  {
    std::lock_guard lock(mutex_);
    wasRunning = running_;
    stop_.store(true);
  }
  if (wasRunning) clock_.SleepMs(1000);
}

void LoopTest::CountReply() {
  // Never 0 (or negative as a signed number) once a datagram has arrived.
  uint32_t value = replies_.load() + 1;
  if (static_cast<int32_t>(value) <= 0) value += 1;
  replies_.store(value);
}

bool LoopTest::OnDatagram(const uint8_t* bytes, int length) {
  // The arrival instant is taken before anything that may wait.
  return OnDatagram(bytes, length, clock_.Now());
}

bool LoopTest::OnDatagram(const uint8_t* bytes, int length, Clock::TimePoint arrivalTime) {
  const int64_t arrivalNs = Nanoseconds(arrivalTime);
  const uint32_t arrival = clock_.TickAt(arrivalTime);
  std::array<uint8_t, kPhoneRecordSize> record{};
  if (length > 0) {
    std::memcpy(record.data(), bytes,
                std::min<std::size_t>(static_cast<std::size_t>(length), kPhoneRecordSize));
  }
  WriteLe32(record.data() + kOffsetArrivalTick, arrival);
  const PhoneDatagram reply = ReadPhoneDatagram(record.data(), record.size());

  std::lock_guard lock(mutex_);
  if (reply.endFlag != 0) {
    phoneEnded_ = true;
    stop_.store(true);
    CountReply();
    return true;
  }
  if (reply.nonce != nonce_) TakeNonce(reply.nonce);
  // An ended test's figures are final: an echo during the linger after its end changes
  // nothing (its frames' tables are gone by then).
  if (running_ && endReason_ == TestEnd::kNone && reply.sendTick != 0) {
    if (cycle_.CountEcho(reply.sequence, reply.sendTick, arrival, arrivalNs) ==
        CycleLedger::Echo::kInOrder) {
      lastInOrder_ = record;
    }
  }
  CountReply();
  return true;
}

void LoopTest::TakeNonce(const Nonce& nonce) {
  std::lock_guard lock(mutex_);
  frameSignature_ = ComputeSignature(keyDigest_, nonce);
  nonce_ = nonce;
}

TestStatistics LoopTest::Statistics() {
  std::lock_guard lock(mutex_);
  return cycle_.Figures();
}

CycleTimings LoopTest::CopyCurrent(std::vector<InterruptionSpan>* spans,
                                   std::optional<VoiceQuality>* final) {
  // Taken before the lock, so that a frame sent while waiting for it is left out too.
  const int64_t due = Nanoseconds(clock_.Now()) - int64_t{kCycleEndGraceMs} * 1'000'000;
  std::lock_guard lock(mutex_);
  if (final != nullptr && finalVoice_) {
    *final = finalVoice_;
    return {};
  }
  if (spans != nullptr) *spans = cycle_.Interruptions();
  // Once the test has ended its last cycle is closed: every frame has had its time.
  const bool closed = !running_ || endReason_ != TestEnd::kNone;
  return cycle_.Timings(closed ? std::numeric_limits<int64_t>::max() : due);
}

VoiceQuality LoopTest::CurrentVoice() {
  std::vector<InterruptionSpan> spans;
  std::optional<VoiceQuality> final;
  CycleTimings timings = CopyCurrent(&spans, &final);
  if (final) return std::move(*final);
  return Assess(timings, std::move(spans));
}

CycleTimings LoopTest::CurrentTimings() { return CopyCurrent(nullptr, nullptr); }

TestEnd LoopTest::EndReason() {
  std::lock_guard lock(mutex_);
  return endReason_;
}

std::size_t LoopTest::FrameTableBytes() {
  std::lock_guard lock(mutex_);
  return cycle_.FrameTableBytes();
}

void LoopTest::SetSendGrid(Clock::TimePoint origin, int slot) {
  std::lock_guard lock(mutex_);
  gridOrigin_ = origin;
  gridSlot_ = slot;
}

uint32_t LoopTest::PeerAddress() const { return peerAddress_.load(std::memory_order_relaxed); }

Signature LoopTest::FrameSignature() {
  std::lock_guard lock(mutex_);
  return frameSignature_;
}

Nonce LoopTest::StoredNonce() {
  std::lock_guard lock(mutex_);
  return nonce_;
}

void LoopTest::SetCallback(ResultCallback callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
}

void LoopTest::SetObservers(std::string userName, TestObservers observers) {
  std::lock_guard lock(mutex_);
  userName_ = std::move(userName);
  observers_ = std::move(observers);
}

bool LoopTest::StartTestThread(std::function<void()> body) {
  if (threadBusy_.load()) return false;
  threadBusy_.store(true);
  try {
    // Detached, so an ended test leaves no thread behind; clearing the flag is the thread's
    // last touch of this object, and the destructor waits for it.
    std::thread([this, body = std::move(body)] {
      body();
      threadBusy_.store(false);
    }).detach();
  } catch (const std::system_error&) {
    threadBusy_.store(false);
    return false;
  }
  return true;
}

}  // namespace pathmon
