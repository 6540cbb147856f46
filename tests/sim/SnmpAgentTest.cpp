// SPDX-License-Identifier: Apache-2.0
// The agent at the packet level: requests built and responses read with net-snmp.

#include <gtest/gtest.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "sim/SnmpAgent.h"

namespace pathmon::sim {
namespace {

using namespace std::chrono_literals;

using Values = std::vector<std::pair<u_char, std::string>>;  // type, bytes (octets) or number

struct Reply {
  long errstat = -1, errindex = -1;
  Values values;
  long reqid = 0;
};

class AgentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitSnmpLibrary(); }

  std::vector<uint8_t> Request(const std::vector<std::string>& oids, long version = SNMP_VERSION_1,
                               const std::string& community = "orchid",
                               int command = SNMP_MSG_GET) {
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = version;
    session.community = reinterpret_cast<u_char*>(const_cast<char*>(community.c_str()));
    session.community_len = community.size();
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    pdu->reqid = 4711;
    pdu->version = version;
    for (const std::string& text : oids) {
      oid name[MAX_OID_LEN];
      size_t length = MAX_OID_LEN;
      EXPECT_NE(read_objid(text.c_str(), name, &length), 0) << text;
      snmp_add_null_var(pdu, name, length);
    }
    size_t size = 2048, offset = 0;
    auto* buffer = static_cast<u_char*>(malloc(size));
    EXPECT_EQ(snmp_build(&buffer, &size, &offset, &session, pdu), SNMPERR_SUCCESS)
        << snmp_api_errstring(session.s_snmp_errno);
    std::vector<uint8_t> packet(buffer + size - offset, buffer + size);
    free(buffer);
    snmp_free_pdu(pdu);
    return packet;
  }

  static std::optional<Reply> Decode(const std::optional<std::vector<uint8_t>>& packet) {
    if (!packet) return std::nullopt;
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_1;
    netsnmp_pdu* pdu = snmp_pdu_create(0);
    std::vector<uint8_t> copy = *packet;
    EXPECT_EQ(snmp_parse(nullptr, &session, pdu, copy.data(), copy.size()), SNMPERR_SUCCESS);
    Reply r;
    EXPECT_EQ(pdu->command, SNMP_MSG_RESPONSE);
    r.errstat = pdu->errstat;
    r.errindex = pdu->errindex;
    r.reqid = pdu->reqid;
    for (auto* v = pdu->variables; v != nullptr; v = v->next_variable) {
      if (v->type == ASN_OCTET_STR || v->type == ASN_IPADDRESS) {
        r.values.emplace_back(v->type,
                              std::string(reinterpret_cast<char*>(v->val.string), v->val_len));
      } else if (v->type == ASN_NULL) {
        r.values.emplace_back(v->type, "");
      } else {
        r.values.emplace_back(v->type, std::to_string(*v->val.integer));
      }
    }
    snmp_free_pdu(pdu);
    return r;
  }

  std::optional<Reply> Ask(SnmpAgent& agent, const std::vector<uint8_t>& packet) {
    return Decode(agent.Answer(packet.data(), packet.size(), now_));
  }

  SnmpAgent::Time now_ = SnmpAgent::Time() + 100s;
};

const std::string kSerial = ".1.3.6.1.4.1.7431.2.69.1.1.6.0";
const std::string kUser = ".1.3.6.1.4.1.7431.2.70.1.3.4.0";
const std::string kAddr13 = ".1.3.6.1.4.1.7431.2.70.1.2.1.0";
const std::string kUpTime = ".1.3.6.1.2.1.1.3.0";

TEST_F(AgentTest, OneUnknownObjectFailsTheRequestWithItsIndexAndTheValuesAsSent) {
  SnmpAgent agent(ParsePhoneLine("127.10.9.1 serial=SN1"), now_);
  const auto r =
      Ask(agent, Request({kSerial, kUser, ".1.3.6.1.4.1.7431.2.69.1.1.99.0", ".1.3.6.1.9.0"}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->reqid, 4711);
  EXPECT_EQ(r->errstat, SNMP_ERR_NOSUCHNAME);
  EXPECT_EQ(r->errindex, 3);
  ASSERT_EQ(r->values.size(), 4u);
  for (const auto& [type, value] : r->values) EXPECT_EQ(type, ASN_NULL);
  EXPECT_EQ(agent.RequestsAnswered(), 1);
}

TEST_F(AgentTest, ValuesTypesAndTheLiveUpTime) {
  const auto started = now_;
  SnmpAgent agent(ParsePhoneLine("127.10.9.1 serial=SN1 user= addr13=10.0.0.7"), started);
  now_ = started + 12340ms;
  const auto r = Ask(agent, Request({kSerial, kUser, kAddr13, kUpTime}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->errstat, 0);
  EXPECT_EQ(r->values, (Values{{ASN_OCTET_STR, "SN1"},
                               {ASN_OCTET_STR, ""},
                               {ASN_IPADDRESS, std::string("\x0a\x00\x00\x07", 4)},
                               {ASN_TIMETICKS, "1234"}}));
}

TEST_F(AgentTest, StaysSilentForWrongCommunityOtherVersionsAndWhenSilent) {
  SnmpAgent agent(ParsePhoneLine("127.10.9.1 community=Secret"), now_);
  EXPECT_FALSE(Ask(agent, Request({kSerial}, SNMP_VERSION_1, "secret")));  // exact match only
  EXPECT_FALSE(Ask(agent, Request({kSerial}, SNMP_VERSION_2c, "Secret")));
  const std::vector<uint8_t> garbage = {0x30, 0x03, 0x02, 0x01};
  EXPECT_FALSE(Ask(agent, garbage));
  EXPECT_TRUE(Ask(agent, Request({kSerial}, SNMP_VERSION_1, "Secret")));

  SnmpAgent silent(ParsePhoneLine("127.10.9.2 snmp-silent"), now_);
  EXPECT_FALSE(Ask(silent, Request({kSerial})));
  EXPECT_EQ(silent.RequestsAnswered(), 0);
}

TEST_F(AgentTest, WalksAndWritesAreRefusedWithNoSuchName) {
  SnmpAgent agent(ParsePhoneLine("127.10.9.1"), now_);
  for (int command : {SNMP_MSG_GETNEXT, SNMP_MSG_SET}) {
    const auto r = Ask(agent, Request({kSerial}, SNMP_VERSION_1, "orchid", command));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->errstat, SNMP_ERR_NOSUCHNAME);
    EXPECT_EQ(r->errindex, 1);
  }
}

TEST_F(AgentTest, LogColumnsHaveExactlyTheirRows) {
  SnmpAgent agent(ParsePhoneLine("127.10.9.1 log1=76 log1.2=a\\r\\nb log2=0 log2.2=only"), now_);
  const std::string c1 = ".1.3.6.1.4.1.7431.2.69.1.3.4.1.1.";
  const std::string c2 = ".1.3.6.1.4.1.7431.2.69.1.3.5.1.1.";
  const auto rows = Ask(agent, Request({c1 + "1.0", c1 + "2.0", c1 + "76.0"}));
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->errstat, 0);
  EXPECT_EQ(rows->values[1].second, "a\r\nb");
  EXPECT_EQ(Ask(agent, Request({c1 + "77.0"}))->errstat, SNMP_ERR_NOSUCHNAME);
  EXPECT_EQ(Ask(agent, Request({c1 + "2"}))->errstat, SNMP_ERR_NOSUCHNAME);  // instance .0 only
  EXPECT_EQ(Ask(agent, Request({c2 + "1.0"}))->errstat, SNMP_ERR_NOSUCHNAME);
  EXPECT_EQ(Ask(agent, Request({c2 + "2.0"}))->values[0].second, "only");
}

TEST_F(AgentTest, ExtraObjectsOfEveryTypeOverrideAndUnsetRemoves) {
  const std::string base = ".1.3.6.1.4.1.99.";
  SnmpAgent agent(ParsePhoneLine("127.10.9.1 set=" + base + "1.0:i:-5 set=" + base +
                                 "2.0:u:4294967295 set=" + base + "3.0:c:7 set=" + base +
                                 "4.0:t:100 set=" + base + "5.0:a:10.1.2.3 set=" + base +
                                 "6.0:s:hi set=" + base + "7.0:x:00ff41 set=" + base +
                                 "8.0:r:7:abc set=" + base + "9.0:o:.1.3.6.1 set=" + base +
                                 "10.0:n: set=" + base + "11.0:C:4294967298 " + "set=" + kSerial +
                                 ":i:8 unset=" + kUser),
                  now_);
  std::vector<std::string> oids;
  for (int i = 1; i <= 11; ++i) oids.push_back(base + std::to_string(i) + ".0");
  oids.push_back(kSerial);
  const auto r = Ask(agent, Request(oids));
  ASSERT_TRUE(r);
  ASSERT_EQ(r->errstat, 0);
  const Values expected = {
      {ASN_INTEGER, "-5"},
      {ASN_GAUGE, "4294967295"},
      {ASN_COUNTER, "7"},
      {ASN_TIMETICKS, "100"},
      {ASN_IPADDRESS, std::string("\x0a\x01\x02\x03", 4)},
      {ASN_OCTET_STR, "hi"},
      {ASN_OCTET_STR, std::string("\x00\xff\x41", 3)},
      {ASN_OCTET_STR, "abcabca"},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(r->values[i], expected[i]) << i;
  EXPECT_EQ(r->values[8].first, ASN_OBJECT_ID);
  EXPECT_EQ(r->values[9].first, ASN_NULL);
  EXPECT_EQ(r->values[10].first, ASN_COUNTER64);
  EXPECT_EQ(r->values[11],
            std::make_pair(u_char{ASN_INTEGER}, std::string("8")));  // serial as INTEGER
  EXPECT_EQ(Ask(agent, Request({kUser}))->errstat, SNMP_ERR_NOSUCHNAME);
}

TEST_F(AgentTest, ARowLongerThanTheToolsBufferIsServedWhole) {
  const std::string row = ".1.3.6.1.4.1.7431.2.69.1.3.4.1.1.1.0";
  SnmpAgent agent(ParsePhoneLine("127.10.9.1 set=" + row + ":r:6000:0123456789"), now_);
  const auto r = Ask(agent, Request({row}));
  ASSERT_TRUE(r);
  ASSERT_EQ(r->values.size(), 1u);
  EXPECT_EQ(r->values[0].second.size(), 6000u);
  EXPECT_EQ(r->values[0].second.substr(5990), "0123456789");
}

}  // namespace
}  // namespace pathmon::sim
