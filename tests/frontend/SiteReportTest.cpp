// SPDX-License-Identifier: Apache-2.0
// The site report's own logic: phones' texts as HTML, the page's embedded data, and the fleet
// table's worst-first order and bands.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "frontend/FakeFleet.h"
#include "frontend/SaveReportPresenter.h"
#include "frontend/SiteReport.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"

namespace pathmon {
namespace {

TEST(SiteReport, PhoneTextsAreTextInHtml) {
  const struct {
    const char* bytes;
    const char* html;
  } cases[] = {
      {"alice", "alice"},
      {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"a&b\"c", "a&amp;b&quot;c"},
      {"&amp;", "&amp;amp;"},
      {"tab\there", "tab\there"},
      {"\x1b[2J\r\n\x7f", "\xef\xbf\xbd[2J\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // C0, DEL
      {"caf\xe9", "caf\xc3\xa9"},                          // a Latin-1 byte
      {"\xc2\x85 \x9b", "\xef\xbf\xbd \xef\xbf\xbd"},      // C1, as UTF-8 and as a byte
      {"\xc2\xa0\xe6\x97\xa5", "\xc2\xa0\xe6\x97\xa5"},    // U+00A0 and a CJK character stay
  };
  for (const auto& c : cases) EXPECT_EQ(HtmlText(c.bytes), c.html) << c.bytes;
}

TEST(SiteReport, AHostileUserNameStaysInsideItsTextAndData) {
  RunReport r;
  PhoneReport p;
  const std::string name = "</script><script>alert(1)</script><!--";
  std::snprintf(p.entry.userName, sizeof p.entry.userName, "%s", name.c_str());
  std::snprintf(p.entry.serialNumber, sizeof p.entry.serialNumber, "SN\"'<>&");
  p.selected = true;
  p.stage = TestStage::kEnded;
  p.endReason = TestEnd::kDuration;
  CycleRecord c;
  c.voice.loss.sent = 3000;
  c.voice.worstWindowMos = 4.4;
  p.cycles.push_back(c);
  p.site = r.site = name;  // a sites file's names are anyone's text too
  r.phones.push_back(p);
  const std::string page = FormatSiteReport(r, "9.9</script>");
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("SN\"'<>&"), std::string::npos);
  // Only the page's own script elements close.
  std::size_t closes = 0;
  for (std::size_t at = page.find("</script>"); at != std::string::npos;
       at = page.find("</script>", at + 1)) {
    ++closes;
  }
  EXPECT_EQ(closes, 4u);
  const std::string open = "<script type=\"application/json\" id=\"report-data\">";
  const std::size_t begin = page.find(open) + open.size();
  ASSERT_GT(begin, open.size());
  const auto data = nlohmann::json::parse(page.substr(begin, page.find("</script>", begin) - begin));
  EXPECT_EQ(data["report"], nlohmann::json::parse(FormatReport(r)));
  EXPECT_EQ(data["report"]["phones"][0]["userName"], name);
  EXPECT_EQ(data["siteReport"]["version"], "9.9</script>");
}

struct Phone {
  const char* serial;
  std::string outcome;  // its test's end, as the outcome it gives
  std::optional<double> worstMos;  // none: no cycle
  double lossPercent = 0;
  bool hostLimited = false;
};

RunReport Fleet(const std::vector<Phone>& phones) {
  RunReport r;
  for (const Phone& phone : phones) {
    PhoneReport p;
    std::snprintf(p.entry.serialNumber, sizeof p.entry.serialNumber, "%s", phone.serial);
    p.selected = true;
    p.stage = phone.outcome == "not-tested"     ? TestStage::kNotTested
              : phone.outcome == "start-failed" ? TestStage::kStartFailed
                                                : TestStage::kEnded;
    p.endReason = phone.outcome == "incomplete" ? TestEnd::kPhoneEnded : TestEnd::kDuration;
    if (phone.worstMos) {
      CycleRecord c;
      c.stats.sent = 3000;
      c.stats.received = 3000;
      c.stats.avgRtt = phone.outcome == "unusable" ? 200 : 20;
      c.voice.loss.sent = 3000;
      c.voice.loss.lost = static_cast<int32_t>(phone.lossPercent * 30);
      c.voice.worstWindowMos = *phone.worstMos;
      c.voice.sender.hostLimited = phone.hostLimited;
      p.cycles.push_back(c);
    }
    r.phones.push_back(p);
  }
  return r;
}

TEST(SiteReport, FleetRowsWorstFirst) {
  const struct {
    const char* name;
    std::vector<Phone> phones;
    std::vector<std::string> order;  // serial:band
  } cases[] = {
      {"the verdict first, whatever the figures",
       {{"U", "usable", 4.4}, {"N", "unusable", 4.3}, {"I", "incomplete", 4.4},
        {"T", "not-tested", std::nullopt}, {"F", "start-failed", std::nullopt},
        {"R", "no-result", std::nullopt}},
       {"N:red", "R:amber", "I:amber", "U:green", "T:none", "F:none"}},
      {"then amber before green, the lowest window first",
       {{"G", "usable", 4.4}, {"A1", "usable", 3.4}, {"R", "usable", 2.0},
        {"H", "usable", 4.2, 0, true}, {"A2", "usable", 3.5}, {"B", "usable", 3.1}},
       {"R:amber", "B:amber", "A1:amber", "A2:amber", "H:amber", "G:green"}},
      {"then the most loss; alike, the report's order",
       {{"X", "usable", 4.4, 0}, {"Y", "usable", 4.4, 1}, {"Z", "usable", 4.4, 0}},
       {"Y:green", "X:green", "Z:green"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunReport report = Fleet(c.phones);
    std::vector<std::string> order;
    for (const FleetRow& row : FleetRows(report)) {
      order.push_back(std::string(report.phones[row.phone].entry.serialNumber) + ":" +
                      BandName(row.verdict.band));
    }
    EXPECT_EQ(order, c.order);
  }
}

TEST(SiteReport, WhatTheColourSaysIsSaidInWords) {
  const RunReport r = Fleet({{"R", "usable", 2.0}, {"T", "not-tested", std::nullopt}});
  EXPECT_NE(FormatSiteReport(r, "1").find("<strong>usable</strong>, but a 10-second window "
                                          "scored 2.00 (bad)"),
            std::string::npos);
  EXPECT_EQ(MakeFleetRow(r, 1).verdict.Summary(),
            "not tested: the run was interrupted before its test began");

  RunReport sites = r;  // a sites file's sites of 2 and 5 minutes
  sites.durationMinutes = 5;
  sites.shortestMinutes = 2;
  EXPECT_NE(FormatSiteReport(sites, "1").find("2 to 5 min each"), std::string::npos);
}

TEST(SiteReport, AGapLastsItsFramesAtTheCyclesIntervalAndTheLicenceKeepsItsLines) {
  RunReport r = Fleet({{"S", "usable", 4.4}});
  CycleRecord& c = r.phones[0].cycles[0];
  c.voice.intervalNs = 40'000'000;
  InterruptionSpan span;
  span.firstSequence = 100;
  span.lost = 25;
  span.count = 1;
  c.voice.interruptions.push_back(span);
  const std::string page = FormatSiteReport(r, "1");
  EXPECT_NE(page.find("<td>100</td><td>25</td><td>1.00</td>"), std::string::npos);
  // Plain texts everywhere: no character had to be replaced, the licence's line breaks kept.
  EXPECT_EQ(page.find("\xef\xbf\xbd"), std::string::npos);
}

class FakeSaveView final : public SaveReportView {
 public:
  std::string AskReportPath(const std::string& suggested) override {
    offered = suggested;
    return answer;
  }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  std::string answer, offered;
  std::vector<std::string> messages;
};

TEST(SaveReport, TheSessionSoFarWithEachPhonesStateInWords) {
  testing::FakeClock clock;
  testing::FakeFleet fleet{clock};
  for (const char* serial : {"SNA", "SNB", "SNC"}) fleet.Add("127.0.0.1", serial);
  fleet.StartDiscovery("0.0.0.0", "255.255.255.255");
  fleet.CreateLoopTestsForPhones();
  ProgramSettings settings;
  FakeSaveView view;
  SaveReportPresenter presenter(view, fleet, settings, [&clock] { return clock.WallSeconds(); });
  fleet.StartLoopTest(60, kTestIntervalMs, ::inet_addr("127.0.0.1"), fleet.Get("SNA").test.get());
  clock.AdvanceMs(61'000);
  fleet.Snapshot(*fleet.Get("SNA").test);  // its test ends with its cycle result
  fleet.StartLoopTest(60, kTestIntervalMs, ::inet_addr("127.0.0.1"), fleet.Get("SNB").test.get());

  view.answer = "";  // cancelled: nothing written, nothing said
  presenter.OnSaveReport();
  EXPECT_EQ(view.offered.rfind("pathmon-report-", 0), 0u) << view.offered;
  EXPECT_TRUE(view.messages.empty());

  const testing::TempDir dir("save-report");
  view.answer = dir.File("none/report.html");
  presenter.OnSaveReport();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].rfind("cannot write " + view.answer, 0), 0u) << view.messages[0];

  view.answer = dir.File("report.html");
  presenter.OnSaveReport();
  EXPECT_EQ(view.messages.size(), 1u);
  const std::string text = testing::ReadFile(view.answer);
  const std::string open = "<script type=\"application/json\" id=\"report-data\">";
  const std::size_t begin = text.find(open);
  ASSERT_NE(begin, std::string::npos);
  const auto data = nlohmann::json::parse(
      text.substr(begin + open.size(), text.find("</script>", begin) - begin - open.size()));
  std::vector<std::string> rows;
  for (const auto& row : data["siteReport"]["fleet"]) {
    rows.push_back(data["report"]["phones"][row["phone"].get<std::size_t>()]["serialNumber"]
                       .get<std::string>() +
                   ": " + row["verdict"].get<std::string>() + ", " +
                   row["reason"].get<std::string>());
  }
  EXPECT_EQ(rows, (std::vector<std::string>{
                      "SNB: incomplete, still running when the report was made",
                      "SNA: usable, ", "SNC: not tested, not started in this session"}));
  EXPECT_EQ(data["report"]["phones"][0]["cycles"].size(), 1u);
}

}  // namespace
}  // namespace pathmon
