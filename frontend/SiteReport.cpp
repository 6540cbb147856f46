// SPDX-License-Identifier: Apache-2.0
#include "frontend/SiteReport.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "frontend/Figures.h"
#include "transport/Dscp.h"

namespace pathmon {

extern const char* const kChartJsParts[];
extern const std::size_t kChartJsPartCount;

namespace {

// Chart.js's licence (MIT), as its LICENSE.md gives it; the copy of the code keeps its own
// banner too.
constexpr const char* kChartJsLicence =
    "The MIT License (MIT)\n\n"
    "Copyright (c) 2014-2022 Chart.js Contributors\n\n"
    "Permission is hereby granted, free of charge, to any person obtaining a copy of this "
    "software and associated documentation files (the \"Software\"), to deal in the Software "
    "without restriction, including without limitation the rights to use, copy, modify, merge, "
    "publish, distribute, sublicense, and/or sell copies of the Software, and to permit persons "
    "to whom the Software is furnished to do so, subject to the following conditions:\n\n"
    "The above copyright notice and this permission notice shall be included in all copies or "
    "substantial portions of the Software.\n\n"
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, "
    "INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR "
    "PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE "
    "FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR "
    "OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER "
    "DEALINGS IN THE SOFTWARE.";

// The page forbids itself every request; the first script records any attempt all the same
// (data-blocked on <html>), so a test can tell that none was made.
constexpr const char* kHead = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:">
<script>
document.addEventListener('securitypolicyviolation', function (e) {
  var html = document.documentElement;
  html.setAttribute('data-blocked', (html.getAttribute('data-blocked') || '') + e.blockedURI + ' ');
});
</script>
<link rel="icon" href="data:,">
<meta name="viewport" content="width=device-width, initial-scale=1">
)html";

// Screen: readable at any width. Print: A4 portrait, each phone on pages of its own, its
// charts together; the windows' table (long, and in the charts already) is left out.
constexpr const char* kStyle = R"css(<style>
body { font: 14px/1.4 system-ui, sans-serif; color: #222; margin: 1.5em auto; max-width: 1100px; padding: 0 1em; }
h1 { font-size: 1.6em; margin: 0 0 .3em; }
h2 { font-size: 1.25em; margin: 1.6em 0 .4em; border-bottom: 1px solid #ccc; }
h3 { font-size: 1em; margin: 1em 0 .3em; }
table { border-collapse: collapse; margin: .3em 0 1em; }
th, td { border: 1px solid #ccc; padding: 2px 6px; text-align: right; vertical-align: top; }
th { background: #f2f2f2; }
td.text, th.text { text-align: left; }
table.facts td, table.facts th { text-align: left; border: none; padding: 1px 8px 1px 0; background: none; }
tr.band-red td.verdict { background: #f8c9c4; }
tr.band-amber td.verdict { background: #fbe3a6; }
tr.band-green td.verdict { background: #cdeccd; }
tr.band-red td:first-child { border-left: 6px solid #c0392b; }
tr.band-amber td:first-child { border-left: 6px solid #e0a000; }
tr.band-green td:first-child { border-left: 6px solid #2e8b57; }
tr.band-none td:first-child { border-left: 6px solid #bbb; }
td.bad { font-weight: bold; }
.charts canvas { display: block; margin: .4em 0; max-width: 100%; }
.note { color: #555; }
details { margin: .5em 0 1em; }
dt { font-weight: bold; margin-top: .4em; }
dd { margin-left: 1.5em; }
pre.licence { white-space: pre-wrap; font-size: .8em; color: #555; }
@page { size: A4 portrait; margin: 12mm; }
@media print {
  body { font-size: 9pt; margin: 0; max-width: none; padding: 0; }
  a { color: inherit; text-decoration: none; }
  section.phone { break-before: page; }
  .charts, tr, h2, h3 { break-inside: avoid; }
  h2, h3 { break-after: avoid; }
  .charts canvas { width: 100% !important; height: auto !important; }
  thead { display: table-header-group; }
  details.windows { display: none; }
}
</style>
)css";

// Draws each phone's charts from the embedded document, then marks each canvas with the
// number of coloured pixels inside its plot area (data-drawn; the grid and axes are grey), and
// <html> with data-charts="done", for the tests and for anyone wondering whether a chart drew.
constexpr const char* kChartScript = R"js(<script>
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var phones = data.report.phones;
  var colours = { p50: '#1f77b4', p95: '#d62728', loss: '#9467bd', mos: '#2ca02c', stop: '#e4572e' };
  function inked(chart) {
    var a = chart.chartArea, ctx = chart.ctx, r = chart.currentDevicePixelRatio || 1;
    var x = Math.floor(a.left * r), y = Math.floor(a.top * r);
    var w = Math.max(1, Math.floor((a.right - a.left) * r)), h = Math.max(1, Math.floor((a.bottom - a.top) * r));
    var px = ctx.getImageData(x, y, w, h).data, n = 0;
    for (var i = 0; i < px.length; i += 4) {
      var hi = Math.max(px[i], px[i + 1], px[i + 2]), lo = Math.min(px[i], px[i + 1], px[i + 2]);
      if (px[i + 3] > 128 && hi - lo > 60) n++;
    }
    return n;
  }
  function line(label, points, colour, extra) {
    var d = { label: label, data: points, showLine: true, borderColor: colour, backgroundColor: colour,
              borderWidth: 2, pointRadius: points.length > 60 ? 0 : 2 };
    for (var k in extra || {}) d[k] = extra[k];
    return d;
  }
  document.querySelectorAll('canvas[data-phone]').forEach(function (canvas) {
    var phone = phones[Number(canvas.getAttribute('data-phone'))];
    var windows = [], stops = [];
    phone.cycles.forEach(function (c) {
      c.voice.windows.forEach(function (w) { windows.push(w); });
      c.voice.interruptions.forEach(function (s) { stops.push(s); });
    });
    if (windows.length === 0) return;
    var t0 = Date.parse(windows[0].time);
    var at = function (iso) { return (Date.parse(iso) - t0) / 60000; };
    var kind = canvas.getAttribute('data-chart'), sets = [], y = {}, floor = 0;
    if (kind === 'rtt') {
      sets.push(line('p50 round trip, ms', windows.map(function (w) { return { x: at(w.time), y: w.rttP50Us / 1000 }; }), colours.p50));
      sets.push(line('p95 round trip, ms', windows.map(function (w) { return { x: at(w.time), y: w.rttP95Us / 1000 }; }), colours.p95));
      y = { beginAtZero: true, title: { display: true, text: 'round trip, ms' } };
    } else if (kind === 'loss') {
      sets.push(line('frames lost, %', windows.map(function (w) { return { x: at(w.time), y: 100 * w.lost / w.frames }; }), colours.loss));
      y = { beginAtZero: true, suggestedMax: 1, title: { display: true, text: 'lost, %' } };
    } else {
      var xs = windows.map(function (w) { return at(w.time); });
      sets.push(line('MOS per 10 s', windows.map(function (w) { return { x: at(w.time), y: w.mos }; }), colours.mos));
      sets.push(line('3.6: poor below', [{ x: Math.min.apply(null, xs), y: 3.6 }, { x: Math.max.apply(null, xs), y: 3.6 }],
                     '#555', { borderDash: [6, 4], borderWidth: 1, pointRadius: 0 }));
      y = { min: 1, max: 4.5, title: { display: true, text: 'MOS' } };
      floor = 1;
    }
    if (stops.length > 0) {
      sets.push({ label: 'interruption', data: stops.map(function (s) { return { x: at(s.time), y: floor }; }),
                  pointStyle: 'triangle', pointRadius: 7, borderColor: colours.stop, backgroundColor: colours.stop });
    }
    var chart = new Chart(canvas, {
      type: 'scatter',
      data: { datasets: sets },
      options: {
        responsive: false, animation: false, devicePixelRatio: 2,
        plugins: { legend: { position: 'bottom' }, tooltip: { enabled: true } },
        scales: { x: { title: { display: true, text: 'minutes since ' + windows[0].time.substr(11, 8) } }, y: y }
      }
    });
    canvas.setAttribute('data-drawn', String(inked(chart)));
  });
  document.documentElement.setAttribute('data-charts', 'done');
})();
</script>
)js";

constexpr const char* kHowToRead = R"html(<section id="how">
<h2>How to read this</h2>
<dl>
<dt>Verdict</dt>
<dd>Usable: every cycle of the phone's test kept the rule in the header. Not usable: a cycle broke it; the reason says which figure. Incomplete: the test ended before its duration (the phone ended it, frames could not be sent, or it was stopped), or delivered no result. Not tested: the phone was found but its test never ran, with the reason. A cycle is one result of the test, every 5 minutes and at its end.</dd>
<dt>Colours</dt>
<dd>The colour follows the verdict. Red: not usable. Amber: usable, but a 10-second window scored below 3.6 (poor; below 3.1 bad: many callers would complain), or the testing computer could not keep its own schedule, so the figures may overstate the path's faults; or incomplete. Green: usable, and none of that. Grey: not tested. The verdict is always given in words too.</dd>
<dt>MOS (mean opinion score)</dt>
<dd>How a call would sound, from 1 (impossible) to 4.5 (best a G.711 call can do), computed with the ITU-T G.107 E-model from round trip, jitter and loss. Above 4.0 is good, below 3.6 is poor. The worst 10-second MOS is the lowest of all 10-second windows: one bad stretch shows even when the average is fine.</dd>
<dt>Poor windows</dt>
<dd>How many 10-second windows scored below 3.6.</dd>
<dt>Loss</dt>
<dd>Frames (one every 20 ms, as a call sends) that the phone did not echo back, as a share of those sent.</dd>
<dt>Round trip (p50, p95)</dt>
<dd>Time from sending a frame to getting its echo back, in milliseconds. p50: half the frames came back faster. p95: all but the slowest 5 % came back faster. The fleet table gives the highest p95 of the phone's cycles.</dd>
<dt>Jitter</dt>
<dd>How much the transit time varies from one frame to the next (RFC 3550), in milliseconds; a phone's jitter buffer adds about twice this to the delay.</dd>
<dt>Interruptions</dt>
<dd>Counted as the main window counts them: a run of 50 frames (one second) with 10 or more missing is one interruption. The timeline lists each gap with the time its first missing frame left, how many frames it lost and how long that was; the charts mark them with triangles on the time axis.</dd>
<dt>Figures of each cycle</dt>
<dd>The main window's columns: SENT, RCVD and LOST frames, INTERRUPTIONS, AVG RTT (ms), MAXBURSTLOST (most frames lost in one gap), DELAYED (echoes over 400 ms), RTT (the last round trip) and MAX RTT, with the voice figures beside them.</dd>
</dl>
</section>
)html";

std::string Fixed(double value, int decimals) { return fmt::format("{:.{}f}", value, decimals); }

// "2026-12-08 18:02:05 +01:00"
std::string ReadableTime(int64_t wallSeconds) {
  std::string iso = IsoLocalTime(wallSeconds);
  if (iso.size() > 19) {
    iso[10] = ' ';
    iso.insert(19, " ");
  }
  return iso;
}

std::string Lasting(int64_t seconds) {
  if (seconds < 60) return fmt::format("{} s", seconds);
  if (seconds < 3600) return fmt::format("{} min {} s", seconds / 60, seconds % 60);
  return fmt::format("{} h {} min", seconds / 3600, seconds / 60 % 60);
}

// A cycle that sent frames: its voice figures mean something.
bool Judged(const CycleRecord& c) { return c.voice.loss.sent > 0; }

// Worst first: not usable, incomplete, usable, not tested; then red, amber, green, none.
int VerdictRank(Outcome o) {
  switch (o) {
    case Outcome::kUnusable: return 0;
    case Outcome::kIncomplete:
    case Outcome::kNoResult: return 1;
    case Outcome::kUsable: return 2;
    case Outcome::kStartFailed:
    case Outcome::kNotTested: break;
  }
  return 3;
}
int BandRank(Band b) { return static_cast<int>(Band::kRed) - static_cast<int>(b); }

std::string Td(const std::string& text, const char* cls = nullptr) {
  return cls ? fmt::format("<td class=\"{}\">{}</td>", cls, text) : "<td>" + text + "</td>";
}

std::string PhoneName(const PhoneEntry& e) {
  return HtmlText(e.userName) + ":" + HtmlText(e.serialNumber);
}

void Header(std::string& h, const RunReport& r, const std::vector<FleetRow>& rows,
            std::string_view version) {
  int tested = 0, usable = 0;
  for (const FleetRow& row : rows) {
    tested += VerdictRank(row.verdict.outcome) < 3 ? 1 : 0;
    usable += row.verdict.outcome == Outcome::kUsable ? 1 : 0;
  }
  std::string ranges;
  for (const std::string& range : r.ranges) ranges += (ranges.empty() ? "" : ", ") + HtmlText(range);
  std::string rule = fmt::format(
      "usable for voice when every cycle has an average round trip of at most {} ms, at most {} "
      "interruptions and an echo back",
      kUsableMaxAvgRtt, kUsableMaxInterruptions);
  if (r.minMos > 0) {
    rule += fmt::format(", and no 10-second window below MOS {} (--min-mos)", Fixed(r.minMos, 2));
  }
  h += fmt::format("<title>Site report {}</title>\n</head>\n<body>\n<header>\n",
                   ReadableTime(r.startedAt));
  h += "<h1>Voice path report</h1>\n<table class=\"facts\">\n";
  auto fact = [&h](const char* name, const std::string& value) {
    h += fmt::format("<tr><th>{}</th><td>{}</td></tr>\n", name, value);
  };
  fact("Run", fmt::format("{} to {} ({})", ReadableTime(r.startedAt), ReadableTime(r.endedAt),
                          Lasting(std::max<int64_t>(0, r.endedAt - r.startedAt))) +
                  (r.interrupted ? ", <strong>interrupted</strong>" : ""));
  fact("Addresses", ranges.empty() ? "-" : ranges);
  fact("Phones", fmt::format("{} found, {} tested, {} usable", r.phones.size(), tested, usable));
  fact("Tests", fmt::format("{} min each, at most {} at once", r.durationMinutes,
                            r.maxConcurrentTests));
  fact("Marking", r.dscp == 0 ? std::string("unmarked (DSCP 0)")
                               : "DSCP " + DscpText(r.dscp) +
                                     " on the control exchange and every test frame");
  fact("Rule", rule);
  fact("Program", "pathmon " + HtmlText(version));
  h += "</table>\n</header>\n";
}

void FleetTable(std::string& h, const RunReport& r, const std::vector<FleetRow>& rows) {
  h += "<section id=\"fleet\">\n<h2>Phones, worst first</h2>\n<table>\n<thead><tr>"
       "<th class=\"text\">Phone</th><th class=\"text\">Address</th>"
       "<th class=\"text\">Verdict</th><th>Worst 10-s MOS</th><th>Poor windows</th>"
       "<th>Loss %</th><th>P95 round trip, ms</th><th>Jitter, ms</th><th>Interruptions</th>"
       "</tr></thead>\n<tbody>\n";
  for (const FleetRow& row : rows) {
    const PhoneReport& p = r.phones[row.phone];
    std::string name = PhoneName(p.entry);
    if (!p.cycles.empty()) name = fmt::format("<a href=\"#phone-{}\">{}</a>", row.phone, name);
    const std::string words = OutcomeWords(row.verdict.outcome);
    const std::string verdict = fmt::format("<strong>{}</strong>", words) +
                                HtmlText(row.verdict.Summary().substr(words.size()));
    h += fmt::format("<tr class=\"band-{}\" data-phone=\"{}\">", BandName(row.verdict.band),
                     row.phone);
    h += Td(name, "text") + Td(HtmlText(p.entry.scannedAddress), "text") +
         Td(verdict, "text verdict");
    if (row.figures) {
      h += Td(Fixed(row.worstMos, 2), row.worstMos < kPoorMos ? "bad" : nullptr) +
           Td(std::to_string(row.poorWindows)) + Td(Fixed(row.lossPercent, 2)) +
           Td(Fixed(row.p95RttMs, 1)) + Td(Fixed(row.jitterMs, 2)) +
           Td(std::to_string(row.interruptions));
    } else {
      h += "<td>-</td><td>-</td><td>-</td><td>-</td><td>-</td><td>-</td>";
    }
    h += "</tr>\n";
  }
  h += "</tbody>\n</table>\n</section>\n";
}

void PhoneSection(std::string& h, const RunReport& r, const FleetRow& row) {
  const PhoneReport& p = r.phones[row.phone];
  h += fmt::format("<section class=\"phone\" id=\"phone-{}\">\n<h2>{} at {}: {}</h2>\n",
                   row.phone, PhoneName(p.entry), HtmlText(p.entry.scannedAddress),
                   OutcomeWords(row.verdict.outcome));
  if (!row.verdict.reason.empty()) h += "<p>" + HtmlText(row.verdict.reason) + "</p>\n";
  bool windows = false;
  for (const CycleRecord& c : p.cycles) windows = windows || !c.voice.windows.empty();
  if (windows) {
    h += "<div class=\"charts\">\n";
    for (const char* chart : {"rtt", "loss", "mos"}) {
      h += fmt::format(
          "<canvas data-phone=\"{}\" data-chart=\"{}\" width=\"700\" height=\"190\"></canvas>\n",
          row.phone, chart);
    }
    h += "</div>\n";
  } else {
    h += "<p class=\"note\">No 10-second window to chart: the test sent fewer than 50 "
         "frames.</p>\n";
  }

  h += "<h3>Interruptions</h3>\n";
  int spans = 0;
  std::string timeline;
  for (const CycleRecord& c : p.cycles) {
    for (const InterruptionSpan& s : c.voice.interruptions) {
      ++spans;
      timeline += "<tr>" + Td(ReadableTime(RoundedWallSeconds(s.timeWallNs)), "text") +
                  Td(std::to_string(s.firstSequence)) + Td(std::to_string(s.lost)) +
                  Td(Fixed(s.lost * 0.02, 2)) + Td(std::to_string(s.count)) + "</tr>\n";
    }
  }
  if (spans == 0) {
    h += "<p>None.</p>\n";
  } else {
    h += "<table class=\"timeline\">\n<thead><tr><th class=\"text\">First missing frame "
         "left</th><th>Its sequence number</th><th>Frames lost</th><th>Length, s</th>"
         "<th>Interruptions counted</th></tr></thead>\n<tbody>\n" +
         timeline + "</tbody>\n</table>\n";
  }

  h += "<h3>Figures of each cycle</h3>\n<table class=\"cycles\">\n<thead><tr>"
       "<th class=\"text\">Cycle result</th>";
  for (const Figure& f : kFigures) {
    if (f.column) h += fmt::format("<th>{}</th>", f.header);
  }
  for (const VoiceFigure& f : kVoiceFigures) h += fmt::format("<th>{}</th>", f.header);
  h += "<th class=\"text\">Usable</th></tr></thead>\n<tbody>\n";
  for (const CycleRecord& c : p.cycles) {
    h += "<tr>" + Td(ReadableTime(c.wallSeconds), "text");
    for (const Figure& f : kFigures) {
      if (f.column) h += Td(std::to_string(f.get(c.stats)));
    }
    for (const VoiceFigure& f : kVoiceFigures) h += Td(VoiceFigureText(f, c.voice));
    h += Td(CycleUsable(c, r.minMos) ? "yes" : "<strong>no</strong>", "text") + "</tr>\n";
  }
  h += "</tbody>\n</table>\n";

  if (windows) {
    h += "<details class=\"windows\"><summary>Every 10-second window (the charts' "
         "figures)</summary>\n<table>\n<thead><tr><th class=\"text\">Started</th>"
         "<th>First frame</th><th>Frames</th><th>Lost</th><th>Loss %</th><th>p50 ms</th>"
         "<th>p95 ms</th><th>MOS</th></tr></thead>\n<tbody>\n";
    for (const CycleRecord& c : p.cycles) {
      for (const WindowQuality& w : c.voice.windows) {
        h += "<tr>" + Td(ReadableTime(RoundedWallSeconds(w.timeWallNs)), "text") +
             Td(std::to_string(w.firstSequence)) + Td(std::to_string(w.frames)) +
             Td(std::to_string(w.loss.lost)) + Td(Fixed(w.loss.lossPercent, 2)) +
             Td(Fixed(w.p50Us / 1000, 1)) + Td(Fixed(w.p95Us / 1000, 1)) +
             Td(Fixed(w.score.mos, 2), w.score.mos < kPoorMos ? "bad" : nullptr) + "</tr>\n";
      }
    }
    h += "</tbody>\n</table>\n</details>\n";
  }
  h += "</section>\n";
}

OrderedJson RowJson(const FleetRow& row) {
  OrderedJson j;
  j["phone"] = row.phone;
  j["verdict"] = OutcomeWords(row.verdict.outcome);
  j["reason"] = Utf8OrLatin1(row.verdict.reason);
  j["band"] = BandName(row.verdict.band);
  j["worstMos"] = row.figures ? OrderedJson(row.worstMos) : OrderedJson(nullptr);
  j["poorWindows"] = row.poorWindows;
  j["lossPercent"] = row.lossPercent;
  j["p95RttMs"] = row.p95RttMs;
  j["jitterMs"] = row.jitterMs;
  j["interruptions"] = row.interruptions;
  j["hostLimited"] = row.hostLimited;
  return j;
}

}  // namespace

FleetRow MakeFleetRow(const RunReport& r, std::size_t index) {
  const PhoneReport& p = r.phones[index];
  FleetRow row;
  row.phone = index;
  int64_t sent = 0, lost = 0;
  for (const CycleRecord& c : p.cycles) {
    row.interruptions += c.stats.interruptions;
    if (!Judged(c)) continue;
    row.worstMos = row.figures ? std::min(row.worstMos, c.voice.worstWindowMos)
                               : c.voice.worstWindowMos;
    row.figures = true;
    row.poorWindows += c.voice.poorWindows;
    sent += c.voice.loss.sent;
    lost += c.voice.loss.lost;
    row.p95RttMs = std::max(row.p95RttMs, c.voice.rtt.p95Us / 1000);
    row.jitterMs = std::max(row.jitterMs, c.voice.jitterUs / 1000);
    row.hostLimited = row.hostLimited || c.voice.sender.hostLimited;
  }
  if (sent > 0) row.lossPercent = 100.0 * static_cast<double>(lost) / static_cast<double>(sent);

  row.verdict = Judge(p, r);
  if (row.verdict.outcome == Outcome::kNotTested) {
    row.verdict.reason = !p.notTestedReason.empty() ? p.notTestedReason
                         : !p.selected ? "not selected for this run"
                                       : "the run was interrupted before its test began";
  }
  return row;
}

std::vector<FleetRow> FleetRows(const RunReport& report) {
  std::vector<FleetRow> rows;
  for (std::size_t i = 0; i < report.phones.size(); ++i) rows.push_back(MakeFleetRow(report, i));
  // Band kNone (no figures) comes last within its verdict: nothing is known against it.
  auto key = [](const FleetRow& r) {
    return std::make_tuple(VerdictRank(r.verdict.outcome), BandRank(r.verdict.band),
                           r.figures ? r.worstMos : 0.0, -r.lossPercent);
  };
  std::stable_sort(rows.begin(), rows.end(),
                   [&key](const FleetRow& a, const FleetRow& b) { return key(a) < key(b); });
  return rows;
}

std::string HtmlText(std::string_view bytes) {
  const std::string text = Utf8OrLatin1(bytes);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '"': out += "&quot;"; continue;
      case '\'': out += "&#39;"; continue;
      default: break;
    }
    const bool c0 = (c < 0x20 && c != '\t') || c == 0x7F;
    // U+0080..U+009F are 0xC2 0x80..0x9F in UTF-8.
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c0 || c1) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      if (c1) ++i;
      continue;
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::string ScriptSafeJson(const OrderedJson& document) {
  const std::string text = document.dump();
  std::string out;
  out.reserve(text.size());
  // These characters occur in the dump only inside strings, where \u escapes mean the same.
  for (char c : text) {
    switch (c) {
      case '<': out += "\\u003c"; break;
      case '>': out += "\\u003e"; break;
      case '&': out += "\\u0026"; break;
      default: out += c;
    }
  }
  return out;
}

std::string_view ChartJsSource() {
  static const std::string source = [] {
    std::string s;
    for (std::size_t i = 0; i < kChartJsPartCount; ++i) s += kChartJsParts[i];
    return s;
  }();
  return source;
}

std::string FormatSiteReport(const RunReport& r, std::string_view version) {
  const std::vector<FleetRow> rows = FleetRows(r);
  std::string h = kHead;
  h += kStyle;
  Header(h, r, rows, version);
  FleetTable(h, r, rows);
  for (const FleetRow& row : rows) {
    if (!r.phones[row.phone].cycles.empty()) PhoneSection(h, r, row);
  }
  h += kHowToRead;
  h += "<section id=\"licence\">\n<h2>Software in this file</h2>\n<p>The charts are drawn by "
       "Chart.js, carried inline in this file under its licence:</p>\n<pre class=\"licence\">";
  h += HtmlText(kChartJsLicence);
  h += "</pre>\n</section>\n";

  OrderedJson doc;
  doc["report"] = ReportJson(r);
  OrderedJson site;
  site["version"] = Utf8OrLatin1(version);
  OrderedJson ranges = OrderedJson::array();
  for (const std::string& range : r.ranges) ranges.push_back(Utf8OrLatin1(range));
  site["ranges"] = std::move(ranges);
  OrderedJson fleet = OrderedJson::array();
  for (const FleetRow& row : rows) fleet.push_back(RowJson(row));
  site["fleet"] = std::move(fleet);
  doc["siteReport"] = std::move(site);
  h += "<script type=\"application/json\" id=\"report-data\">" + ScriptSafeJson(doc) +
       "</script>\n";
  h += "<script>\n/* Chart.js 3, licence above and in its banner below. */\n";
  h += ChartJsSource();
  h += "\n</script>\n";
  h += kChartScript;
  h += "</body>\n</html>\n";
  return h;
}

}  // namespace pathmon
