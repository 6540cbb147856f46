// SPDX-License-Identifier: Apache-2.0
#include "frontend/Verdict.h"

#include <fmt/format.h>

#include <algorithm>

namespace pathmon {

namespace {

// The first broken rule of the first cycle that is not usable, in words.
std::string UnusableReason(const std::vector<CycleRecord>& cycles, double minMos, int32_t bad) {
  std::string why;
  for (const CycleRecord& c : cycles) {
    if (CycleUsable(c, minMos)) continue;
    if (c.stats.sent > 0 && c.stats.received == 0) {
      why = "no echo came back";
    } else if (c.stats.avgRtt > kUsableMaxAvgRtt) {
      why = fmt::format("average round trip {} ms, over {} ms", c.stats.avgRtt, kUsableMaxAvgRtt);
    } else if (c.stats.interruptions > kUsableMaxInterruptions) {
      why = fmt::format("{} interruptions, over {}", c.stats.interruptions,
                        kUsableMaxInterruptions);
    } else {
      why = fmt::format("worst 10-second MOS {:.2f}, below {:.2f}", c.voice.worstWindowMos, minMos);
    }
    break;
  }
  if (cycles.size() > 1) why += fmt::format(" ({} of {} cycles not usable)", bad, cycles.size());
  return why;
}

}  // namespace

bool CycleUsable(const CycleRecord& cycle, double minMos) {
  const TestStatistics& s = cycle.stats;
  if (s.avgRtt > kUsableMaxAvgRtt || s.interruptions > kUsableMaxInterruptions) return false;
  if (s.sent > 0 && s.received == 0) return false;
  return !(minMos > 0 && cycle.voice.loss.sent > 0 && cycle.voice.worstWindowMos < minMos);
}

const char* BandName(Band band) {
  switch (band) {
    case Band::kRed: return "red";
    case Band::kAmber: return "amber";
    case Band::kGreen: return "green";
    case Band::kNone: break;
  }
  return "none";
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUsable: return "usable";
    case Outcome::kUnusable: return "unusable";
    case Outcome::kIncomplete: return "incomplete";
    case Outcome::kNoResult: return "no-result";
    case Outcome::kStartFailed: return "start-failed";
    case Outcome::kNotTested: break;
  }
  return "not-tested";
}

const char* OutcomeWords(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUsable: return "usable";
    case Outcome::kUnusable: return "not usable";
    case Outcome::kIncomplete:
    case Outcome::kNoResult: return "incomplete";
    case Outcome::kStartFailed:
    case Outcome::kNotTested: break;
  }
  return "not tested";
}

const char* NotTestedName(NotTested cause) {
  switch (cause) {
    case NotTested::kNoAnswer: return "no-answer";
    case NotTested::kInterrupted: return "interrupted";
    case NotTested::kNotSelected: return "not-selected";
    case NotTested::kDuplicateSerial: return "duplicate-serial";
    case NotTested::kDuplicateKey: return "duplicate-key";
    case NotTested::kLongSerial: return "long-serial";
    case NotTested::kTooManyPhones: return "too-many-phones";
    case NotTested::kNone: break;
  }
  return "none";
}

std::string NotTestedText(NotTested cause) {
  switch (cause) {
    // An off-hook phone ignores the control exchange: it looks like one switched off.
    case NotTested::kNoAnswer:
      return "no answer to the start of the test (off hook, switched off or unreachable)";
    case NotTested::kInterrupted: return "the run was interrupted before its test began";
    case NotTested::kNotSelected: return "not selected for this run";
    case NotTested::kDuplicateSerial: return "same serial number as another phone";
    case NotTested::kDuplicateKey: return "same identity key as another phone";
    case NotTested::kLongSerial: return "serial number too long";
    case NotTested::kTooManyPhones: return "more phones than one run can test";
    case NotTested::kNone: break;
  }
  return {};
}

NotTested NotTestedOf(NotKeptCause cause) {
  return cause == NotKeptCause::kLongSerial ? NotTested::kLongSerial : NotTested::kDuplicateKey;
}

std::string Verdict::Summary() const {
  std::string line = OutcomeWords(outcome);
  if (!reason.empty()) line += (outcome == Outcome::kUsable ? ", but " : ": ") + reason;
  return line;
}

Verdict Judge(TestStage stage, const std::vector<CycleRecord>& cycles, TestEnd end,
              double minMos) {
  Verdict v;
  if (stage == TestStage::kNotTested) return v;
  if (stage == TestStage::kStartFailed) {
    v.outcome = Outcome::kStartFailed;
    v.reason = "the phone did not answer the start of the test";
    return v;
  }
  for (const CycleRecord& c : cycles) v.unusableCycles += CycleUsable(c, minMos) ? 0 : 1;
  if (v.unusableCycles > 0) {
    v.outcome = Outcome::kUnusable;
    v.band = Band::kRed;
    v.word = kBandWords[0];
    v.reason = UnusableReason(cycles, minMos, v.unusableCycles);
    return v;
  }

  // Usable as far as it went: a test that did not measure its whole duration is incomplete,
  // and a script must not read it as a clean one.
  v.outcome = Outcome::kUsable;
  if (stage == TestStage::kUnfinished) {
    v.outcome = Outcome::kIncomplete;
    v.reason = "still running when the report was made";
  } else if (stage == TestStage::kEnded && cycles.empty()) {
    v.outcome = Outcome::kNoResult;
    v.reason = "its test delivered no result";
  } else if (stage == TestStage::kEnded && end != TestEnd::kDuration) {
    v.outcome = Outcome::kIncomplete;
    const char* why = TestEndExplanation(end);
    v.reason = why != nullptr ? why : "ended before its duration";
  }

  // The voice figures cover only frames sent a moment ago: before the first of those the
  // worst window is no more than its initial value and says nothing.
  bool sent = false, scored = false, hostLimited = false;
  double worst = 0;
  for (const CycleRecord& c : cycles) {
    sent = sent || c.stats.sent > 0;
    if (c.voice.loss.sent <= 0) continue;
    worst = scored ? std::min(worst, c.voice.worstWindowMos) : c.voice.worstWindowMos;
    scored = true;
    hostLimited = hostLimited || c.voice.sender.hostLimited;
  }
  auto add = [&v](const std::string& text) { v.reason += (v.reason.empty() ? "" : "; ") + text; };
  if (scored && worst < kPoorMos) {
    const bool bad = worst < kBadMos;
    add(fmt::format("a 10-second window scored {:.2f} ({})", worst, bad ? "bad" : "poor"));
    v.word = kBandWords[bad ? 1 : 2];
  }
  if (hostLimited) {
    add("the testing computer fell behind its schedule (host-limited)");
    if (*v.word == '\0') v.word = kBandWords[3];
  }
  if (v.outcome != Outcome::kUsable && *v.word == '\0') v.word = kBandWords[4];
  if (*v.word != '\0') {
    v.band = Band::kAmber;
  } else if (stage != TestStage::kRunning || sent) {
    v.band = Band::kGreen;
  }
  return v;
}

Verdict LiveVerdict(const TestSnapshot& snapshot, const VoiceQuality& voice, double minMos) {
  // A test without an end reason that has figures is judged on them as they stand.
  const TestStage stage = snapshot.running                 ? TestStage::kRunning
                          : snapshot.end != TestEnd::kNone ? TestStage::kEnded
                          : snapshot.stats.sent > 0        ? TestStage::kRunning
                                                           : TestStage::kNotTested;
  return Judge(stage, {CycleRecord{0, snapshot.stats, voice}}, snapshot.end, minMos);
}

}  // namespace pathmon
