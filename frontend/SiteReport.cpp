// SPDX-License-Identifier: Apache-2.0
#include "frontend/SiteReport.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <tuple>

#include "frontend/Figures.h"
#include "frontend/SharedInterruptionText.h"
#include "transport/Dscp.h"

namespace pathmon {

// Built in from frontend/report/ and Debian's libjs-chart.js (frontend/CMakeLists.txt).
extern const char* const kReportHtmlParts[];
extern const std::size_t kReportHtmlPartCount;
extern const char* const kReportCssParts[];
extern const std::size_t kReportCssPartCount;
extern const char* const kReportJsParts[];
extern const std::size_t kReportJsPartCount;
extern const char* const kChartJsParts[];
extern const std::size_t kChartJsPartCount;

namespace {

using fmt::arg;

std::string Joined(const char* const parts[], std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += parts[i];
  return text;
}

// The page's parts by name (frontend/report/report.html says how they are marked).
const std::map<std::string, std::string, std::less<>>& PageParts() {
  static const auto parts = [] {
    constexpr std::string_view kMarker = "<!--part ";
    const std::string page = Joined(kReportHtmlParts, kReportHtmlPartCount);
    std::map<std::string, std::string, std::less<>> named;
    for (std::size_t at = page.find(kMarker); at != std::string::npos;) {
      const std::size_t nameEnd = page.find("-->", at);
      const std::size_t begin = nameEnd + 3;
      std::string name = page.substr(at + kMarker.size(), nameEnd - at - kMarker.size());
      at = page.find(kMarker, begin);
      named[std::move(name)] = page.substr(begin, at == std::string::npos ? at : at - begin);
    }
    return named;
  }();
  return parts;
}

const std::string& Part(std::string_view name) {
  const auto& parts = PageParts();
  const auto it = parts.find(name);
  if (it == parts.end()) throw std::logic_error("report.html has no part " + std::string(name));
  return it->second;
}

// A part with its placeholders filled in.
template <typename... Args>
std::string Fill(std::string_view name, const Args&... args) {
  return fmt::format(fmt::runtime(Part(name)), args...);
}

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
  return cls ? Fill("cell-of", arg("class", cls), arg("text", text))
             : Fill("cell", arg("text", text));
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
  h += Fill("header", arg("started", (r.site.empty() ? "" : HtmlText(r.site) + " ") +
                                        ReadableTime(r.startedAt)));
  auto fact = [&h](const char* name, const std::string& value) {
    h += Fill("fact", arg("name", name), arg("value", value));
  };
  fact("Run", fmt::format("{} to {} ({})", ReadableTime(r.startedAt), ReadableTime(r.endedAt),
                          Lasting(std::max<int64_t>(0, r.endedAt - r.startedAt))) +
                  (r.interrupted ? Part("interrupted") : ""));
  if (!r.site.empty()) fact("Site", HtmlText(r.site));
  fact("Addresses", ranges.empty() ? "-" : ranges);
  fact("Phones", fmt::format("{} found, {} tested, {} usable", r.phones.size(), tested, usable));
  const std::string minutes =
      r.shortestMinutes > 0 && r.shortestMinutes < r.durationMinutes
          ? fmt::format("{} to {}", r.shortestMinutes, r.durationMinutes)
          : std::to_string(r.durationMinutes);
  fact("Tests", fmt::format("{} min each, at most {} at once", minutes, r.maxConcurrentTests));
  fact("Marking", r.dscp == 0 ? std::string("unmarked (DSCP 0)")
                               : "DSCP " + DscpText(r.dscp) +
                                     " on the control exchange and every test frame");
  fact("Rule", rule);
  fact("Program", "pathmon " + HtmlText(version));
  h += Part("header-end");
}

void FleetTable(std::string& h, const RunReport& r, const std::vector<FleetRow>& rows) {
  h += Part("fleet");
  for (const FleetRow& row : rows) {
    const PhoneReport& p = r.phones[row.phone];
    std::string name = PhoneName(p.entry);
    if (!p.cycles.empty()) name = Fill("link", arg("phone", row.phone), arg("text", name));
    const std::string words = OutcomeWords(row.verdict.outcome);
    const std::string verdict = Fill("strong", arg("text", words)) +
                                HtmlText(row.verdict.Summary().substr(words.size()));
    h += Fill("fleet-row", arg("band", BandName(row.verdict.band)), arg("phone", row.phone));
    h += Td(name, "text") + Td(HtmlText(p.entry.scannedAddress), "text") +
         Td(verdict, "text verdict");
    if (row.figures) {
      h += Td(Fixed(row.worstMos, 2), row.worstMos < kPoorMos ? "bad" : nullptr) +
           Td(std::to_string(row.poorWindows)) + Td(Fixed(row.lossPercent, 2)) +
           Td(Fixed(row.p95RttMs, 1)) + Td(Fixed(row.jitterMs, 2)) +
           Td(std::to_string(row.interruptions));
    } else {
      h += Part("no-figures");
    }
    h += Part("row-end");
  }
  h += Part("fleet-end");
}

void SitesTable(std::string& h, const std::vector<SiteVerdict>& sites) {
  h += Part("sites");
  for (const SiteVerdict& v : sites) {
    const Band band = v.tested == 0 ? Band::kNone : v.fit ? Band::kGreen : Band::kRed;
    h += Fill("site-row", arg("band", BandName(band)), arg("site", HtmlText(v.site)));
    h += Td(v.site.empty() ? "-" : HtmlText(v.site), "text") + Td(std::to_string(v.phones)) +
         Td(std::to_string(v.tested)) + Td(std::to_string(v.usable)) +
         Td(v.fit ? "yes" : Fill("strong", arg("text", "no")), "text verdict") +
         Td(v.worst.empty() ? "-" : HtmlText(v.worst), "text") + Td(HtmlText(v.reason), "text") +
         Part("row-end");
  }
  h += Part("sites-end");
}

// The phones the timeline gives a row: those tested, by site in the sites' order.
std::vector<std::size_t> TimelineRows(const RunReport& r, const std::vector<SiteVerdict>& sites) {
  std::vector<std::size_t> rows;
  for (const SiteVerdict& site : sites) {
    for (std::size_t i = 0; i < r.phones.size(); ++i) {
      if (r.phones[i].site == site.site && !r.phones[i].cycles.empty()) rows.push_back(i);
    }
  }
  return rows;
}

void SharedSection(std::string& h, const RunReport& r, std::size_t timelineRows) {
  h += Part("shared");
  if (r.shared.empty()) {
    h += Fill("shared-none", arg("why", timelineRows < 2
                                           ? "fewer than two phones were tested, so there was "
                                             "nothing to compare with"
                                           : "no phones lost frames together while others ran "
                                             "on"));
    return;
  }
  // A row of 24 pixels for each phone, and room for the axis and the legend.
  h += Fill("shared-chart", arg("height", 90 + 24 * timelineRows));
  for (const SharedInterruption& s : r.shared) {
    std::string phones;
    for (const SharedInterruptionPhone& p : s.phones) {
      phones += (phones.empty() ? "" : ", ") + HtmlText(p.serialNumber);
    }
    h += Part("row") + Td(ReadableTime(s.startWallNs / 1'000'000'000), "text") +
         Td(Fixed(SharedInterruptionSeconds(s), 1)) +
         Td(InterruptionScopeName(s.scope), "text") +
         Td(HtmlText(SharedInterruptionSentence(s)), "text") + Td(phones, "text") +
         Td(std::to_string(s.lost)) + Part("row-end");
  }
  h += Part("shared-end");
}

// What the timeline chart draws, in milliseconds since 1970: each row's spans (first lost
// frame's send to the last one's plus a frame) and each shared interruption with its rows.
OrderedJson TimelineJson(const RunReport& r, const std::vector<std::size_t>& rows) {
  constexpr int64_t kNsPerMs = 1'000'000;
  OrderedJson phones = OrderedJson::array();
  for (std::size_t i : rows) {
    const PhoneReport& p = r.phones[i];
    OrderedJson spans = OrderedJson::array();
    for (const CycleRecord& c : p.cycles) {
      for (const InterruptionSpan& s : c.voice.interruptions) {
        spans.push_back(
            {s.timeWallNs / kNsPerMs, (s.lastTimeWallNs + c.voice.intervalNs) / kNsPerMs});
      }
    }
    phones.push_back({{"phone", i},
                      {"name", Utf8OrLatin1(std::string(p.entry.userName) + ":" +
                                            p.entry.serialNumber)},
                      {"spans", std::move(spans)}});
  }
  OrderedJson groups = OrderedJson::array();
  for (const SharedInterruption& s : r.shared) {
    OrderedJson at = OrderedJson::array();
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const std::string serial = r.phones[rows[k]].entry.serialNumber;
      for (const SharedInterruptionPhone& p : s.phones) {
        if (p.serialNumber == serial) at.push_back(k);
      }
    }
    groups.push_back({{"startMs", s.startWallNs / kNsPerMs},
                      {"endMs", s.endWallNs / kNsPerMs},
                      {"scope", InterruptionScopeName(s.scope)},
                      {"rows", std::move(at)}});
  }
  return {{"startMs", r.startedAt * 1000},
          {"endMs", r.endedAt * 1000},
          {"rows", std::move(phones)},
          {"shared", std::move(groups)}};
}

void PhoneSection(std::string& h, const RunReport& r, const FleetRow& row) {
  const PhoneReport& p = r.phones[row.phone];
  h += Fill("phone", arg("phone", row.phone), arg("name", PhoneName(p.entry)),
            arg("address", HtmlText(p.entry.scannedAddress)),
            arg("verdict", OutcomeWords(row.verdict.outcome)));
  if (!row.verdict.reason.empty()) h += Fill("reason", arg("reason", HtmlText(row.verdict.reason)));
  bool windows = false;
  for (const CycleRecord& c : p.cycles) windows = windows || !c.voice.windows.empty();
  if (windows) {
    h += Part("charts");
    for (const char* chart : {"rtt", "loss", "mos"}) {
      h += Fill("chart", arg("phone", row.phone), arg("chart", chart));
    }
    h += Part("charts-end");
  } else {
    h += Part("no-charts");
  }

  h += Part("interruptions");
  int spans = 0;
  std::string timeline;
  for (const CycleRecord& c : p.cycles) {
    for (const InterruptionSpan& s : c.voice.interruptions) {
      ++spans;
      const double seconds =
          static_cast<double>(s.lost) * static_cast<double>(c.voice.intervalNs) / 1e9;
      timeline += Part("row") + Td(ReadableTime(RoundedWallSeconds(s.timeWallNs)), "text") +
                  Td(std::to_string(s.firstSequence)) + Td(std::to_string(s.lost)) +
                  Td(Fixed(seconds, 2)) + Td(std::to_string(s.count)) + Part("row-end");
    }
  }
  if (spans == 0) {
    h += Part("no-interruptions");
  } else {
    h += Fill("timeline", arg("rows", timeline));
  }

  h += Part("cycles");
  for (const Figure& f : kFigures) {
    if (f.column) h += Fill("heading", arg("text", f.header));
  }
  for (const VoiceFigure& f : kVoiceFigures) h += Fill("heading", arg("text", f.header));
  h += Part("cycles-body");
  for (const CycleRecord& c : p.cycles) {
    h += Part("row") + Td(ReadableTime(c.wallSeconds), "text");
    for (const Figure& f : kFigures) {
      if (f.column) h += Td(std::to_string(f.get(c.stats)));
    }
    for (const VoiceFigure& f : kVoiceFigures) h += Td(VoiceFigureText(f, c.voice));
    h += Td(CycleUsable(c, r.minMos) ? "yes" : Fill("strong", arg("text", "no")), "text") +
         Part("row-end");
  }
  h += Part("cycles-end");

  if (windows) {
    h += Part("windows");
    for (const CycleRecord& c : p.cycles) {
      for (const WindowQuality& w : c.voice.windows) {
        h += Part("row") + Td(ReadableTime(RoundedWallSeconds(w.timeWallNs)), "text") +
             Td(std::to_string(w.firstSequence)) + Td(std::to_string(w.frames)) +
             Td(std::to_string(w.loss.lost)) + Td(Fixed(w.loss.lossPercent, 2)) +
             Td(Fixed(w.p50Us / 1000, 1)) + Td(Fixed(w.p95Us / 1000, 1)) +
             Td(Fixed(w.score.mos, 2), w.score.mos < kPoorMos ? "bad" : nullptr) +
             Part("row-end");
      }
    }
    h += Part("windows-end");
  }
  h += Part("phone-end");
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
  static const std::string source = Joined(kChartJsParts, kChartJsPartCount);
  return source;
}

std::string FormatSiteReport(const RunReport& r, std::string_view version) {
  const std::vector<FleetRow> rows = FleetRows(r);
  std::string h = Part("head");
  h += Fill("style", arg("css", Joined(kReportCssParts, kReportCssPartCount)));
  Header(h, r, rows, version);
  const std::vector<SiteVerdict> sites = JudgeSites(r);
  const std::vector<std::size_t> timeline = TimelineRows(r, sites);
  SitesTable(h, sites);
  FleetTable(h, r, rows);
  SharedSection(h, r, timeline.size());
  for (const FleetRow& row : rows) {
    if (!r.phones[row.phone].cycles.empty()) PhoneSection(h, r, row);
  }
  h += Part("how-to-read");
  h += Part("licence");

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
  site["timeline"] = TimelineJson(r, timeline);
  doc["siteReport"] = std::move(site);
  h += Fill("data", arg("json", ScriptSafeJson(doc)));
  h += Fill("chartjs", arg("chartjs", ChartJsSource()));
  h += Fill("charts-script", arg("js", Joined(kReportJsParts, kReportJsPartCount)));
  h += Part("end");
  return h;
}

}  // namespace pathmon
