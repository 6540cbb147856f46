// SPDX-License-Identifier: Apache-2.0
#pragma once
// The site report: one self-contained HTML file of a run that anyone can open, print or
// forward. A header with the run's facts, the fleet table (one row per phone, worst first,
// its verdict in words and coloured by its band), and for each tested phone its charts
// (round trip, loss and score per 10 seconds, interruptions marked), its interruption
// timeline and the figures of each cycle; then how to read it. Rendered from the same
// RunReport as the JSON report, whose document the page embeds whole, so the figures agree.
//
// Nothing in the file refers to anything outside it: the style sheet, the data and Chart.js
// (Debian's libjs-chart.js, with its licence notice) are inline, and a Content-Security-Policy
// forbids the page every request. Without JavaScript the tables tell the whole story.
// docs/report.md describes the page and how to print it.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/RunReport.h"

namespace pathmon {

// One row of the fleet table: a phone's figures over all its cycles.
struct FleetRow {
  std::size_t phone = 0;  // index into RunReport::phones
  // Its verdict (frontend/Verdict.h); the reason of a phone not tested is the report's: why
  // the phone was not tested at all, not selected, or the run interrupted before its turn.
  Verdict verdict;
  bool figures = false;   // a cycle sent frames: the figures below mean something
  double worstMos = std::numeric_limits<double>::quiet_NaN();  // lowest window MOS
  int32_t poorWindows = 0;
  double lossPercent = 0;  // frames lost of all frames sent
  double p95RttMs = 0;     // the highest cycle p95 round trip
  double jitterMs = 0;     // the highest cycle jitter
  int32_t interruptions = 0;
  bool hostLimited = false;  // a cycle's sender was late or skipped slots
};

FleetRow MakeFleetRow(const RunReport& report, std::size_t phone);

// Every phone's row, worst first: by verdict (not usable, incomplete, usable, not tested),
// then band (red first), then worst window MOS (lowest first), then loss (highest first);
// phones alike keep the report's order.
std::vector<FleetRow> FleetRows(const RunReport& report);

// The phone's bytes as HTML text: UTF-8 as Utf8OrLatin1 makes it, with & < > " ' as
// character references, and control characters (C0 but tab, DEL, C1) shown as U+FFFD, so an
// attribute or element can never be closed or a terminal-style control smuggled in.
std::string HtmlText(std::string_view bytes);

// JSON for a <script type="application/json"> block: < > & inside strings become \u003c
// \u003e \u0026, so no text can end the block; JSON.parse reads the same document.
std::string ScriptSafeJson(const OrderedJson& document);

// The page. version: the program's version for the header.
std::string FormatSiteReport(const RunReport& report, std::string_view version);

// Chart.js as shipped by libjs-chart.js, inlined when the program was built.
std::string_view ChartJsSource();

}  // namespace pathmon
