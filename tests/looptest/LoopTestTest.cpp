// SPDX-License-Identifier: Apache-2.0
// The datagram handler and the test loop, on a fake clock and a fake phone: no socket, no
// real sleeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "looptest/LoopTest.h"
#include "support/FakeClock.h"
#include "support/RecordingObserver.h"
#include "support/TraceRecorder.h"

namespace pathmon {
namespace {

using testing::FakeClock;
using testing::Event;
using testing::RecordingObserver;
using testing::TraceRecorder;

std::vector<uint8_t> Reply(const Nonce& nonce, uint32_t sequence, uint32_t sendTick,
                           uint32_t endFlag = 0) {
  std::vector<uint8_t> d(kDatagramSize, 0);
  std::memcpy(d.data() + kOffsetNonce, nonce.data(), kNonceSize);
  WriteLe32(d.data() + kOffsetEndFlag, endFlag);
  WriteLe32(d.data() + kOffsetSequence, sequence);
  WriteLe32(d.data() + kOffsetSendTick, sendTick);
  return d;
}

struct SentFrame {
  uint32_t sequence;
  uint32_t sendTick;
  Signature signature;
  Nonce nonce;
  int64_t atUs;
};

// A LoopTest whose sender records the frames and, when asked, echoes them at once with a
// fixed round-trip time by advancing the fake clock.
class LoopHarness {
 public:
  LoopHarness()
      : test(clock, [this](const uint8_t* data, int length, uint32_t) {
          return OnSend(data, length);
        }) {
    test.Init(nullptr, "SN12345");
  }

  void Deliver(const std::vector<uint8_t>& d) { test.OnDatagram(d.data(), static_cast<int>(d.size())); }
  // The echo of f, rttMs after it left (the clock is set back after the delivery).
  void Echo(const SentFrame& f, int rttMs = 0, uint32_t sendTick = 0) {
    clock.AdvanceMs(rttMs);
    Deliver(Reply(Nonce{}, f.sequence, sendTick != 0 ? sendTick : f.sendTick));
    clock.AdvanceMs(-rttMs);
  }
  void ExpectEachSignedForItsNonce() {
    const KeyDigest digest = DeriveKeyDigest(nullptr, "SN12345");
    for (const SentFrame& f : frames) {
      ASSERT_EQ(f.signature, ComputeSignature(digest, f.nonce)) << f.sequence;
    }
  }
  std::shared_ptr<RecordingObserver> Observe(const char* userName = "") {
    auto observer = std::make_shared<RecordingObserver>();
    test.SetObservers(userName, {observer});
    return observer;
  }

  int OnSend(const uint8_t* data, int length) {
    EXPECT_EQ(length, 200);
    SentFrame f{ReadLe32(data + kOffsetSequence), ReadLe32(data + kOffsetSendTick), {}, {},
                clock.ElapsedMs() * 1000};
    std::memcpy(f.signature.data(), data, kSignatureSize);
    std::memcpy(f.nonce.data(), data + kOffsetNonce, kNonceSize);
    {
      std::lock_guard lock(mutex);
      frames.push_back(f);
    }
    if (onSend) onSend(f);
    return sendResult;
  }

  FakeClock clock;
  LoopTest test;
  std::mutex mutex;
  std::vector<SentFrame> frames;
  std::function<void(const SentFrame&)> onSend;
  int sendResult = 0;
};

// While no test runs, replies are counted and their nonces taken over, but no figure changes.
TEST(LoopTestHandler, IdleRepliesAreCountedAndTheirNonceTakenOverUnlessTheyEnd) {
  LoopHarness h;
  const Signature control = h.test.ControlSignature();
  EXPECT_EQ(h.test.FrameSignature(), control);
  h.Deliver(Reply(Nonce{}, 5, 100));
  EXPECT_EQ(h.test.Statistics().received, 0);

  Nonce n1{1, 2, 3, 4, 5, 6, 7, 8};
  h.Deliver(Reply(n1, 0, 0));
  EXPECT_EQ(h.test.StoredNonce(), n1);
  EXPECT_EQ(h.test.FrameSignature(), ComputeSignature(DeriveKeyDigest(nullptr, "SN12345"), n1));

  h.Deliver(Reply(Nonce{9, 9, 9, 9, 9, 9, 9, 9}, 0, 0, /*endFlag=*/1));
  EXPECT_EQ(h.test.StoredNonce(), n1);

  h.Deliver(Reply(Nonce{}, 0, 0));  // back to the zero nonce: the control signature again
  EXPECT_EQ(h.test.FrameSignature(), control);

  // A one-byte datagram reads as zero padded: zero nonce, no end flag, counted.
  uint8_t one = 0;
  h.test.OnDatagram(&one, 1);
  EXPECT_EQ(h.test.Replies(), 5u);
  h.test.ClearReplies();
  EXPECT_EQ(h.test.Replies(), 0u);
}

TEST(LoopTestRun, EventsFramesAndTheFinalResult) {
  TraceRecorder trace;
  LoopHarness h;
  auto observer = h.Observe();
  std::string result;
  observer->SetHook([&](Event event) {
    if (event != Event::kCycleResult) return;
    char text[256];
    FormatResult(observer->Cycles().back().stats, text, sizeof text);
    result = text;
  });
  // The phone echoes every frame 37 ms later, except frames 10..21.
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence < 10 || f.sequence > 21) h.Echo(f, 37);
  };

  int rc = h.test.Run(/*durationSeconds=*/3, /*intervalMs=*/20, /*peer=*/0x0100007f);
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(h.test.IsRunning());

  ASSERT_EQ(h.frames.size(), 150u);  // 3 s at 50 frames a second
  TestStatistics s = h.test.Statistics();
  EXPECT_EQ(s.sent, 150);
  EXPECT_EQ(s.received, 138);
  EXPECT_EQ(s.lost, 12);
  EXPECT_EQ(s.maxBurstLost, 12);
  EXPECT_EQ(s.interruptions, 1);
  EXPECT_EQ(s.avgRtt, 37);
  EXPECT_EQ(result,
            "INTERRUPTIONS:  1 MAXBURSTLOST:   12 SEND:  150 LOST:   12 DELAYED:    0 "
            "AVGRTT:   37 MAXRTT:   37");

  const std::vector<Event> events = observer->Events();
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(events.front(), Event::kStarted);
  EXPECT_EQ(events[1], Event::kProgress);
  EXPECT_EQ(observer->Progress().front(), 1);  // one second of frames
  // The span closed by the echo of frame 22 is told with the second's progress.
  EXPECT_EQ(events[2], Event::kSpan);
  ASSERT_EQ(observer->Spans().size(), 1u);
  EXPECT_EQ(observer->Spans()[0].span.firstSequence, 10u);
  EXPECT_EQ(observer->Spans()[0].span.lost, 12);
  EXPECT_EQ(observer->Spans()[0].span.lastTimeWallNs - observer->Spans()[0].span.timeWallNs,
            11 * 20'000'000);
  EXPECT_EQ(events[events.size() - 2], Event::kCycleResult);
  EXPECT_EQ(events.back(), Event::kFinished);

  auto lines = trace.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "LoopTest::Run : Frame per second = 50\r\n");
}

TEST(LoopTestRun, FramesKeepASteadyScheduleAndSkipAheadAfterAStall) {
  LoopHarness h;
  // Sending takes 3 ms: the schedule absorbs it. Frame 20 stalls for 100 ms: the schedule
  // moves on instead of sending the missed frames in a burst.
  h.onSend = [&](const SentFrame& f) { h.clock.AdvanceMs(f.sequence == 20 ? 100 : 3); };
  h.test.Run(1, 20, 1);
  ASSERT_GE(h.frames.size(), 30u);
  for (std::size_t i = 1; i <= 20; ++i) {
    EXPECT_EQ(h.frames[i].atUs - h.frames[i - 1].atUs, 20'000) << i;
  }
  EXPECT_EQ(h.frames[21].atUs - h.frames[20].atUs, 100'000);  // no catching up in a burst
  for (std::size_t i = 22; i < h.frames.size(); ++i) {
    EXPECT_EQ(h.frames[i].atUs - h.frames[i - 1].atUs, 20'000) << i;
  }
  // The frame after the stall is for the slot due when it left: four slots were skipped,
  // every frame left on its grid, and 4 slots of some 55 are far more than the 0.5 % the
  // sender's check allows.
  const SenderCheck sender = h.test.CurrentVoice().sender;
  EXPECT_EQ(sender.skippedSlots, 4);
  EXPECT_EQ(sender.slotCount, static_cast<int32_t>(h.frames.size()) + 4);
  EXPECT_EQ(sender.latenessP99Us, 0);
  EXPECT_TRUE(sender.hostLimited);
}

TEST(LoopTestRun, TestsOfARegistrySendInTheirOwnPhasesOfTheInterval) {
  // The registry's grid starts at 1 ms; the tests start at 3 ms. Each slot's frames, in both
  // cycles, leave at 1 ms + k x 20 ms + the slot's phase: slots 0 to 6 take 0, 1/2, 1/4,
  // 3/4, 1/8, 5/8, 3/8 of the interval, so the tests' sends never queue behind each other.
  const struct {
    int slot;
    int64_t firstUs;
  } cases[] = {{0, 21'000}, {1, 11'000}, {2, 6'000}, {3, 16'000},
               {4, 3'500},  {5, 13'500}, {6, 8'500}};
  for (const auto& c : cases) {
    LoopHarness h;
    h.clock.AdvanceMs(3);
    h.test.SetSendGrid(Clock::TimePoint{} + std::chrono::milliseconds(1), c.slot);
    std::vector<int64_t> sentUs;
    h.onSend = [&](const SentFrame&) {
      sentUs.push_back(h.clock.Now().time_since_epoch() / std::chrono::microseconds(1));
    };
    h.test.Run(302, 20, 1);
    ASSERT_GT(sentUs.size(), 15'050u) << c.slot;
    EXPECT_EQ(sentUs.front(), c.firstUs) << c.slot;
    int offGrid = 0;
    for (int64_t at : sentUs) offGrid += (at - c.firstUs) % 20'000 != 0;
    EXPECT_EQ(offGrid, 0) << c.slot;
    EXPECT_EQ(h.frames[15'000].sequence, 0u) << c.slot;  // the second cycle too
  }
}

TEST(LoopTestRun, CycleEndDeliversTheResultAndRestartsSequenceNumbers) {
  LoopHarness h;
  auto observer = h.Observe("bob");
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence % 1000 != 7) h.Echo(f);
  };
  h.test.Run(310, 20, 0x0100007f);
  std::vector<CycleResult> cycles = observer->Cycles();
  ASSERT_EQ(cycles.size(), 2u);
  EXPECT_EQ(cycles[0].stats.sent, 15000);
  EXPECT_EQ(cycles[0].stats.lost, 15);
  EXPECT_EQ(cycles[0].stats.received, 14985);
  EXPECT_GT(cycles[1].stats.sent, 0);
  EXPECT_LT(cycles[1].stats.sent, 15000);
  // Each event names the phone as the test began.
  EXPECT_EQ(cycles[1].phone.serialNumber, "SN12345");
  EXPECT_EQ(cycles[1].phone.userName, "bob");
  EXPECT_EQ(cycles[1].phone.peerAddress, 0x0100007fu);
  EXPECT_EQ(cycles[0].wallSeconds, 1'765'000'000 + 300);
  // Sequence numbers begin again at 0 after the cycle end.
  EXPECT_EQ(h.frames[15000].sequence, 0u);
  EXPECT_EQ(h.frames[14999].sequence, 14999u);
}

// An outage from 10 s before a cycle's end to 10 s after it: each cycle counts its own part,
// the second from its first frame, and the two add up to the frames the phone dropped.
TEST(LoopTestRun, AnOutageAcrossACycleEndIsCountedInBothCycles) {
  LoopHarness h;
  auto observer = h.Observe();
  int dropped = 0;
  h.onSend = [&](const SentFrame& f) {
    if (f.atUs >= 290'000'000 && f.atUs < 310'000'000) {
      ++dropped;
      return;
    }
    h.Echo(f);
  };
  h.test.Run(330, 20, 1);
  const std::vector<CycleResult> cycles = observer->Cycles();
  ASSERT_EQ(cycles.size(), 2u);
  EXPECT_EQ(cycles[0].stats.lost, 500);
  EXPECT_EQ(cycles[0].stats.lost + cycles[1].stats.lost, dropped);
  for (const CycleResult& c : cycles) {
    EXPECT_EQ(c.stats.sent, c.stats.received + c.stats.lost);
    EXPECT_EQ(c.stats.maxBurstLost, c.stats.lost);
    EXPECT_EQ(c.stats.interruptions, c.stats.lost / 50);
    EXPECT_EQ(c.voice.loss.lost, c.stats.lost);
    ASSERT_EQ(c.voice.interruptions.size(), 1u);
    EXPECT_EQ(c.voice.interruptions[0].lost, c.stats.lost);
  }
  EXPECT_EQ(cycles[0].voice.interruptions[0].firstSequence, 14'500u);
  EXPECT_EQ(cycles[1].voice.interruptions[0].firstSequence, 0u);
  // Each span was told once, before its cycle's result.
  ASSERT_EQ(observer->Spans().size(), 2u);
  EXPECT_EQ(observer->Spans()[1].span.firstSequence, 0u);
}

// While the cycle runs, a frame unanswered for the grace counts as lost at once, and the
// silence shows; an echo that still comes takes its frame back.
TEST(LoopTestRun, ADeadPathShowsInTheRunningFiguresWithinTheGrace) {
  LoopHarness h;
  std::vector<SentFrame> held;  // frames 500 to 599: no echo yet
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence < 500) h.Echo(f);
    if (f.sequence >= 500 && f.sequence < 600) held.push_back(f);
    if (f.sequence == 650) {
      // 150 frames silent: the 140 sent more than 200 ms ago are lost.
      const TestStatistics s = h.test.Statistics();
      EXPECT_EQ(s.lost, 140);
      EXPECT_EQ(s.maxBurstLost, 140);
      EXPECT_EQ(s.interruptions, 2);
      EXPECT_EQ(s.received, 500);
      EXPECT_EQ(h.test.EchoSilence().count(), 151 * 20);  // since frame 499's echo
      // The first 100 echoes come after all, 2 s late.
      for (const SentFrame& late : held) h.Echo(late);
      const TestStatistics after = h.test.Statistics();
      EXPECT_EQ(after.lost, 40);
      EXPECT_EQ(after.lostCounted, 140);
      EXPECT_EQ(after.lateEchoes, 100);
      EXPECT_EQ(h.test.EchoSilence().count(), 0);
      h.test.RequestStop();
    }
  };
  h.test.Run(0, 20, 1);
  const TestStatistics s = h.test.Statistics();
  EXPECT_EQ(s.lost, 51);  // 600 to 650, all past the grace at the end
  EXPECT_EQ(s.lostCounted - s.lateEchoes, s.lost);
  EXPECT_EQ(h.test.EchoSilence().count(), 0);  // no test runs
}

TEST(LoopTestRun, EndFlagWhileIdleIsClearedByTheNextRun) {
  LoopHarness h;
  h.Deliver(Reply(Nonce{}, 0, 0, 1));
  h.test.Run(1, 20, 1);
  EXPECT_EQ(h.frames.size(), 50u);
}

TEST(LoopTestRun, IntervalZeroGivesAThousandFramesASecond) {
  TraceRecorder trace;
  LoopHarness h;
  // Without sleeping the fake clock stands still; stop after 2500 frames.
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence == 2499) h.test.RequestStop();
  };
  auto observer = h.Observe();
  h.test.Run(5, 0, 1);
  EXPECT_EQ(h.frames.size(), 2500u);
  EXPECT_EQ(observer->Count(Event::kProgress), 2);
  EXPECT_EQ(trace.Lines().front(), "LoopTest::Run : Frame per second = 1000\r\n");
}

TEST(LoopTestRun, FramesCarryTheNewestNonceWithItsOwnSignature) {
  LoopHarness h;
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence == 10) h.Deliver(Reply(Nonce{7, 7, 7, 7, 7, 7, 7, 7}, 0, 0));
  };
  h.test.Run(1, 20, 1);
  h.ExpectEachSignedForItsNonce();
  EXPECT_EQ(h.frames[10].nonce, Nonce{});
  EXPECT_EQ(h.frames[11].nonce, (Nonce{7, 7, 7, 7, 7, 7, 7, 7}));
}

TEST(LoopTestRun, NonceChangesRacingWithFramesNeverMixSignatureAndNonce) {
  // A real thread hands out nonces while the loop sends as fast as it can.
  LoopHarness h;
  std::atomic<bool> done{false};
  std::thread phone([&] {
    uint8_t k = 1;
    while (!done.load()) {
      h.Deliver(Reply(Nonce{k, k, k, k, k, k, k, k}, 0, 0));
      ++k;
    }
  });
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence == 5000) h.test.RequestStop();
  };
  h.test.Run(0, 0, 1);
  done = true;
  phone.join();
  h.ExpectEachSignedForItsNonce();
}

TEST(LoopTestRun, FailedSendsCountAsSentAndLost) {
  LoopHarness h;
  h.sendResult = -4;
  EXPECT_EQ(h.test.Run(1, 20, 1), -4);
  TestStatistics s = h.test.Statistics();
  EXPECT_EQ(s.sent, 50);
  // After the grace at the end every frame is overdue.
  EXPECT_EQ(s.lost, 50);
  EXPECT_EQ(h.test.EndReason(), TestEnd::kDuration);  // one second of failures is no end
}

// An ended test keeps its last cycle's figures without its frames' tables: a monitor run's
// idle phones would otherwise hold some 300 kB each.
TEST(LoopTestRun, EveryTestSaysWhyItEndedAndKeepsItsFiguresButNotItsFrames) {
  struct Case {
    const char* name;
    int32_t duration;
    int sendResult;
    std::function<void(LoopHarness&, const SentFrame&)> onSend;
    TestEnd end;
    const char* word;    // in the trace line
    std::size_t frames;  // sent in all
  };
  // Without an end time (duration 0) only the end flag ends the test, after the frame in
  // progress.
  const std::vector<Case> cases = {
      {"duration", 1, 0, nullptr, TestEnd::kDuration, "duration", 50},
      {"end flag", 0, 0,
       [](LoopHarness& h, const SentFrame& f) {
         if (f.sequence == 30) h.Deliver(Reply(Nonce{}, 0, 0, /*endFlag=*/1));
       },
       TestEnd::kPhoneEnded, "phone-ended", 31},
      {"stop", 60, 0,
       [](LoopHarness& h, const SentFrame& f) {
         if (f.sequence == 30) h.test.RequestStop();
       },
       TestEnd::kStopped, "stopped", 31},
      {"sends failing for ten seconds", 60, -4, nullptr, TestEnd::kSendFailed, "send-failed", 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceRecorder trace;
    LoopHarness h;
    h.sendResult = c.sendResult;
    // Every frame sent but one in seven comes back.
    std::size_t tableBytesRunning = 0;
    h.onSend = [&](const SentFrame& f) {
      if (c.sendResult == 0 && f.sequence % 7 != 3) {
        h.Echo(f);
      }
      if (f.sequence == 20) tableBytesRunning = h.test.FrameTableBytes();
      if (c.onSend) c.onSend(h, f);
    };
    TestEnd atFinish = TestEnd::kNone;
    auto observer = h.Observe();
    observer->SetHook([&](Event event) {
      if (event == Event::kFinished) atFinish = h.test.EndReason();
    });
    // A reader while the test ends gets the last cycle's figures, from its frames or kept,
    // never from the released tables.
    std::atomic<bool> done{false};
    std::vector<int32_t> sentAfterEnd;
    std::thread reader([&] {
      while (!done.load()) {
        const bool ended = h.test.EndReason() != TestEnd::kNone;
        const int32_t sent = h.test.CurrentVoice().loss.sent;
        h.test.CurrentTimings();
        if (ended && sentAfterEnd.size() < 100) sentAfterEnd.push_back(sent);
      }
    });
    h.test.Run(c.duration, 20, 1);
    done.store(true);
    reader.join();
    EXPECT_EQ(atFinish, c.end);
    ASSERT_EQ(observer->Finished().size(), 1u);
    EXPECT_EQ(observer->Finished()[0].reason, c.end);  // the finished event says why
    EXPECT_EQ(h.test.EndReason(), c.end);
    auto lines = trace.Lines();
    const std::string ended = std::string("LoopTest::Run : test of SN12345 ended: ") + c.word;
    EXPECT_NE(std::find(lines.begin(), lines.end(), ended + "\r\n"), lines.end());
    EXPECT_EQ(h.frames.size(), c.frames);
    EXPECT_GT(tableBytesRunning, 0u);
    EXPECT_EQ(h.test.FrameTableBytes(), 0u);
    EXPECT_TRUE(h.test.CurrentTimings().frames.empty());
    ASSERT_EQ(observer->Cycles().size(), 1u);
    const CycleResult last = observer->Cycles().back();
    EXPECT_EQ(h.test.Statistics().sent, last.stats.sent);
    EXPECT_EQ(h.test.Statistics().lost, last.stats.lost);
    const VoiceQuality after = h.test.CurrentVoice();
    EXPECT_GT(after.loss.sent, 0);
    EXPECT_EQ(after.loss.sent, last.voice.loss.sent);
    EXPECT_EQ(after.loss.lost, last.voice.loss.lost);
    EXPECT_EQ(after.rtt.p95Us, last.voice.rtt.p95Us);
    EXPECT_EQ(after.score.mos, last.voice.score.mos);
    EXPECT_EQ(after.windows.size(), last.voice.windows.size());
    EXPECT_EQ(after.worstWindowMos, last.voice.worstWindowMos);
    EXPECT_EQ(after.interruptions.size(), last.voice.interruptions.size());
    EXPECT_EQ(after.sender.slotCount, last.voice.sender.slotCount);
    for (int32_t sent : sentAfterEnd) EXPECT_EQ(sent, last.voice.loss.sent);
  }
}

TEST(LoopTestRun, TheSteadyClockMeasuresAndTheWallClockOnlyLabels) {
  // The calendar clock is set back an hour at frame 10 and forward a day at frame 20: the
  // one-minute test still sends a minute of frames, and progress counts real seconds.
  LoopHarness h;
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence == 10) h.clock.StepWallSeconds(-3600);
    if (f.sequence == 20) h.clock.StepWallSeconds(86400);
  };
  auto observer = h.Observe();
  h.test.Run(60, 20, 1);
  EXPECT_EQ(h.frames.size(), 3000u);
  const std::vector<int32_t> progress = observer->Progress();
  ASSERT_EQ(progress.size(), 60u);
  for (std::size_t i = 0; i < progress.size(); ++i) EXPECT_EQ(progress[i], static_cast<int32_t>(i + 1));
}

TEST(LoopTestRun, ATestEndingAtACycleEndAddsNoEmptyResult) {
  LoopHarness h;
  auto observer = h.Observe();
  h.onSend = [&](const SentFrame& f) { h.Echo(f); };
  h.test.Run(300, 20, 1);
  std::vector<CycleResult> cycles = observer->Cycles();
  ASSERT_EQ(cycles.size(), 1u);
  EXPECT_EQ(cycles[0].stats.sent, 15000);
  EXPECT_EQ(cycles[0].stats.lost, 0);
  EXPECT_EQ(observer->Count(Event::kFinished), 1);
  // The list shows that cycle after the end, not the zeros of a cycle never begun.
  EXPECT_EQ(h.test.Statistics().sent, 15000);
  EXPECT_EQ(h.test.CurrentVoice().loss.sent, 15000);
  EXPECT_EQ(h.test.CurrentVoice().score.mos, cycles[0].voice.score.mos);
  EXPECT_EQ(h.test.FrameTableBytes(), 0u);
}

TEST(LoopTestHandler, RoundTripFiguresComeFromTheFramesOwnTicks) {
  LoopHarness h;
  h.onSend = [&](const SentFrame& f) {
    if (f.sequence == 0) h.Echo(f, 400);
    if (f.sequence == 1) h.Echo(f, 401);
    if (f.sequence == 2) {
      h.Echo(f, 0, f.sendTick + 299);  // a send tick from the future: ignored
      h.Echo(f, 100);
      h.test.RequestStop();
    }
  };
  h.test.Run(0, 20, 1);
  TestStatistics s = h.test.Statistics();
  EXPECT_EQ(s.received, 3);
  EXPECT_EQ(s.delayed, 1);  // 400 ms is not delayed, 401 ms is
  EXPECT_EQ(s.maxRtt, 401);
  EXPECT_EQ(s.lastRtt, 100);
  EXPECT_EQ(s.avgRtt, (400 + 401 + 100) / 3);
  EXPECT_EQ(s.strayEchoes, 1);
}

}  // namespace
}  // namespace pathmon
