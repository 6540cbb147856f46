// SPDX-License-Identifier: Apache-2.0
// pathmon-cli --monitor scraped by a real Prometheus: four simulated phones (one clean, one
// that never echoes ten given frames, one 200 ms away, one whose path dies 10 s into each
// test), Prometheus on a loopback address of
// its own with a generated configuration and contrib/'s alerting rules, and its HTTP API asked
// what it scraped. Every process ends with the test, also when it fails.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/Http.h"
#include "support/SimProcess.h"

namespace pathmon::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPrometheus = "/usr/bin/prometheus";
constexpr const char* kPrometheusAddress = "127.73.1.101";
constexpr int kPrometheusPort = 9090;
constexpr const char* kMetricsListen = "127.73.1.100:9464";

// One HTTP/1.0 GET to a loopback address: the body, or nothing when there is no answer 200.
std::optional<std::string> HttpGet(const char* address, int port, const std::string& path) {
  const std::string response =
      HttpExchange(address, static_cast<uint16_t>(port),
                   "GET " + path + " HTTP/1.0\r\nHost: " + address + "\r\n\r\n", 2);
  const std::size_t body = response.find("\r\n\r\n");
  if (response.rfind("HTTP/1.", 0) != 0 || response.find(" 200 ") != 8 ||
      body == std::string::npos) {
    return std::nullopt;
  }
  return response.substr(body + 4);
}

std::string UrlEncoded(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// The instant vector of a PromQL expression: each series's labels and value.
std::vector<nlohmann::json> Query(const std::string& expression) {
  const auto body = HttpGet(kPrometheusAddress, kPrometheusPort,
                            "/api/v1/query?query=" + UrlEncoded(expression));
  if (!body) return {};
  const nlohmann::json answer = nlohmann::json::parse(*body, nullptr, false);
  if (answer.is_discarded() || answer.value("status", "") != "success") return {};
  return answer["data"]["result"].get<std::vector<nlohmann::json>>();
}

// The value of the one series the expression gives, or nothing yet.
std::optional<double> Scalar(const std::string& expression) {
  const std::vector<nlohmann::json> result = Query(expression);
  if (result.size() != 1) return std::nullopt;
  return std::stod(result[0]["value"][1].get<std::string>());
}

// Asks until the answer is the wanted one or the deadline passes; the last answer.
std::optional<double> WaitFor(const std::string& expression, double wanted,
                              Clock::time_point deadline) {
  std::optional<double> value;
  while (Clock::now() < deadline) {
    value = Scalar(expression);
    if (value && *value == wanted) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return value;
}

TEST(Prometheus, ScrapesTheMonitorsCountersGaugesAndAlerts) {
  ASSERT_EQ(::access(kPrometheus, X_OK), 0)
      << kPrometheus << " is missing: scripts/install-deps installs Debian's prometheus";
  const Clock::time_point start = Clock::now();

  // Frames 1000-1009 leave 20 s into a test: the first test has lost them well before its
  // end at 60 s, and the second one, started after it, has not reached them when the test
  // asks at about 65 s. So the counter holds exactly 10 both while the cycle runs and after.
  SimProcess sim({"--phone", "127.73.1.1 serial=SNA community=lab", "--phone",
                  "127.73.1.2 serial=SNB community=lab drop=1000-1009", "--phone",
                  "127.73.1.3 serial=SNC community=lab delay=200", "--phone",
                  "127.73.1.4 serial=SND community=lab dead-from=500", "--phone",
                  "127.73.1.5 serial=SNE community=lab offhook"});
  ASSERT_TRUE(sim.Ok());

  TempDir promDir;
  {
    std::ofstream config(promDir.File("prometheus.yml"));
    config << "global:\n"
              "  scrape_interval: 1s\n"
              "  evaluation_interval: 1s\n"
              // The example deployment's own rules.
              "rule_files: [\"" << PATHMON_RULES << "\"]\n"
              "scrape_configs:\n"
              "  - job_name: pathmon\n"
              "    static_configs:\n"
              "      - targets: [\"" << kMetricsListen << "\"]\n";
  }
  ChildProcess prometheus({kPrometheus, "--config.file=" + promDir.File("prometheus.yml"),
                           "--storage.tsdb.path=" + promDir.File("data"),
                           "--web.listen-address=" + std::string(kPrometheusAddress) + ":" +
                               std::to_string(kPrometheusPort),
                           "--log.level=warn"},
                          promDir.Path());

  TempDir cliDir;
  ChildProcess cli(Cli({"--monitor", "--community", "lab", "--duration", "1", "--range",
                        "127.73.1.1-127.73.1.5", "--site", "lab", "--metrics-listen",
                        kMetricsListen, "--metrics-file", "metrics.prom", "-q"}),
                   cliDir.Path());

  // Two scrapes of the monitor.
  EXPECT_EQ(WaitFor("count_over_time(up{job=\"pathmon\"}[1m]) >= 2", 2,
                    start + std::chrono::seconds(20)).value_or(0) >= 2,
            true)
      << prometheus.Stderr() << cli.Stderr();
  // The counter follows the running cycle: the ten frames count long before its end.
  EXPECT_EQ(WaitFor("pathmon_frames_lost_total{serial=\"SNB\",site=\"lab\"}", 10,
                    start + std::chrono::seconds(40)),
            10.0)
      << cli.Stderr();
  EXPECT_EQ(Scalar("pathmon_frames_lost_total{serial=\"SNA\"}"), 0.0);
  EXPECT_EQ(Scalar("pathmon_echoes_late_total{serial=\"SNA\"}"), 0.0);
  // The dead path shows while its cycle runs: its lost frames, its silence, and the alert
  // for a running phone silent for 10 s.
  EXPECT_EQ(WaitFor("pathmon_frames_lost_total{serial=\"SND\"} >= bool 100", 1,
                    start + std::chrono::seconds(40)),
            1.0);
  EXPECT_EQ(Scalar("pathmon_echo_silence_seconds{serial=\"SND\"} >= bool 2"), 1.0);
  EXPECT_EQ(WaitFor("count(ALERTS{alertname=\"PathmonNoEcho\",serial=\"SND\","
                    "alertstate=\"firing\"})",
                    1, start + std::chrono::seconds(45)),
            1.0);
  // The phone off hook ignores its start: counted with the reason, its test never running.
  EXPECT_EQ(WaitFor("pathmon_test_start_failures_total{serial=\"SNE\",reason=\"no-answer\"}",
                    1, start + std::chrono::seconds(40)),
            1.0);
  EXPECT_EQ(Scalar("pathmon_running{serial=\"SNE\"}"), 0.0);
  // The round trips of the phone 200 ms away, live too: none under 150 ms, and between 150
  // and 300 ms but for the few (at most 1 %) that a loaded machine holds up.
  EXPECT_GT(Scalar("pathmon_rtt_seconds_count{serial=\"SNC\"}").value_or(0), 500);
  EXPECT_EQ(Scalar("pathmon_rtt_seconds_bucket{serial=\"SNC\",le=\"0.15\"}"), 0.0);
  EXPECT_LE(Scalar("(pathmon_rtt_seconds_count{serial=\"SNC\"} - ignoring(le) "
                   "pathmon_rtt_seconds_bucket{serial=\"SNC\",le=\"0.3\"}) / ignoring(le) "
                   "pathmon_rtt_seconds_count{serial=\"SNC\"}")
                .value_or(1),
            0.01);
  // No cycle result yet: no verdict either.
  EXPECT_TRUE(Query("pathmon_usable").empty());

  // The first cycle results, at the tests' end after a minute.
  EXPECT_EQ(WaitFor("pathmon_usable{serial=\"SNC\"}", 0, start + std::chrono::seconds(80)), 0.0)
      << cli.Stderr();
  EXPECT_EQ(WaitFor("pathmon_usable{serial=\"SNA\"}", 1, start + std::chrono::seconds(82)), 1.0);
  EXPECT_EQ(WaitFor("count(ALERTS{alertname=\"PathmonSiteNotFitForVoice\",site=\"lab\","
                    "alertstate=~\"pending|firing\"})",
                    1, start + std::chrono::seconds(84)),
            1.0);
  EXPECT_EQ(Scalar("pathmon_frames_lost_total{serial=\"SNB\"}"), 10.0);
  // Ten frames lost in a row cost the window they fall in about 0.2 of its MOS.
  EXPECT_GT(Scalar("pathmon_cycle_worst_mos{serial=\"SNA\"}").value_or(0), 4.3);
  EXPECT_LT(Scalar("pathmon_cycle_worst_mos{serial=\"SNB\"}").value_or(5), 4.3);

  cli.Signal(SIGTERM);
  EXPECT_EQ(cli.Wait(10000), 128 + SIGTERM) << cli.Stderr();
  // The file for node_exporter: written at the cycle results and at the end.
  const std::string file = ReadFile(cliDir.File("metrics.prom"));
  EXPECT_NE(file.find("pathmon_usable{serial=\"SNC\",site=\"lab\"} 0"), std::string::npos)
      << file.substr(0, 2000);
  EXPECT_NE(file.find("pathmon_frames_lost_total{serial=\"SNB\",site=\"lab\"} 10"),
            std::string::npos);
  EXPECT_NE(file.find("pathmon_phone_info{address=\"127.73.1.3\",dscp=\"0\","
                      "firmware=\"4.2.17\",model=\"Farline 4420\",serial=\"SNC\",site=\"lab\""),
            std::string::npos);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(90));
}

}  // namespace
}  // namespace pathmon::testing
