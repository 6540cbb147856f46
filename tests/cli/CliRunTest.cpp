// SPDX-License-Identifier: Apache-2.0
// pathmon-cli end to end: three runs at once against simulated phones, one of clean phones
// (exit 0), one with a phone whose echoes come 200 ms late (exit 1), each checked through
// its table, its history files, its logs and its JSON report, and one of phones that fail
// in ways the figures must still show (exit 1).

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>

#include "JsonValue.h"
#include "TextSplit.h"
#include "support/ChildProcess.h"
#include "support/SimProcess.h"

namespace pathmon::testing {
namespace {

constexpr int kRunLimitMs = 150000;  // a 1-minute test, its start, the scan and the stop


const std::string kHeader =
    "USER\\s+SN\\s+PATHMON\\s+SENT\\s+RCVD\\s+LOST\\s+INTERRUPTIONS\\s+AVG RTT\\s+"
    "MAXBURSTLOST\\s+DELAYED\\s+RTT\\s+MAX RTT";

// The table rows of a phone, in the order they were drawn.
std::vector<std::vector<std::string>> RowsOf(const std::string& out, const std::string& serial) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : Lines(out)) {
    std::vector<std::string> w = Words(line);
    if (w.size() == 16 && w[1] == serial) rows.push_back(w);
  }
  return rows;
}

// The figures of a history line, by name; empty when the line is not one.
std::map<std::string, int> HistoryFigures(const std::string& line) {
  static const std::regex form(
      "\\d{2}:\\d{2}:\\d{4} \\d{2}:\\d{2}:\\d{2} <PATHMON>INTERRUPTIONS:([ \\d-]{3,}) "
      "MAXBURSTLOST:([ \\d-]{5,}) SEND:([ \\d-]{5,}) LOST:([ \\d-]{5,}) DELAYED:([ \\d-]{5,}) "
      "AVGRTT:([ \\d-]{5,}) MAXRTT:([ \\d-]{5,})");
  std::smatch m;
  if (!std::regex_match(line, m, form)) return {};
  const char* names[] = {"interruptions", "maxBurstLost", "sent", "lost",
                         "delayed",       "avgRtt",       "maxRtt"};
  std::map<std::string, int> figures;
  for (int i = 0; i < 7; ++i) figures[names[i]] = std::stoi(m[i + 1].str());
  return figures;
}

// Checks one tested phone across table, history file and report; returns its report entry.
JsonValue CheckPhone(const TempDir& dir, const std::string& out, JsonValue report,
                     const std::string& serial, const std::string& historyName) {
  SCOPED_TRACE(serial);
  // The output is no terminal: the test's events as they came, and the table once, at the end.
  EXPECT_NE(out.find(":" + serial + "  test started\n"), std::string::npos);
  EXPECT_NE(out.find(":" + serial + "  test finished: duration\n"), std::string::npos);
  std::vector<std::vector<std::string>> rows = RowsOf(out, serial);
  EXPECT_EQ(rows.size(), 1u);
  for (const auto& row : rows) {
    for (int c = 3; c < 12; ++c) EXPECT_TRUE(std::regex_match(row[c], std::regex("-?\\d+")));
    // The voice figures: none before the first frame, then with their decimals.
    for (int c = 12; c < 16; ++c) {
      EXPECT_TRUE(std::regex_match(row[c], std::regex("-|\\d+\\.\\d{1,2}"))) << row[c];
    }
  }
  if (!rows.empty()) {
    EXPECT_EQ(rows.back()[2], "Stopped");
  }

  std::string history = ReadFile(dir.File(historyName));
  EXPECT_EQ(history.size() > 2 ? history.substr(history.size() - 2) : "", "\r\n");
  std::vector<std::string> lines = Lines(history);
  EXPECT_EQ(lines.size(), 1u) << history;  // one minute: one cycle, one line
  std::map<std::string, int> figures;
  if (!lines.empty()) figures = HistoryFigures(lines[0].substr(0, lines[0].size() - 1));
  EXPECT_FALSE(figures.empty()) << history;

  JsonValue phone;
  for (JsonValue p : report["phones"]) {
    if (p["serialNumber"].get<std::string>() == serial) phone = p;
  }
  EXPECT_EQ(phone["historyFile"].get<std::string>(), historyName);
  EXPECT_TRUE(phone["selected"].get<bool>());
  EXPECT_EQ(phone["state"].get<std::string>(), "finished");
  EXPECT_EQ(phone["cycles"].size(), 1u);
  JsonValue cycle = phone["cycles"][0];
  // The report's cycle is the history line's cycle.
  for (const auto& [name, value] : figures) EXPECT_EQ(cycle[name].get<double>(), value) << name;
  EXPECT_GE(cycle["sent"].get<double>(), 2900);  // 50 frames a second for a minute
  EXPECT_GT(cycle["received"].get<double>(), 2800);
  return phone;
}

TEST(CliRun, CleanPhonesPassAndALatePhoneFails) {
  SimProcess sim({"--phone", "127.60.1.1 serial=SN11 user=alice community=lab",
                  "--phone", "127.60.1.2 serial=SN12 user=CORP\\\\carol community=lab",
                  "--phone", "127.60.2.1 serial=SN21 user=dave community=lab",
                  "--phone", "127.60.2.2 serial=SN22 user=erin delay=200 community=lab",
                  // The path dies 20 s in; every echo twice plus one numbered 0xFFFFFFF0; the
                  // phone ends the test on the first frame without echoing it.
                  "--phone", "127.60.5.1 serial=SN51 user=fred dead-from=1000 community=lab",
                  "--phone", "127.60.5.2 serial=SN52 user=gina duplicate stray-seq=4294967280 community=lab",
                  "--phone", "127.60.5.3 serial=SN53 user=hugo dead-from=0 offhook-after=0 community=lab"});
  ASSERT_TRUE(sim.Ok());
  TempDir clean, mixed;
  ChildProcess a(Cli({"--range", "127.60.1.1-127.60.1.2", "--community", "lab", "--duration", "1",
                      "--json", "report.json"}),
                 clean.Path());
  ChildProcess b(Cli({"--address", "127.60.2.1", "--address", "127.60.2.2", "--community", "lab",
                      "--duration", "1", "--json", "report.json", "--log"}),
                 mixed.Path());
  TempDir failing;
  ChildProcess c(Cli({"--range", "127.60.5.1-127.60.5.3", "--community", "lab", "--duration", "1",
                      "--json", "report.json", "--jsonl", "events.jsonl"}),
                 failing.Path());
  int statusA = a.Wait(kRunLimitMs);
  int statusB = b.Wait(kRunLimitMs);
  int statusC = c.Wait(kRunLimitMs);
  auto counters = sim.Stop();
  EXPECT_EQ(statusA, 0) << a.Stderr();
  EXPECT_EQ(statusB, 1) << b.Stderr();
  EXPECT_EQ(a.Stderr(), "");
  EXPECT_EQ(b.Stderr(), "");

  for (const std::string& out : {a.Stdout(), b.Stdout()}) {
    EXPECT_TRUE(std::regex_search(out, std::regex(kHeader))) << out.substr(0, 2000);
    EXPECT_EQ(out.find("Remaining: "), std::string::npos);  // the live table's footer
  }

  JsonValue reportA, reportB;
  std::string error;
  ASSERT_TRUE(ParseJson(ReadFile(clean.File("report.json")), reportA, error)) << error;
  ASSERT_TRUE(ParseJson(ReadFile(mixed.File("report.json")), reportB, error)) << error;
  EXPECT_EQ(reportA["schema"].get<double>(), 3);
  EXPECT_EQ(reportA["exitStatus"].get<double>(), 0);
  EXPECT_EQ(reportB["exitStatus"].get<double>(), 1);
  EXPECT_EQ(reportA["phones"].size(), 2u);
  EXPECT_EQ(reportB["phones"].size(), 2u);

  JsonValue alice = CheckPhone(clean, a.Stdout(), reportA, "SN11", "alice_SN11.txt");
  JsonValue carol = CheckPhone(clean, a.Stdout(), reportA, "SN12", "CORP_carol_SN12.txt");
  JsonValue dave = CheckPhone(mixed, b.Stdout(), reportB, "SN21", "dave_SN21.txt");
  JsonValue erin = CheckPhone(mixed, b.Stdout(), reportB, "SN22", "erin_SN22.txt");
  EXPECT_EQ(carol["userName"].get<std::string>(), "CORP\\carol");
  EXPECT_EQ(alice["scannedAddress"].get<std::string>(), "127.60.1.1");
  EXPECT_EQ(alice["identityKey"].get<std::string>(), "ID060001001");
  for (JsonValue* p : {&alice, &carol, &dave}) {
    EXPECT_EQ((*p)["outcome"].get<std::string>(), "usable");
    EXPECT_LT((*p)["cycles"][0]["avgRtt"].get<double>(), 150);
    EXPECT_TRUE((*p)["cycles"][0]["usable"].get<bool>());
  }
  EXPECT_EQ(erin["outcome"].get<std::string>(), "unusable");
  EXPECT_GE(erin["cycles"][0]["avgRtt"].get<double>(), 200);
  EXPECT_FALSE(erin["cycles"][0]["usable"].get<bool>());

  // --log: the files are fetched and named, not opened.
  EXPECT_EQ(erin["logFile"].get<std::string>(), "erin_SN22_log.txt");
  EXPECT_TRUE(alice["logFile"].is_null());
  EXPECT_NE(b.Stdout().find("Log file: erin_SN22_log.txt\n"), std::string::npos);
  EXPECT_NE(ReadFile(mixed.File("dave_SN21_log.txt")).find("001 "), std::string::npos);
  EXPECT_EQ(clean.Names(),
            (std::vector<std::string>{".stderr", ".stdout", "CORP_carol_SN12.txt",
                                      "CORP_carol_SN12.voice.jsonl", "alice_SN11.txt",
                                      "alice_SN11.voice.jsonl", "report.json"}));

  // The failing phones.
  EXPECT_EQ(statusC, 1) << c.Stderr();
  JsonValue reportC;
  ASSERT_TRUE(ParseJson(ReadFile(failing.File("report.json")), reportC, error)) << error;
  std::map<std::string, JsonValue> byName;
  for (JsonValue p : reportC["phones"]) byName[p["serialNumber"].get<std::string>()] = p;
  // Frames after the 1000th never came back: all lost (the test waits the 200 ms grace for
  // the last echoes before its result, so no frame is still inside it).
  JsonValue dead = byName["SN51"]["cycles"][0];
  EXPECT_GE(dead["lost"].get<double>(), dead["sent"].get<double>() - 1000);
  EXPECT_GT(dead["interruptions"].get<double>(), 10);
  EXPECT_FALSE(dead["usable"].get<bool>());
  EXPECT_EQ(byName["SN51"]["outcome"].get<std::string>(), "unusable");
  EXPECT_EQ(byName["SN51"]["endReason"].get<std::string>(), "duration");
  // Repeats and the stray change no figure; they are counted apart.
  JsonValue twice = byName["SN52"]["cycles"][0];
  EXPECT_EQ(twice["lost"].get<double>(), 0);
  EXPECT_LE(twice["received"].get<double>(), twice["sent"].get<double>());
  EXPECT_GE(twice["strayEchoes"].get<double>(), twice["received"].get<double>());
  EXPECT_EQ(byName["SN52"]["outcome"].get<std::string>(), "usable");
  EXPECT_EQ(byName["SN53"]["endReason"].get<std::string>(), "phone-ended");
  EXPECT_EQ(byName["SN53"]["cycles"][0]["received"].get<double>(), 0);
  EXPECT_EQ(byName["SN53"]["outcome"].get<std::string>(), "unusable");
  EXPECT_NE(c.Stdout().find("hugo:SN53  unusable, the phone ended the test"), std::string::npos)
      << c.Stdout();
  EXPECT_EQ(counters["127.60.5.2"].extraEchoes, counters["127.60.5.2"].framesEchoed + 1);

  // The event stream: every line an object of its own; its cycles are the report's.
  const nlohmann::json report = nlohmann::json::parse(ReadFile(failing.File("report.json")));
  std::istringstream lines(ReadFile(failing.File("events.jsonl")));
  std::map<std::string, int> cycles, types;
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json event = nlohmann::json::parse(line);
    ++types[event["type"].get<std::string>()];
    if (event["type"] != "cycle") continue;
    const std::string serial = event["serialNumber"];
    for (const char* key : {"type", "site", "serialNumber", "userName", "address"}) {
      event.erase(key);
    }
    for (const nlohmann::json& phone : report["phones"]) {
      if (phone["serialNumber"] != serial) continue;
      ASSERT_LT(cycles[serial], static_cast<int>(phone["cycles"].size())) << serial;
      EXPECT_EQ(event, phone["cycles"][static_cast<std::size_t>(cycles[serial]++)]) << serial;
    }
  }
  EXPECT_EQ(cycles, (std::map<std::string, int>{{"SN51", 1}, {"SN52", 1}, {"SN53", 1}}));
  EXPECT_EQ(types["test-started"], 3);
  EXPECT_EQ(types["test-finished"], 3);
  EXPECT_EQ(types["scan-finished"], 1);
  EXPECT_EQ(types["run-end"], 1);

  for (const char* address : {"127.60.1.1", "127.60.1.2", "127.60.2.1", "127.60.2.2"}) {
    SCOPED_TRACE(address);
    EXPECT_EQ(counters[address].controlMessages, 1);
    EXPECT_EQ(counters[address].badSignature, 0);
    EXPECT_GE(counters[address].framesReceived, 2900);
  }
}

}  // namespace
}  // namespace pathmon::testing
