// SPDX-License-Identifier: Apache-2.0
// Interruptions seen together: span layouts and the groups and scopes they give, on a fake
// clock; the correlator's memory; its delivery under concurrent tests.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fmt/format.h>

#include <thread>

#include "engine/InterruptionCorrelator.h"
#include "support/FakeClock.h"

namespace pathmon {
namespace {

constexpr int64_t kT0 = 1'765'000'000;  // the layouts' second 0, wall clock

// Phones A, B, E at 127.93.1.0/24 and C, D at 127.93.2.0/24.
TestIdentity Phone(char serial) {
  const std::string site = serial < 'C' || serial == 'E' ? "127.93.1." : "127.93.2.";
  const std::string address =
      site + (serial == 'A' || serial == 'C' ? "1" : serial == 'E' ? "3" : "2");
  return TestIdentity{std::string(1, serial), "", inet_addr(address.c_str())};
}

struct Recorder : SharedInterruptionObserver {
  void OnSharedInterruption(const SharedInterruption& s) override { got.push_back(s); }
  std::vector<SharedInterruption> got;
};

struct TestRun { char phone; int startMs, endMs; };           // endMs -1: runs on
struct SpanAt { char phone; int firstMs, lastMs, arrivesMs; };  // lost frames' sends, wall ms
struct Layout {
  const char* name;
  std::vector<TestRun> tests;
  std::vector<SpanAt> spans;
  // Each shared interruption: "phones scope startMs-endMs lost @ms it was delivered".
  std::vector<std::string> expected;
};

// Plays the events on a fake clock ticking every 100 ms, as the tests' progress would.
std::vector<std::string> Play(const Layout& layout) {
  testing::FakeClock clock;
  InterruptionCorrelator correlator(clock, 20);
  auto recorder = std::make_shared<Recorder>();
  correlator.AddObserver(recorder);
  std::vector<std::string> got;
  const auto wallNs = [](int ms) { return (kT0 * 1000 + ms) * 1'000'000; };
  for (int ms = 0; ms <= 20'000; ms += 100, clock.AdvanceMs(100)) {
    for (const TestRun& t : layout.tests) {
      if (t.startMs == ms) correlator.OnStarted({Phone(t.phone), kT0 + ms / 1000});
    }
    for (const SpanAt& s : layout.spans) {
      if (s.arrivesMs != ms) continue;
      const int32_t lost = (s.lastMs - s.firstMs) / 20 + 1;
      correlator.OnInterruptionSpan(
          {Phone(s.phone), kT0 + ms / 1000, {wallNs(s.firstMs), 0, lost, 1, wallNs(s.lastMs)}});
    }
    for (const TestRun& t : layout.tests) {
      if (t.endMs == ms) correlator.OnFinished({Phone(t.phone), kT0 + ms / 1000});
    }
    correlator.Poll();
    for (; got.size() < recorder->got.size(); ) {
      const SharedInterruption& s = recorder->got[got.size()];
      std::string phones;
      for (const auto& p : s.phones) phones += p.serialNumber;
      got.push_back(fmt::format("{} {} {}-{} {} @{}", phones, InterruptionScopeName(s.scope),
                                s.startWallNs / 1'000'000 - kT0 * 1000,
                                s.endWallNs / 1'000'000 - kT0 * 1000, s.lost, ms));
    }
  }
  return got;
}

TEST(Correlator, GroupsSpansAndJudgesTheirScope) {
  const std::vector<TestRun> all = {{'A', 0, -1}, {'B', 0, -1}, {'C', 0, -1}, {'D', 0, -1}};
  const std::vector<Layout> layouts = {
      {"overlapping, one site", all, {{'A', 10000, 10980, 12000}, {'B', 10500, 11480, 12500}},
       {"AB site 10000-11500 100 @14500"}},
      {"500 ms apart", all, {{'A', 10000, 10980, 12000}, {'B', 11500, 11980, 13000}},
       {"AB site 10000-12000 75 @15000"}},
      {"600 ms apart", all, {{'A', 10000, 10980, 12000}, {'B', 11600, 11980, 13000}},
       {"A phone 10000-11000 50 @14000", "B phone 11600-12000 20 @15000"}},
      {"a chain of three, two sites", all,
       {{'A', 10000, 10980, 12000}, {'C', 11400, 11980, 12500}, {'B', 12400, 12980, 13500}},
       {"ABC sites 10000-13000 110 @15500"}},
      {"every phone", all,
       {{'A', 10000, 12980, 14000}, {'B', 10000, 12980, 14000}, {'C', 10020, 12980, 14000},
        {'D', 10000, 12980, 14100}},
       {"ABCD everywhere 10000-13000 599 @16100"}},
      {"a span still open joins", all, {{'A', 10000, 10980, 12000}, {'C', 10500, 13480, 13900}},
       {"AC sites 10000-13500 200 @15900"}},
      {"a span closing after the hold stays apart, and A is no witness for it",
       {{'A', 0, -1}, {'C', 0, -1}}, {{'A', 10000, 10980, 12000}, {'C', 10500, 13980, 14000}},
       {"A phone 10000-11000 50 @14000"}},
      {"two spans of one phone alone stay apart", all,
       {{'A', 10000, 10380, 11400}, {'A', 10700, 10980, 12000}},
       {"A phone 10000-10400 20 @13400", "A phone 10700-11000 15 @14000"}},
      {"only one test running", {{'A', 0, -1}}, {{'A', 10000, 10980, 12000}}, {}},
      {"a test that started after the span, one that ended before it",
       {{'A', 0, -1}, {'C', 0, -1}, {'B', 0, 9000}, {'D', 12000, -1}},
       {{'A', 10000, 10980, 12000}, {'C', 10000, 10980, 12000}},
       {"AC everywhere 10000-11000 100 @14000"}},
      {"one site, no other running: nothing to compare with",
       {{'A', 0, -1}, {'B', 0, -1}}, {{'A', 10000, 10980, 12000}, {'B', 10000, 10980, 12000}}, {}},
      {"a phone of the same site ran without loss",
       {{'A', 0, -1}, {'B', 0, -1}, {'E', 0, -1}},
       {{'A', 10000, 10980, 12000}, {'B', 10000, 10980, 12000}},
       {"AB site 10000-11000 100 @14000"}},
      {"a phone with two spans in one group", all,
       {{'A', 10000, 10380, 11400}, {'B', 10300, 10880, 11900}, {'A', 10800, 11180, 12200}},
       {"AB site 10000-11200 70 @14200"}},
      {"the last test ending decides at once",
       {{'A', 0, 12500}, {'C', 0, 12500}, {'D', 0, 12600}},
       {{'A', 10000, 10980, 12000}, {'C', 10000, 10980, 12000}},
       {"AC sites 10000-11000 100 @12600"}},
  };
  for (const Layout& layout : layouts) EXPECT_EQ(Play(layout), layout.expected) << layout.name;
}

TEST(Correlator, KeepsNoSpanOnceEveryRunningTestHasPassedACycleEnd) {
  testing::FakeClock clock;
  InterruptionCorrelator correlator(clock, 20);
  for (char p : {'A', 'C'}) correlator.OnStarted({Phone(p), kT0});
  const int64_t at = (kT0 + 10) * 1'000'000'000;
  correlator.OnInterruptionSpan({Phone('A'), kT0 + 12, {at, 0, 50, 1, at + 980'000'000}});
  clock.AdvanceMs(3000);
  correlator.Poll();
  EXPECT_EQ(correlator.HeldSpans(), 0u);
  EXPECT_EQ(correlator.KeptSpans(), 1u);  // a span of C still open may start before it
  for (char p : {'A', 'C'}) correlator.OnCycleResult({Phone(p), kT0 + 300, {}, {}});
  EXPECT_EQ(correlator.KeptSpans(), 0u);
}

// Tests' threads report at once: each span reaches the observer in exactly one interruption,
// and the observer (which takes no lock) is called by one thread at a time.
TEST(Correlator, DeliversEverySpanOnceUnderConcurrentTests) {
  testing::FakeClock clock;
  InterruptionCorrelator correlator(clock, 20);
  auto recorder = std::make_shared<Recorder>();
  correlator.AddObserver(recorder);
  correlator.OnStarted({Phone('E'), kT0});  // a witness: no group is dropped
  std::vector<std::thread> threads;
  for (char p : {'A', 'B', 'C', 'D'}) {
    threads.emplace_back([&, p] {
      correlator.OnStarted({Phone(p), kT0});
      for (int k = 0; k < 200; ++k) {
        const int64_t at = (kT0 + 10 + k) * 1'000'000'000;
        correlator.OnInterruptionSpan({Phone(p), kT0, {at, 0, 10, 1, at + 180'000'000}});
        if (p == 'A') clock.AdvanceMs(1000);
        correlator.OnProgress({Phone(p), kT0, k});
      }
    });
  }
  for (std::thread& t : threads) t.join();
  correlator.Flush();
  int32_t lost = 0;
  for (const SharedInterruption& s : recorder->got) lost += s.lost;
  EXPECT_EQ(lost, 4 * 200 * 10);
}

}  // namespace
}  // namespace pathmon
