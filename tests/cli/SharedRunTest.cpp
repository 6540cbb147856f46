// SPDX-License-Identifier: Apache-2.0
// Where the fault lies, end to end: four simulated phones in two /24 networks lose frames
// together three times (the first network's two phones, then all four, then one phone of the
// second network), and pathmon-cli must name exactly three interruptions seen together, of
// scopes site, everywhere and phone, alike in its JSON report, its event stream, its summary,
// its site report and its metrics. The run is cut short by SIGINT once the last outage is over
// and decided: a test lasts at least a minute, the outages need 15 s.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "JsonValue.h"
#include "support/ChildProcess.h"
#include "support/SimProcess.h"

namespace pathmon::testing {
namespace {

constexpr int kRunLimitMs = 60000;
// Seconds after the first test frame: the outages end at 15 s, their spans close about a
// second later and are decided 2 s after that.
constexpr int kInterruptAfterSeconds = 19;

TEST(SharedInterruptions, ThreeOutagesGiveThreeScopesInEveryView) {
  SimProcess sim({"--phone", "127.94.1.1 serial=FL941001 community=lab outage=4-6,9-11",
                  "--phone", "127.94.1.2 serial=FL941002 community=lab outage=4-6,9-11",
                  "--phone", "127.94.2.1 serial=FL942001 community=lab outage=9-11,14-15",
                  "--phone", "127.94.2.2 serial=FL942002 community=lab outage=9-11"});
  ASSERT_TRUE(sim.Ok());
  TempDir dir;
  ChildProcess cli(Cli({"--range", "127.94.1.1-127.94.1.2", "--range", "127.94.2.1-127.94.2.2",
                        "--community", "lab", "--duration", "1", "--site", "lab", "--json",
                        "report.json", "--jsonl", "events.jsonl", "--report", "report.html",
                        "--metrics-file", "run.prom"}),
                   dir.Path());
  for (int i = 0; i < 300 && ReadFile(dir.File("events.jsonl")).find("test-started") ==
                                 std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::seconds(kInterruptAfterSeconds));
  cli.Signal(SIGINT);
  ASSERT_EQ(cli.Wait(kRunLimitMs), 130) << cli.Stderr();
  sim.Stop();

  const JsonValue report = JsonValue::parse(ReadFile(dir.File("report.json")));
  EXPECT_EQ(report["site"], "lab");
  const JsonValue& shared = report["sharedInterruptions"];
  const JsonValue expected[] = {
      {{"scope", "site"}, {"site", "127.94.1.0/24"}, {"sites", {"127.94.1.0/24"}},
       {"phones", {"FL941001", "FL941002"}}},
      {{"scope", "everywhere"}, {"site", nullptr}, {"sites", {"127.94.1.0/24", "127.94.2.0/24"}},
       {"phones", {"FL941001", "FL941002", "FL942001", "FL942002"}}},
      {{"scope", "phone"}, {"site", nullptr}, {"sites", {"127.94.2.0/24"}},
       {"phones", {"FL942001"}}}};
  ASSERT_EQ(shared.size(), 3u) << shared.dump();
  for (std::size_t i = 0; i < 3; ++i) {
    for (const auto& [key, value] : expected[i].items()) EXPECT_EQ(shared[i][key], value) << i;
  }
  // The first site lost frames on its own; the second is fit only if its phones are usable
  // (cut short, they are incomplete).
  const JsonValue& sites = report["sites"];
  ASSERT_EQ(sites.size(), 2u) << sites.dump();
  EXPECT_EQ(sites[0]["site"], "127.94.1.0/24");
  EXPECT_FALSE(sites[0]["fit"].get<bool>());
  EXPECT_NE(sites[0]["reason"].get<std::string>().find("together"), std::string::npos);
  EXPECT_EQ(sites[1]["site"], "127.94.2.0/24");
  EXPECT_EQ(sites[1]["fit"].get<bool>(), sites[1]["usable"] == sites[1]["tested"]);

  // The event stream: the same three, as they were decided.
  std::istringstream lines(ReadFile(dir.File("events.jsonl")));
  JsonValue streamed = JsonValue::array();
  for (std::string line; std::getline(lines, line);) {
    JsonValue event = JsonValue::parse(line);
    if (event["type"] != "shared-interruption") continue;
    event.erase("time");
    event.erase("type");
    streamed.push_back(event);
  }
  EXPECT_EQ(streamed, shared);

  // The summary: the sites, then the three in words.
  const std::string out = cli.Stdout();
  EXPECT_NE(out.find("  127.94.1.0/24  not fit for voice (2 phones, 2 tested, "), std::string::npos)
      << out;
  const std::string at = "\\n  \\d\\d:\\d\\d:\\d\\d  \\d+\\.\\d s  ";
  EXPECT_TRUE(std::regex_search(
      out, std::regex("Interruptions seen together:" + at +
                      "both phones at 127\\.94\\.1\\.0/24: that site's link" + at +
                      "every running phone at 2 sites: the probe's side or the head end" + at +
                      "FL942001 only: that phone or its access line\\n")))
      << out;

  // The site report: its Sites table and the three rows of its own section.
  const std::string page = ReadFile(dir.File("report.html"));
  EXPECT_NE(page.find("<tr class=\"band-red\" data-site=\"127.94.1.0/24\">"), std::string::npos);
  const std::size_t from = page.find("<section id=\"shared\">");
  ASSERT_NE(from, std::string::npos);
  const std::string section = page.substr(from, page.find("</section>", from) - from);
  const std::regex scope("<td class=\"text\">(phone|site|sites|everywhere)</td>");
  std::vector<std::string> scopes;
  for (auto it = std::sregex_iterator(section.begin(), section.end(), scope);
       it != std::sregex_iterator(); ++it) {
    scopes.push_back((*it)[1].str());
  }
  EXPECT_EQ(scopes, (std::vector<std::string>{"site", "everywhere", "phone"}));
  EXPECT_NE(section.find("data-chart=\"shared\""), std::string::npos);

  // The metrics: one of each scope, the site's under its name; none across some sites.
  const std::string metrics = ReadFile(dir.File("run.prom"));
  for (const char* series : {"{scope=\"site\",site=\"127.94.1.0/24\"} 1",
                             "{scope=\"everywhere\"} 1", "{scope=\"phone\"} 1",
                             "{scope=\"sites\"} 0"}) {
    EXPECT_NE(metrics.find(std::string("pathmon_shared_interruptions_total") + series + "\n"),
              std::string::npos)
        << series << '\n'
        << metrics;
  }
}

}  // namespace
}  // namespace pathmon::testing
