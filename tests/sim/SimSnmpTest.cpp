// SPDX-License-Identifier: Apache-2.0
// The simulated phone's SNMP agent against Debian's snmpget. Addresses 127.10.<40+n>.x.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ToolSide.h"
#include "support/ChildProcess.h"

namespace pathmon::sim::testing {
namespace {

const std::string kPrivate = ".1.3.6.1.4.1.7431.2.";
const std::string kSerial = kPrivate + "69.1.1.6.0";

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error
};

// snmpget with numeric output and no MIBs; `options` may add e.g. -Ox for hex strings;
// objects separated by spaces.
CommandResult SnmpGet(const std::string& address, const std::string& objects,
                      const std::string& community = "orchid", const std::string& options = "") {
  std::vector<std::string> command = {"env", "MIBS=", "snmpget", "-v1", "-On"};
  if (!options.empty()) command.push_back(options);
  for (const char* more : {"-c", community.c_str(), "-r", "0", "-t", "2", address.c_str()}) {
    command.push_back(more);
  }
  std::istringstream list(objects);
  for (std::string object; list >> object;) command.push_back(object);
  CommandResult result;
  std::string err;
  result.exitCode = pathmon::testing::RunProgram(command, "", 10000, &result.output, &err);
  result.output += err;
  return result;
}

bool Has(const CommandResult& r, const std::string& text) {
  return r.output.find(text) != std::string::npos;
}

TEST(SimSnmp, AnswersAllSixteenDiscoveryObjectsInOneRequest) {
  SimProcess sim({"--phone",
                  "127.10.41.1 serial=SNX key=KEY1 user=alice addr0=10.0.0.7 addr13=192.168.4.20 "
                  "text1=T1 text2=T2 text3=T3 int8=8 int10=-10 int11=11 int14=14 int15=15 "
                  "uptime=360000"});
  ASSERT_TRUE(sim.Ok());
  const std::vector<std::string> expected = {
      kPrivate + "69.1.1.4.0 = IpAddress: 10.0.0.7",
      kPrivate + "69.1.1.21.0 = STRING: \"T1\"",
      kPrivate + "69.1.1.22.0 = STRING: \"T2\"",
      kPrivate + "69.1.1.2.0 = STRING: \"T3\"",
      kPrivate + "69.1.1.20.0 = INTEGER:",
      kPrivate + "69.1.1.54.0 = STRING:",
      kPrivate + "69.1.1.6.0 = STRING: \"SNX\"",
      kPrivate + "69.1.1.9.0 = STRING: \"KEY1\"",
      kPrivate + "69.1.1.58.0 = INTEGER: 8",
      ".1.3.6.1.2.1.1.3.0 = Timeticks: (360000)",
      kPrivate + "70.1.1.1.0 = INTEGER: -10",
      kPrivate + "70.1.1.2.0 = INTEGER: 11",
      kPrivate + "70.1.3.4.0 = STRING: \"alice\"",
      kPrivate + "70.1.2.1.0 = IpAddress: 192.168.4.20",
      kPrivate + "70.1.1.23.0 = INTEGER: 14",
      kPrivate + "70.1.1.7.0 = INTEGER: 15",
  };
  std::string objects;  // each line's identifier
  for (const std::string& line : expected) objects += line.substr(0, line.find(' ') + 1);
  const auto r = SnmpGet("127.10.41.1", objects);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (const std::string& line : expected) EXPECT_TRUE(Has(r, line)) << line << "\n" << r.output;
}

TEST(SimSnmp, WrongCommunityGetsNoAnswerAndUnknownObjectsFailTheRequest) {
  SimProcess sim({"--phone", "127.10.42.1 serial=SNC community=secret"});
  ASSERT_TRUE(sim.Ok());
  const auto wrong = SnmpGet("127.10.42.1", kSerial, "orchid");
  EXPECT_NE(wrong.exitCode, 0);
  EXPECT_TRUE(Has(wrong, "Timeout")) << wrong.output;

  // -Cf: snmpget must not retry without the failed object on its own.
  const auto unknown =
      SnmpGet("127.10.42.1", kSerial + " .1.3.6.1.4.1.7431.2.69.1.1.99.0", "secret", "-Cf");
  EXPECT_NE(unknown.exitCode, 0);
  EXPECT_TRUE(Has(unknown, "noSuchName")) << unknown.output;
  EXPECT_TRUE(Has(unknown, "Failed object: .1.3.6.1.4.1.7431.2.69.1.1.99.0")) << unknown.output;
  EXPECT_FALSE(Has(unknown, "SNC")) << "v1: no value of a failed request\n" << unknown.output;
  const auto c = sim.Stop()["127.10.42.1"];
  EXPECT_EQ(c.snmpRequests, 1);  // the dropped request is not an answered one
}

TEST(SimSnmp, EscapedValuesArriveByteForByte) {
  SimProcess sim(
      {"--phone",
       R"(127.10.43.1 serial=E1 "user=LAB\\bob smith" log1=3 log1.2=A\r\nB log1.3= log2=80)"});
  ASSERT_TRUE(sim.Ok());
  const auto user = SnmpGet("127.10.43.1", kPrivate + "70.1.3.4.0", "orchid", "-Ox");
  EXPECT_TRUE(Has(user, "Hex-STRING: 4C 41 42 5C 62 6F 62 20 73 6D 69 74 68")) << user.output;

  const std::string column1 = kPrivate + "69.1.3.4.1.1.";
  const auto rows = SnmpGet("127.10.43.1", column1 + "1.0 " + column1 + "2.0 " + column1 + "3.0",
                            "orchid", "-Ox");
  EXPECT_EQ(rows.exitCode, 0) << rows.output;
  EXPECT_TRUE(Has(rows, column1 + "2.0 = Hex-STRING: 41 0D 0A 42")) << rows.output;
  EXPECT_TRUE(Has(rows, column1 + "3.0 = \"\"")) << rows.output;
  EXPECT_TRUE(Has(SnmpGet("127.10.43.1", column1 + "4.0"), "noSuchName"));

  const std::string column2 = kPrivate + "69.1.3.5.1.1.";
  EXPECT_EQ(SnmpGet("127.10.43.1", column2 + "80.0").exitCode, 0);
  EXPECT_TRUE(Has(SnmpGet("127.10.43.1", column2 + "81.0"), "noSuchName"));
}

TEST(SimSnmp, NotAPhoneSilentAgentsAndIndependentEndpoints) {
  SimProcess sim({"--phone", "127.10.44.1 serial=NP notphone", "--phone",
                  "127.10.44.2 serial=Q1 snmp-silent", "--phone", "127.10.44.3 serial=Q2 silent"});
  ASSERT_TRUE(sim.Ok());
  EXPECT_EQ(SnmpGet("127.10.44.1", ".1.3.6.1.2.1.1.3.0").exitCode, 0);
  EXPECT_TRUE(Has(SnmpGet("127.10.44.1", kSerial), "noSuchName"));
  // An SNMP-silent phone still runs tests; a test-silent phone still answers SNMP.
  EXPECT_TRUE(Has(SnmpGet("127.10.44.2", kSerial), "Timeout"));
  UdpPeer tool("127.10.44.100");
  EXPECT_TRUE(StartTest(tool, "127.10.44.2", "Q1"));
  EXPECT_TRUE(Has(SnmpGet("127.10.44.3", kSerial), "\"Q2\""));
  auto c = sim.Stop();
  EXPECT_EQ(c["127.10.44.1"].snmpRequests, 2);
  EXPECT_EQ(c["127.10.44.2"].snmpRequests, 0);
  EXPECT_EQ(c["127.10.44.3"].snmpRequests, 1);
}

TEST(SimSnmp, FleetFileAndQuickFleetServeEveryPhone) {
  pathmon::testing::TempDir dir("sim-fleet");
  const std::string path = dir.File("fleet.txt");
  std::ofstream(path) << "# two phones of a test fleet\n"
                         "127.10.45.1 serial=F1 user=\"LAB\\\\carol\"   # a trailing comment\n"
                         "\n"
                         "   # an indented comment\n"
                         "127.10.45.2 serial=F2 community=other\n";
  SimProcess sim({"--fleet", path, "--quick", "3", "--first", "127.10.46.1"});
  ASSERT_TRUE(sim.Ok());
  EXPECT_TRUE(Has(SnmpGet("127.10.45.1", kSerial), "\"F1\""));
  EXPECT_TRUE(Has(SnmpGet("127.10.45.2", kSerial, "other"), "\"F2\""));
  EXPECT_TRUE(Has(SnmpGet("127.10.46.3", kSerial), "\"QF000003\""));
  const auto c = sim.Stop();
  EXPECT_EQ(c.size(), 5u);
  EXPECT_EQ(c.at("127.10.46.2").serial, "QF000002");
}

}  // namespace
}  // namespace pathmon::sim::testing
