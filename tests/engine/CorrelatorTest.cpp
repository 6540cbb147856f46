// SPDX-License-Identifier: Apache-2.0
// Interruptions seen together: span layouts and the groups and scopes they give, on a fake
// clock; its delivery under concurrent tests and its memory.

#include <arpa/inet.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <thread>

#include "engine/InterruptionCorrelator.h"
#include "support/FakeClock.h"

namespace pathmon {
namespace {

constexpr int64_t kT0 = 1'765'000'000;  // second 0 of the layouts, calendar time

// Phones A, B, E at 127.93.1.0/24, C and D at 127.93.2.0/24.
TestIdentity Phone(char p) {
  const char* addresses[] = {"127.93.1.1", "127.93.1.2", "127.93.2.1", "127.93.2.2", "127.93.1.3"};
  return TestIdentity{std::string(1, p), "", inet_addr(addresses[p - 'A'])};
}

// A correlator on a fake clock whose steady time is the layouts' ms, and what it delivered:
// "phones scope startMs-endMs lost @ms delivered".
struct Rig : SharedInterruptionObserver {
  Rig() { correlator.AddObserver(std::shared_ptr<Rig>(std::shared_ptr<Rig>(), this)); }
  void OnSharedInterruption(const SharedInterruption& s) override {
    std::string phones;
    for (const auto& p : s.phones) phones += p.serialNumber;
    lost += s.lost;
    got.push_back(fmt::format("{} {} {}-{} {} @{}", phones, InterruptionScopeName(s.scope),
                              s.startWallNs / 1'000'000 - kT0 * 1000,
                              s.endWallNs / 1'000'000 - kT0 * 1000, s.lost, clock.ElapsedMs()));
  }
  void Span(char p, int firstMs, int lastMs) {  // ms after kT0
    correlator.OnInterruptionSpan({Phone(p), kT0, {(kT0 * 1000 + firstMs) * 1'000'000, 0,
                                                   (lastMs - firstMs) / 20 + 1, 1,
                                                   (kT0 * 1000 + lastMs) * 1'000'000}});
  }
  testing::FakeClock clock;
  InterruptionCorrelator correlator{clock, 20};
  std::vector<std::string> got;
  int32_t lost = 0;
};

struct TestRun { char phone; int startMs, endMs; };             // endMs -1: runs on
struct SpanAt { char phone; int firstMs, lastMs, arrivesMs; };  // lost frames' sends
struct Layout {
  const char* name;
  std::vector<SpanAt> spans;
  std::vector<std::string> expected;
  std::vector<TestRun> tests = {{'A', 0, -1}, {'B', 0, -1}, {'C', 0, -1}, {'D', 0, -1}};
};

// Plays a layout in steps of 100 ms, polling at each as the tests' progress would.
std::vector<std::string> Play(const Layout& layout) {
  Rig rig;
  for (int ms = 0; ms <= 20'000; ms += 100, rig.clock.AdvanceMs(100)) {
    for (const TestRun& t : layout.tests) {
      if (t.startMs == ms) rig.correlator.OnStarted({Phone(t.phone), kT0 + ms / 1000});
      if (t.endMs == ms) rig.correlator.OnFinished({Phone(t.phone), kT0 + ms / 1000});
    }
    for (const SpanAt& s : layout.spans) {
      if (s.arrivesMs == ms) rig.Span(s.phone, s.firstMs, s.lastMs);
    }
    rig.correlator.Poll();
  }
  return rig.got;
}

TEST(Correlator, GroupsSpansAndJudgesTheirScope) {
  const SpanAt a = {'A', 10000, 10980, 12000};  // 50 frames, to 11000, held until 14000
  const std::vector<Layout> layouts = {
      {"overlapping", {a, {'B', 10500, 11480, 12500}}, {"AB site 10000-11500 100 @14500"}},
      {"500 ms apart", {a, {'B', 11500, 11980, 13000}}, {"AB site 10000-12000 75 @15000"}},
      {"600 ms apart", {a, {'B', 11600, 11980, 13000}},
       {"A phone 10000-11000 50 @14000", "B phone 11600-12000 20 @15000"}},
      {"a chain of three, two sites", {a, {'C', 11400, 11980, 12500}, {'B', 12400, 12980, 13500}},
       {"ABC sites 10000-13000 110 @15500"}},
      {"every phone", {{'A', 10000, 12980, 14000}, {'B', 10000, 12980, 14000},
                       {'C', 10020, 12980, 14000}, {'D', 10000, 12980, 14100}},
       {"ABCD everywhere 10000-13000 599 @16100"}},
      {"a span still open", {a, {'C', 10500, 13480, 13900}}, {"AC sites 10000-13500 200 @15900"}},
      {"a span closing after the hold stays apart, and A is no witness for it",
       {a, {'C', 10500, 13980, 14000}}, {"A phone 10000-11000 50 @14000"},
       {{'A', 0, -1}, {'C', 0, -1}}},
      {"two spans of one phone alone stay apart",
       {{'A', 10000, 10380, 11400}, {'A', 10700, 10980, 12000}},
       {"A phone 10000-10400 20 @13400", "A phone 10700-11000 15 @14000"}},
      {"only one test running", {a}, {}, {{'A', 0, -1}}},
      {"a test that started after the span, one that ended before it",
       {a, {'C', 10000, 10980, 12000}}, {"AC everywhere 10000-11000 100 @14000"},
       {{'A', 0, -1}, {'C', 0, -1}, {'B', 0, 9000}, {'D', 12000, -1}}},
      {"one site, no other running: nothing to compare with", {a, {'B', 10000, 10980, 12000}}, {},
       {{'A', 0, -1}, {'B', 0, -1}}},
      {"a phone of the same site ran without loss", {a, {'B', 10000, 10980, 12000}},
       {"AB site 10000-11000 100 @14000"}, {{'A', 0, -1}, {'B', 0, -1}, {'E', 0, -1}}},
      {"a phone with two spans in one group",
       {{'A', 10000, 10380, 11400}, {'B', 10300, 10880, 11900}, {'A', 10800, 11180, 12200}},
       {"AB site 10000-11200 70 @14200"}},
      {"the last test ending decides at once", {a, {'C', 10000, 10980, 12000}},
       {"AC sites 10000-11000 100 @12600"}, {{'A', 0, 12500}, {'C', 0, 12500}, {'D', 0, 12600}}},
  };
  for (const Layout& layout : layouts) EXPECT_EQ(Play(layout), layout.expected) << layout.name;
}

// Each span reaches the lockless observer in one interruption, one thread at a time (under
// ThreadSanitizer); once every test has passed a cycle end, no span is kept.
TEST(Correlator, DeliversEverySpanOnceUnderConcurrentTestsAndKeepsNoneAfterACycleEnd) {
  Rig rig;
  rig.correlator.OnStarted({Phone('E'), kT0});  // a witness: no group is dropped
  std::vector<std::thread> threads;
  for (char p : {'A', 'B', 'C', 'D'}) {
    threads.emplace_back([&rig, p] {
      rig.correlator.OnStarted({Phone(p), kT0});
      for (int k = 0; k < 200; ++k) {
        rig.Span(p, 10000 + 1000 * k, 10180 + 1000 * k);
        if (p == 'A') rig.clock.AdvanceMs(1000);
        rig.correlator.OnProgress({Phone(p), kT0, k});
      }
    });
  }
  for (std::thread& t : threads) t.join();
  rig.correlator.Flush();
  EXPECT_EQ(rig.lost, 4 * 200 * 10);
  for (char p : std::string("ABCDE")) rig.correlator.OnCycleResult({Phone(p), kT0 + 300, {}, {}});
  EXPECT_EQ(rig.correlator.KeptSpans() + rig.correlator.HeldSpans(), 0u);
}

}  // namespace
}  // namespace pathmon
