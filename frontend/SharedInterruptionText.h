// SPDX-License-Identifier: Apache-2.0
#pragma once
// A shared interruption as the front ends show it: in words, as the summary's line and as the
// JSON object of the report and of the event stream. Pure functions of the value.

#include <string>

#include "engine/InterruptionCorrelator.h"
#include "engine/VoiceHistory.h"

namespace pathmon {

// Who lost frames together: "every running phone at 2 sites", "both phones at
// 127.93.1.0/24", "2 of 3 phones at 127.93.1.0/24", "3 phones at 2 sites", "WB1000CC only".
std::string SharedInterruptionWho(const SharedInterruption& interruption);
// Where the fault lies: "the probe's side or the head end", "that site's link", "a part of
// that site's network", "a part of the way those sites share", "that phone or its access line".
std::string SharedInterruptionWhere(const SharedInterruption& interruption);
// Who, ": ", where.
std::string SharedInterruptionSentence(const SharedInterruption& interruption);
// "20:47:42  3.0 s  " (local start time, length) and the sentence.
std::string SharedInterruptionLine(const SharedInterruption& interruption);
// Its local start time, "20:47:42", and its length in seconds.
std::string SharedInterruptionTime(const SharedInterruption& interruption);
double SharedInterruptionSeconds(const SharedInterruption& interruption);
// The main window's status line: "20:47:42, every running phone", "20:51:10, both phones at
// 127.93.1.0/24", "20:55:12, WB1000CC only".
std::string SharedInterruptionStatus(const SharedInterruption& interruption);
// A phone's span in a shared interruption of this scope, as its interruption list marks it:
// "this phone only", "its site", "several sites", "every running phone".
const char* SharedScopeWords(InterruptionScope scope);

// {"start", "end" (local time with its offset, as the report's other times), "scope", "site"
// (the site for scope "site", else null), "sites", "phones" (serial numbers), "lost"}.
OrderedJson SharedInterruptionJson(const SharedInterruption& interruption);

}  // namespace pathmon
