// SPDX-License-Identifier: Apache-2.0
#include "looptest/CycleLedger.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace pathmon {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr uint32_t kWindow = TestStatistics::kWindowFrames;
constexpr int32_t kInterruptionLoss = TestStatistics::kInterruptionLoss;

int32_t Increment(int32_t value) { return value == kInt32Max ? value : value + 1; }
int32_t Clamp32(uint64_t value) {
  return static_cast<int32_t>(std::min<uint64_t>(value, kInt32Max));
}

}  // namespace

void CycleLedger::Reset() {
  stats_.Reset();
  sendTicks_.clear();
  echoed_.clear();
  highestEchoed_ = 0;
  anyEchoed_ = false;
  countedUpTo_ = 0;
  spansTakenUpTo_ = 0;
  closed_ = false;
  finalSpans_.clear();
  timings_.frames.clear();
  timings_.startNs = 0;
  timings_.startWallNs = 0;
  spans_.clear();
}

void CycleLedger::Begin(int64_t startNs, int64_t startWallNs, int64_t intervalNs,
                        int32_t expectedFrames) {
  timings_.startNs = startNs;
  timings_.startWallNs = startWallNs;
  timings_.intervalNs = intervalNs;
  // One allocation for the whole cycle rather than a doubling that could reach twice its size.
  if (expectedFrames > 0) {
    const auto frames = static_cast<std::size_t>(expectedFrames);
    timings_.frames.reserve(frames);
    sendTicks_.reserve(frames);
    echoed_.reserve((frames + 63) / 64);
  }
}

uint32_t CycleLedger::FrameSent(uint32_t sendTick, int64_t sendNs) {
  const auto sequence = static_cast<uint32_t>(sendTicks_.size());
  sendTicks_.push_back(sendTick);
  if (sequence % 64 == 0) echoed_.push_back(0);
  timings_.frames.push_back(FrameTiming{sendNs, FrameTiming::kNotReceived});
  stats_.sent = Increment(stats_.sent);
  return sequence;
}

bool CycleLedger::Echoed(uint32_t sequence) const {
  return (echoed_[sequence / 64] >> (sequence % 64)) & 1u;
}

CycleLedger::Echo CycleLedger::CountEcho(uint32_t sequence, uint32_t sendTick,
                                         uint32_t arrivalTick, int64_t arrivalNs) {
  // Modulo 2^32, read as a signed number of milliseconds. The send tick is the frame's
  // own, so the round trip cannot be negative unless the phone invented the tick.
  const auto rtt = static_cast<int32_t>(arrivalTick - sendTick);
  if (closed_ || sequence >= sendTicks_.size() || sendTicks_[sequence] != sendTick ||
      Echoed(sequence) || rtt < 0) {
    stats_.strayEchoes = Increment(stats_.strayEchoes);
    return Echo::kStray;
  }
  echoed_[sequence / 64] |= uint64_t{1} << (sequence % 64);
  // A frame already counted lost while the cycle ran: the loss is taken back.
  if (sequence < countedUpTo_) stats_.lateEchoes = Increment(stats_.lateEchoes);
  FrameTiming& frame = timings_.frames[sequence];
  frame.arrivalNs = std::max(arrivalNs, frame.sendNs);

  stats_.lastRtt = rtt;
  stats_.rttSum += rtt;
  if (rtt > TestStatistics::kDelayedAboveMs) stats_.delayed = Increment(stats_.delayed);
  if (rtt > stats_.maxRtt) stats_.maxRtt = rtt;
  stats_.received = Increment(stats_.received);
  stats_.avgRtt = static_cast<int32_t>(stats_.rttSum / stats_.received);

  if (anyEchoed_ && sequence < highestEchoed_) return Echo::kLate;
  highestEchoed_ = sequence;
  anyEchoed_ = true;
  return Echo::kInOrder;
}

uint32_t CycleLedger::Next(uint32_t from, uint32_t end, bool echoed) const {
  while (from < end) {
    uint64_t word = echoed_[from / 64];
    if (!echoed) word = ~word;
    word >>= from % 64;  // the bits from `from` on, in the low end
    if (word != 0) return std::min(end, from + static_cast<uint32_t>(std::countr_zero(word)));
    from = (from / 64 + 1) * 64;
  }
  return end;
}

CycleLedger::Loss CycleLedger::CountLoss(uint32_t frames, bool closed) const {
  Loss loss;
  uint64_t lost = 0;
  uint32_t maxRun = 0;
  uint32_t windowStart = 0;  // the window's opening frame
  uint64_t windowLoss = 0;
  Span window;  // first and last lost frame of the open window
  // Closes the window with the run of `run` lost frames that ends it.
  const auto close = [&](uint32_t run, bool open) {
    if (windowLoss >= static_cast<uint64_t>(kInterruptionLoss)) {
      window.lost = Clamp32(windowLoss);
      window.count = static_cast<int32_t>(std::max<uint32_t>(1, run / kWindow));
      window.open = open;
      loss.interruptions = Clamp32(static_cast<uint64_t>(loss.interruptions) + window.count);
      loss.spans.push_back(window);
    }
  };
  const auto addRun = [&](uint32_t from, uint32_t to) {  // frames from..to-1 lost
    const uint32_t run = to - from;
    if (run == 0) return;
    lost += run;
    maxRun = std::max(maxRun, run);
    if (windowLoss == 0) window.first = from;
    window.last = to - 1;
    windowLoss += run;
  };

  uint32_t at = 0;
  while (true) {
    // A run of lost frames, then (unless the frames end) the echoed frame after it.
    const uint32_t echo = Next(at, frames, true);
    addRun(at, echo);
    if (echo == frames) {
      // The end of the frames counted closes the open window whatever its length: a cycle's
      // end or, while it runs, the latest frame whose echo had its time to come.
      loss.windowStart = static_cast<int32_t>(windowStart);
      loss.windowLoss = Clamp32(windowLoss);
      close(echo - at, !closed);
      break;
    }
    if (echo - windowStart >= kWindow) {
      close(echo - at, false);
      windowStart = echo;
      windowLoss = 0;
    }
    // The run of echoed frames from echo: with no loss in between, the window closes at the
    // first of them 50 past its start, and after that every 50 frames.
    const uint32_t end = Next(echo + 1, frames, false);
    const uint32_t closing = std::max(echo + 1, windowStart + kWindow);
    if (closing < end) {
      close(0, false);
      windowStart = closing + (end - 1 - closing) / kWindow * kWindow;
      windowLoss = 0;
    }
    at = end;
  }
  loss.lost = Clamp32(lost);
  loss.maxBurstLost = Clamp32(maxRun);
  return loss;
}

uint32_t CycleLedger::DueFrames(int64_t dueNs) const {
  // Send instants never decrease: the frames sent before dueNs are a prefix.
  const auto due = std::partition_point(timings_.frames.begin(), timings_.frames.end(),
                                        [dueNs](const FrameTiming& f) { return f.sendNs < dueNs; });
  return static_cast<uint32_t>(due - timings_.frames.begin());
}

void CycleLedger::CountLostUpTo(uint32_t frames) {
  if (frames <= countedUpTo_) return;
  uint64_t unechoed = 0;
  for (uint32_t s = Next(countedUpTo_, frames, false); s < frames;) {
    const uint32_t echo = Next(s, frames, true);
    unechoed += echo - s;
    s = Next(echo, frames, false);
  }
  stats_.lostCounted = Clamp32(static_cast<uint64_t>(stats_.lostCounted) + unechoed);
  countedUpTo_ = frames;
}

TestStatistics CycleLedger::Figures(int64_t dueNs) {
  if (closed_) return stats_;
  const uint32_t due = DueFrames(dueNs);
  CountLostUpTo(due);
  const Loss loss = CountLoss(due, false);
  TestStatistics figures = stats_;
  figures.lost = loss.lost;
  figures.maxBurstLost = loss.maxBurstLost;
  figures.interruptions = loss.interruptions;
  figures.windowStart = loss.windowStart;
  figures.windowLoss = loss.windowLoss;
  return figures;
}

void CycleLedger::Close() {
  if (closed_) return;
  const auto frames = static_cast<uint32_t>(sendTicks_.size());
  CountLostUpTo(frames);
  const Loss loss = CountLoss(frames, true);
  stats_.lost = loss.lost;
  stats_.maxBurstLost = loss.maxBurstLost;
  stats_.interruptions = loss.interruptions;
  stats_.windowStart = loss.windowStart;
  stats_.windowLoss = loss.windowLoss;
  finalSpans_ = loss.spans;
  spans_.clear();
  for (const Span& span : finalSpans_) spans_.push_back(Entry(span));
  closed_ = true;
}

InterruptionSpan CycleLedger::Entry(const Span& span) const {
  InterruptionSpan entry;
  entry.timeWallNs = timings_.WallTimeNs(span.first);
  entry.firstSequence = span.first;
  entry.lost = span.lost;
  entry.count = span.count;
  entry.lastTimeWallNs = timings_.WallTimeNs(span.last);
  return entry;
}

std::vector<InterruptionSpan> CycleLedger::Interruptions(int64_t dueNs) const {
  if (closed_) return spans_;
  std::vector<InterruptionSpan> entries;
  for (const Span& span : CountLoss(DueFrames(dueNs), false).spans) entries.push_back(Entry(span));
  return entries;
}

std::vector<InterruptionSpan> CycleLedger::TakeClosedSpans(int64_t dueNs) {
  std::vector<InterruptionSpan> taken;
  const auto take = [&](const Span& span, const InterruptionSpan& entry) {
    if (span.open || span.first < spansTakenUpTo_) return;
    taken.push_back(entry);
    spansTakenUpTo_ = span.last + 1;
  };
  if (closed_) {
    for (std::size_t i = 0; i < finalSpans_.size(); ++i) take(finalSpans_[i], spans_[i]);
  } else {
    for (const Span& span : CountLoss(DueFrames(dueNs), false).spans) take(span, Entry(span));
  }
  return taken;
}

CycleTimings CycleLedger::Timings(int64_t sentBeforeNs) const {
  CycleTimings copy;
  copy.startNs = timings_.startNs;
  copy.startWallNs = timings_.startWallNs;
  copy.intervalNs = timings_.intervalNs;
  copy.firstSequence = timings_.firstSequence;
  const auto count = static_cast<std::ptrdiff_t>(DueFrames(sentBeforeNs));
  copy.frames.assign(timings_.frames.begin(), timings_.frames.begin() + count);
  return copy;
}

void CycleLedger::ReleaseFrames() {
  // clear() would keep the capacity: only a swap with empty tables gives the memory back.
  std::vector<uint32_t>().swap(sendTicks_);
  std::vector<uint64_t>().swap(echoed_);
  std::vector<FrameTiming>().swap(timings_.frames);
}

std::size_t CycleLedger::FrameTableBytes() const {
  return sendTicks_.capacity() * sizeof(uint32_t) + echoed_.capacity() * sizeof(uint64_t) +
         timings_.frames.capacity() * sizeof(FrameTiming);
}

CycleTimings CycleLedger::TakeTimings() {
  CycleTimings taken = std::move(timings_);
  timings_ = CycleTimings{};
  timings_.intervalNs = taken.intervalNs;
  return taken;
}

}  // namespace pathmon
