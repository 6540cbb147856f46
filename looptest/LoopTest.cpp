#include "looptest/LoopTest.h"

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
constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

// A phone may echo any sequence number; keep the counters defined whatever it sends.
int32_t SaturatingAdd(int32_t a, uint32_t b) {
  int64_t sum = static_cast<int64_t>(a) + static_cast<int64_t>(b);
  return static_cast<int32_t>(std::min<int64_t>(sum, kInt32Max));
}

int32_t Increment(int32_t value) { return value == kInt32Max ? value : value + 1; }

}  // namespace

bool TestStatistics::CountEcho(uint32_t sequence, int32_t rtt, uint32_t referenceSequence) {
  lastRtt = rtt;
  rttSum += rtt;
  if (rtt > kDelayedAboveMs) delayed = Increment(delayed);
  if (rtt > maxRtt) maxRtt = rtt;

  uint32_t gap = 0;
  bool inOrder = true;
  if (received != 0) {
    if (sequence <= referenceSequence) {
      // Late or repeated: it was counted lost when the frames after it arrived.
      if (lost > 0) lost -= 1;
      // Nor is it missing from the loss window still open, so that echoes that merely
      // overtake each other never add up to an interruption.
      if (windowLoss > 0 && static_cast<int64_t>(sequence) >= windowStart) windowLoss -= 1;
      inOrder = false;
    } else {
      gap = sequence - referenceSequence - 1;
      if (gap != 0) {
        lost = SaturatingAdd(lost, gap);
        if (gap > static_cast<uint32_t>(maxBurstLost)) {
          maxBurstLost = static_cast<int32_t>(std::min<uint32_t>(gap, kInt32Max));
        }
      }
    }
  }

  if (inOrder) {
    // A loss window spans at least 50 sequence numbers; 10 or more missing in it make an
    // interruption (about one second of speech at the 20 ms interval). The gap that closes
    // a window counts toward it.
    windowLoss = SaturatingAdd(windowLoss, gap);
    if (static_cast<int64_t>(sequence) - windowStart >= kWindowFrames) {
      if (windowLoss >= kInterruptionLoss) interruptions = Increment(interruptions);
      windowStart = static_cast<int32_t>(sequence);
      windowLoss = 0;
    }
  }

  received = Increment(received);
  avgRtt = static_cast<int32_t>(rttSum / received);
  return inOrder;
}

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
  stats_.Reset();
}

int FormatResult(const TestStatistics& stats, char* text, std::size_t size) {
  int n = std::snprintf(text, size,
                        "INTERRUPTIONS:%3d MAXBURSTLOST:%5d SEND:%5d LOST:%5d DELAYED:%5d "
                        "AVGRTT:%5d MAXRTT:%5d",
                        stats.interruptions, stats.maxBurstLost, stats.sent, stats.lost,
                        stats.delayed, stats.avgRtt, stats.maxRtt);
  if (n < 0 || size == 0) return 0;
  return std::min<int>(n, static_cast<int>(size) - 1);
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
  const int64_t startTime = clock_.WallSeconds();
  const bool hasEnd = durationSeconds != 0;
  const int64_t endTime = clock_.WallSeconds() + durationSeconds;

  int32_t framesPerSecond = intervalMs > 0 ? std::max<int32_t>(1, 1000 / intervalMs) : 1000;
  // Who hears of this run is fixed at its start, so the events can go out without the lock.
  TestObservers observers;
  ResultCallback callback;
  TestIdentity phone;
  {
    std::lock_guard lock(mutex_);
    Reset(true);
    running_ = true;
    peerAddress_ = peerAddress;
    interval_ = intervalMs;
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
  Deliver(observers, callback, &TestObserver::OnStarted, TestStarted{phone, startTime}, -1,
          kEventStarted);

  const int32_t framesPerCycle = kCycleSeconds * framesPerSecond;
  const auto interval = std::chrono::milliseconds(intervalMs > 0 ? intervalMs : 0);
  int32_t progressFrames = 0;
  int32_t cycleFrames = 0;
  int lastSend = 0;
  // Frame n of a stretch goes out at its start + n * interval; after a stall longer than one
  // interval the schedule moves on rather than catching up in a burst.
  Clock::TimePoint deadline = clock_.Now();

  while (!stop_.load()) {
    uint8_t datagram[kDatagramSize];
    {
      // Signature and nonce are one snapshot, so a nonce arriving meanwhile never pairs
      // with the other's signature.
      std::lock_guard lock(mutex_);
      BuildTestFrame(frameSignature_, nonce_, static_cast<uint32_t>(stats_.sent), clock_.TickMs(),
                     frame_.data());
      std::memcpy(datagram, frame_.data(), kDatagramSize);
    }
    lastSend = sender_(datagram, static_cast<int>(kDatagramSize), peerAddress);
    {
      std::lock_guard lock(mutex_);
      stats_.sent = Increment(stats_.sent);
    }

    if (intervalMs > 0) {
      deadline += interval;
      Clock::TimePoint now = clock_.Now();
      if (now - deadline > interval) deadline = now;
      clock_.SleepUntil(deadline);
    }

    ++progressFrames;
    ++cycleFrames;
    if (progressFrames >= framesPerSecond) {
      const int64_t now = clock_.WallSeconds();
      const auto elapsed = static_cast<int32_t>(now - startTime);
      Deliver(observers, callback, &TestObserver::OnProgress, TestProgress{phone, now, elapsed},
              elapsed, kEventProgress);
      progressFrames = 0;
    }
    if (cycleFrames >= framesPerCycle) {
      clock_.SleepMs(kCycleEndGraceMs);
      CycleResult result{phone, 0, {}};
      {
        std::lock_guard lock(mutex_);
        result.stats = stats_;
        Reset(false);
      }
      result.wallSeconds = clock_.WallSeconds();
      Deliver(observers, callback, &TestObserver::OnCycleResult, result, -1, kEventCycleResult);
      cycleFrames = 0;
    }
    if (hasEnd && clock_.WallSeconds() >= endTime) break;
  }

  // The last cycle's figures stay in place, for the list to show after the test.
  CycleResult last{phone, clock_.WallSeconds(), Statistics()};
  Deliver(observers, callback, &TestObserver::OnCycleResult, last, -1, kEventCycleResult);
  Deliver(observers, callback, &TestObserver::OnFinished, TestFinished{phone, last.wallSeconds},
          -1, kEventFinished);
  clock_.SleepMs(kRunningLingerMs);
  {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  return lastSend;
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
  // The arrival tick is taken before anything that may wait.
  const uint32_t arrival = clock_.TickMs();
  std::array<uint8_t, kPhoneRecordSize> record{};
  if (length > 0) {
    std::memcpy(record.data(), bytes,
                std::min<std::size_t>(static_cast<std::size_t>(length), kPhoneRecordSize));
  }
  WriteLe32(record.data() + kOffsetArrivalTick, arrival);
  const PhoneDatagram reply = ReadPhoneDatagram(record.data(), record.size());

  std::lock_guard lock(mutex_);
  if (reply.endFlag != 0) {
    stop_.store(true);
    CountReply();
    return true;
  }
  if (reply.nonce != nonce_) TakeNonce(reply.nonce);
  if (running_ && reply.sendTick != 0) {
    // Modulo 2^32, read as a signed number of milliseconds.
    const int32_t rtt = static_cast<int32_t>(arrival - reply.sendTick);
    const uint32_t reference = ReadLe32(lastInOrder_.data() + kOffsetSequence);
    if (stats_.CountEcho(reply.sequence, rtt, reference)) lastInOrder_ = record;
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
  return stats_;
}

uint32_t LoopTest::PeerAddress() {
  std::lock_guard lock(mutex_);
  return peerAddress_;
}

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
