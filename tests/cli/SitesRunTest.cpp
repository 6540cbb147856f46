// SPDX-License-Identifier: Apache-2.0
// A sites file without --monitor is a one-off run of every site: its reports hold every
// site's phones with their sites, its summary each phone's verdict, also when Ctrl-C ends it;
// and an output a mode cannot honour is refused before anything is sent.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "JsonValue.h"
#include "support/ChildProcess.h"
#include "support/SimProcess.h"

namespace pathmon::testing {
namespace {

TEST(SitesRun, EveryOutputIsWrittenForEverySiteOrRefusedAtTheStart) {
  SimProcess sim({"--phone", "127.95.1.1 serial=FL951001 user=ann community=north", "--phone",
                  "127.95.2.1 serial=FL952001 user=bob community=south"});
  ASSERT_TRUE(sim.Ok());
  TempDir dir;
  std::ofstream sites(dir.File("sites.toml"));
  for (const std::string site : {"north", "south"}) {
    std::ofstream(dir.File(site)) << site << '\n';
    ::chmod(dir.File(site).c_str(), 0600);
    sites << "[[site]]\nname = \"" << site << "\"\ncommunity-file = \"" << site
          << "\"\naddresses = [\"127.95." << (site == "north" ? 1 : 2) << ".1\"]\n";
  }
  sites.close();
  // The options after the sites file, the exit status, a text of the summary or the refusal.
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"--json", "r.json", "--report", "r.html", "--jsonl", "e.jsonl"}, 130,
       "  ann:FL951001  incomplete, stopped before its duration (1 cycle"},
      {{"--monitor", "--json", "m.json"}, 2, "--json: a monitor run has no end to report"},
      {{"--monitor", "--report", "m.html"}, 2, "--report: a monitor run has no end to report"},
      {{"--monitor", "--log"}, 2, "--log: not together with --monitor"},
      {{"--json", "-", "--jsonl", "-"}, 2, "--jsonl: standard output already carries the JSON"},
      {{"--json", "r.json", "--jsonl", "./r.json"}, 2,
       "--jsonl: ./r.json is also the file of --json"},
  };
  for (const auto& [options, status, text] : cases) {
    std::vector<std::string> args = {"--sites", "sites.toml", "--duration", "1", "-q"};
    args.insert(args.end(), options.begin(), options.end());
    ChildProcess cli(Cli(args), dir.Path());
    if (status == 130) {  // Ctrl-C once both tests run
      for (int i = 0; i < 300; ++i) {
        const std::string events = ReadFile(dir.File("e.jsonl"));
        if (events.find("test-started") != events.rfind("test-started")) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
      cli.Signal(SIGINT);
    }
    ASSERT_EQ(cli.Wait(60000), status) << cli.Stderr();
    EXPECT_NE((status == 2 ? cli.Stderr() : cli.Stdout()).find(text), std::string::npos)
        << cli.Stdout() << cli.Stderr();
  }
  const JsonValue report = JsonValue::parse(ReadFile(dir.File("r.json")));
  ASSERT_EQ(report["phones"].size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const char* site = i == 0 ? "north" : "south";
    EXPECT_EQ(report["phones"][i]["site"], site);
    EXPECT_EQ(report["phones"][i]["outcome"], "incomplete");
    EXPECT_EQ(report["sites"][i]["site"], site);
    EXPECT_NE(ReadFile(dir.File("r.html")).find(std::string("data-site=\"") + site + "\""),
              std::string::npos);
  }
}

}  // namespace
}  // namespace pathmon::testing
