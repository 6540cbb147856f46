// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a phone's window charts, computed without Qt: the running cycle's echoes bucketed
// into seconds, its 10-second window scores as steps and its interruptions as bands, all on
// a time axis of seconds since the cycle's first slot.

#include <cstdint>
#include <string>
#include <vector>

#include "looptest/VoiceQuality.h"

namespace pathmon {

// One second of the cycle: the frames that left in it (second k holds the frames sent from
// startNs + k s on), their round trips' nearest-rank p50 and p95 and the frames lost. In a
// chart of windows (LiveChart::bucketSeconds 10), bucket k is the cycle's k-th window.
struct SecondBucket {
  int32_t second = 0;
  int32_t frames = 0;
  int32_t echoes = 0;
  int32_t lost = 0;
  double p50Ms = 0;  // 0 without an echo
  double p95Ms = 0;
};

// A span of the time axis, seconds since the cycle's first slot.
struct ChartSpan {
  double fromSeconds = 0;
  double toSeconds = 0;
};

struct WindowStep {
  ChartSpan span;  // the slots of the window's sequence numbers
  double mos = 1;
  bool poor = false;  // below kPoorMos
};

struct InterruptionBand {
  ChartSpan span;  // from its first missing frame's slot for the frames it lost
  InterruptionSpan interruption;
};

struct LiveChart {
  std::vector<SecondBucket> seconds;  // every bucket from 0 to the last frame's, in order
  double bucketSeconds = 1;           // each bucket's width
  std::vector<WindowStep> windows;
  std::vector<InterruptionBand> interruptions;
};

// The chart of a cycle from its frames' timings and its voice figures so far. Frames sent
// before startNs count in second 0.
LiveChart BucketCycle(const CycleTimings& timings, const VoiceQuality& voice);
// The chart of a cycle whose frames are gone (an ended test keeps only its figures): one
// bucket per 10-second window with the window's figures, placed by sequence number at
// intervalNs a frame from the first window's first frame.
LiveChart WindowCycle(const VoiceQuality& voice, int64_t intervalNs);
// BucketCycle while the frames are there, WindowCycle when only the windows are.
LiveChart ChartCycle(const CycleTimings& timings, const VoiceQuality& voice);

// The tooltip's and the phone window's text of a cycle's voice figures, one per line, and its
// interruptions each with its local wall-clock time ("18:02:05  7 frames lost, 1
// interruption").
std::string VoiceSummary(const VoiceQuality& voice);
std::string InterruptionText(const InterruptionSpan& span);

}  // namespace pathmon
