// SPDX-License-Identifier: Apache-2.0
#include "looptest/LoopTest.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
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
void LoopTest::Deliver(const TestObservers& observers,
                       void (TestObserver::*handler)(const Event&), const Event& event) {
  for (const std::shared_ptr<TestObserver>& observer : observers) ((*observer).*handler)(event);
}

int LoopTest::Run(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress) {
  RunState run = BeginRun(durationSeconds, intervalMs, peerAddress);
  while (!stop_.load()) {
    SendFrame(run);
    WaitForNextFrame(run);
    ReportProgress(run);
    if (run.cycleFrames >= run.framesPerCycle) EndCycle(run);
    if (run.hasEnd && clock_.Now() >= run.endTime) {
      run.end = TestEnd::kDuration;
      break;
    }
    if (run.failedInARow >= run.failuresToEnd) {
      run.end = TestEnd::kSendFailed;
      break;
    }
  }
  FinishRun(run);
  return run.lastSend;
}

LoopTest::RunState LoopTest::BeginRun(int32_t durationSeconds, int32_t intervalMs,
                                      uint32_t peerAddress) {
  RunState run;
  // The steady clock measures the test: a wall clock stepped back or forward neither
  // stretches nor cuts it.
  run.startTime = clock_.Now();
  run.hasEnd = durationSeconds != 0;
  run.endTime = run.startTime + std::chrono::seconds(durationSeconds);
  run.intervalMs = intervalMs;
  run.framesPerSecond = intervalMs > 0 ? std::max<int32_t>(1, 1000 / intervalMs) : 1000;
  run.framesPerCycle = kCycleSeconds * run.framesPerSecond;
  run.failuresToEnd = int64_t{kSendFailureEndSeconds} * run.framesPerSecond;
  run.interval = std::chrono::milliseconds(intervalMs > 0 ? intervalMs : 0);
  run.peerAddress = peerAddress;
  {
    // Who hears of this run is fixed at its start, so the events can go out without the lock.
    std::lock_guard lock(mutex_);
    run.gridOrigin = gridOrigin_;
    run.gridSlot = gridSlot_;
    Reset(true);
    running_ = true;
    peerAddress_ = peerAddress;
    interval_ = intervalMs;
    endReason_ = TestEnd::kNone;
    phoneEnded_ = false;
    lastEchoNs_ = Nanoseconds(run.startTime);
    stop_.store(false);
    run.observers = observers_;
    run.phone = TestIdentity{serialNumber_, userName_, peerAddress};
    frame_.fill(0);
  }
  DebugTrace(__LINE__, kModule, nullptr, "LoopTest::Run : Frame per second = %d",
             run.framesPerSecond);
  Deliver(run.observers, &TestObserver::OnStarted, TestStarted{run.phone, clock_.WallSeconds()});
  // Frame n of a cycle is due at its start + n * interval. A cycle's first frame waits for
  // the test's next slot on the registry's grid.
  run.deadline = NextSendSlot(clock_.Now(), IntervalNs(run), run.gridOrigin, run.gridSlot);
  return run;
}

void LoopTest::SendFrame(RunState& run) {
  if (run.toSlot) {
    run.toSlot = false;
    if (run.deadline > clock_.Now()) clock_.SleepUntil(run.deadline);
  }
  uint8_t datagram[kDatagramSize];
  {
    // Signature and nonce are one snapshot, so a nonce arriving meanwhile never pairs with
    // the other's signature. The frame is in the ledger (and in sent) before it leaves, so
    // that its echo, however quick, finds it.
    std::lock_guard lock(mutex_);
    const Clock::TimePoint now = clock_.Now();
    if (run.cycleFrames == 0) BeginCycle(run, now);
    const uint32_t tick = clock_.TickMs();
    const uint32_t sequence = cycle_.FrameSent(tick, Nanoseconds(now));
    BuildTestFrame(frameSignature_, nonce_, sequence, tick, frame_.data());
    std::memcpy(datagram, frame_.data(), kDatagramSize);
    run.resultDelivered = false;
  }
  run.lastSend = sender_(datagram, static_cast<int>(kDatagramSize), run.peerAddress);
  run.failedInARow = run.lastSend == 0 ? 0 : run.failedInARow + 1;
}

void LoopTest::BeginCycle(const RunState& run, Clock::TimePoint now) {
  // A test shorter than a cycle reserves only the frames it can send (and one more).
  int64_t expected = run.framesPerCycle;
  if (run.hasEnd) {
    const int64_t leftMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(run.endTime - now).count();
    expected = std::clamp<int64_t>(leftMs * run.framesPerSecond / 1000 + 1, 1, expected);
  }
  const int64_t wallNs = clock_.WallNs() - Nanoseconds(now) + Nanoseconds(run.deadline);
  cycle_.Begin(Nanoseconds(run.deadline), wallNs, IntervalNs(run),
               static_cast<int32_t>(expected));
}

void LoopTest::WaitForNextFrame(RunState& run) {
  // A sender that falls more than an interval behind skips the slots that are gone and
  // stays on the grid rather than catching up in a burst; the voice figures' sender check
  // counts the skipped slots.
  if (run.intervalMs > 0) {
    run.deadline += run.interval;
    const Clock::TimePoint now = clock_.Now();
    if (now - run.deadline > run.interval) {
      run.deadline += ((now - run.deadline) / run.interval) * run.interval;
    }
    clock_.SleepUntil(run.deadline);
  }
  ++run.progressFrames;
  ++run.cycleFrames;
}

void LoopTest::ReportProgress(RunState& run) {
  if (run.progressFrames < run.framesPerSecond) return;
  run.progressFrames = 0;
  // The spans the frames past their grace have closed since the last second.
  std::vector<InterruptionSpan> spans;
  {
    std::lock_guard lock(mutex_);
    spans = cycle_.TakeClosedSpans(DueNs());
  }
  DeliverSpans(run, spans);
  const auto elapsed = static_cast<int32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(clock_.Now() - run.startTime).count());
  Deliver(run.observers, &TestObserver::OnProgress,
          TestProgress{run.phone, clock_.WallSeconds(), elapsed});
}

void LoopTest::DeliverSpans(const RunState& run, const std::vector<InterruptionSpan>& spans) {
  for (const InterruptionSpan& span : spans) {
    Deliver(run.observers, &TestObserver::OnInterruptionSpan,
            InterruptionSpanClosed{run.phone, clock_.WallSeconds(), span});
  }
}

void LoopTest::EndCycle(RunState& run) {
  clock_.SleepMs(kCycleEndGraceMs);
  // A test whose duration ends with this cycle (a 5-minute test) leaves its figures in
  // place, as a test ending within a cycle does, not the empty ones of a next cycle.
  run.cycleKept = run.hasEnd && clock_.Now() >= run.endTime;
  CycleResult result{run.phone, 0, {}, {}};
  CycleTimings timings;
  std::vector<InterruptionSpan> closed;
  {
    std::lock_guard lock(mutex_);
    result.stats = CloseCycle();
    closed = cycle_.TakeClosedSpans();
    result.voice.interruptions = cycle_.Interruptions();
    if (run.cycleKept) {
      timings = cycle_.Timings();
    } else {
      timings = cycle_.TakeTimings();
      Reset(false);
    }
  }
  // The grace was a pause, not lateness: the next cycle's schedule starts at the test's
  // next slot.
  run.deadline = NextSendSlot(clock_.Now(), IntervalNs(run), run.gridOrigin, run.gridSlot);
  run.toSlot = true;
  result.voice = Assess(timings, std::move(result.voice.interruptions));
  if (run.cycleKept) run.keptVoice = result.voice;
  result.wallSeconds = clock_.WallSeconds();
  DeliverSpans(run, closed);
  Deliver(run.observers, &TestObserver::OnCycleResult, result);
  run.cycleFrames = 0;
  run.resultDelivered = true;
}

void LoopTest::FinishRun(RunState& run) {
  // The last echoes get the grace of a cycle end too: without it, frames still on their
  // way, or overtaken by a later echo, would end the test counted as lost.
  if (!run.resultDelivered) clock_.SleepMs(kCycleEndGraceMs);
  CycleResult last{run.phone, 0, {}, {}};
  CycleTimings timings;
  std::vector<InterruptionSpan> spans;
  std::vector<InterruptionSpan> closed;
  {
    std::lock_guard lock(mutex_);
    if (run.end == TestEnd::kNone) {
      run.end = phoneEnded_ ? TestEnd::kPhoneEnded : TestEnd::kStopped;
    }
    endReason_ = run.end;
    DebugTrace(__LINE__, kModule, nullptr, "LoopTest::Run : test of %s ended: %s", serialNumber_,
               TestEndName(run.end));
    // The last cycle's figures stay in place, for the list to show after the test. Its
    // frames are copied, not taken: a reader until the release below assesses them itself.
    if (!run.resultDelivered) {
      last.stats = CloseCycle();
      closed = cycle_.TakeClosedSpans();
    }
    if (!run.cycleKept) {
      timings = cycle_.Timings();
      spans = cycle_.Interruptions();
    }
  }
  // The one assessment of the last cycle, for its result and for every reader after the end
  // (of the empty cycle that a cycle end just began, when a stop came right then).
  VoiceQuality finalVoice =
      run.cycleKept ? std::move(run.keptVoice) : Assess(timings, std::move(spans));
  timings = CycleTimings{};
  {
    std::lock_guard lock(mutex_);
    finalVoice_ = finalVoice;
    cycle_.ReleaseFrames();
  }
  last.wallSeconds = clock_.WallSeconds();
  // A test that ends right at a cycle end has delivered that cycle: a second, empty result
  // would only add a line of zeros to the history. A cycle result still comes once more
  // when nothing was delivered at all.
  if (!run.resultDelivered) {
    last.voice = std::move(finalVoice);
    DeliverSpans(run, closed);
    Deliver(run.observers, &TestObserver::OnCycleResult, last);
  }
  Deliver(run.observers, &TestObserver::OnFinished,
          TestFinished{run.phone, last.wallSeconds, run.end});
  clock_.SleepMs(kRunningLingerMs);
  std::lock_guard lock(mutex_);
  running_ = false;
}

int64_t LoopTest::DueNs() {
  return Nanoseconds(clock_.Now()) - int64_t{kCycleEndGraceMs} * 1'000'000;
}

int64_t LoopTest::IntervalNs(const RunState& run) {
  return std::chrono::nanoseconds(run.interval).count();
}

TestStatistics LoopTest::CloseCycle() {
  cycle_.Close();
  const TestStatistics figures = cycle_.Figures();
  if (figures.strayEchoes > 0) {
    DebugTrace(__LINE__, kModule, nullptr,
               "LoopTest::Run : %s: %d stray or repeated echoes ignored in the cycle",
               serialNumber_, figures.strayEchoes);
  }
  return figures;
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
    const CycleLedger::Echo echo =
        cycle_.CountEcho(reply.sequence, reply.sendTick, arrival, arrivalNs);
    if (echo != CycleLedger::Echo::kStray) lastEchoNs_ = std::max(lastEchoNs_, arrivalNs);
    if (echo == CycleLedger::Echo::kInOrder) lastInOrder_ = record;
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
  const int64_t due = DueNs();  // before the lock, as CopyCurrent's
  std::lock_guard lock(mutex_);
  return cycle_.Figures(due);
}

std::chrono::milliseconds LoopTest::EchoSilence() {
  const int64_t now = Nanoseconds(clock_.Now());
  std::lock_guard lock(mutex_);
  if (!running_ || endReason_ != TestEnd::kNone) return std::chrono::milliseconds(0);
  const int64_t silentNs = now - lastEchoNs_;
  if (silentNs <= int64_t{kCycleEndGraceMs} * 1'000'000) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds(silentNs));
}

CycleTimings LoopTest::CopyCurrent(std::vector<InterruptionSpan>* spans,
                                   std::optional<VoiceQuality>* final) {
  // Taken before the lock, so that a frame sent while waiting for it is left out too.
  const int64_t due = DueNs();
  std::lock_guard lock(mutex_);
  if (final != nullptr && finalVoice_) {
    *final = finalVoice_;
    return {};
  }
  // Once the cycle has closed every frame has had its time.
  if (spans != nullptr) *spans = cycle_.Interruptions(due);
  return cycle_.Timings(cycle_.Closed() ? std::numeric_limits<int64_t>::max() : due);
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
