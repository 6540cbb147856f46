// SPDX-License-Identifier: Apache-2.0
// NetSnmpClient, the row walk and the phone log against real agents: Debian's snmpd, a
// socket that never answers, and a small agent whose answers a test shapes at will.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "engine/Engine.h"
#include "support/LogRows.h"
#include "support/RecordingOpener.h"
#include "support/SnmpdProcess.h"
#include "support/TempDir.h"
#include "support/UdpPeer.h"
#include "transport/PhoneLog.h"
#include "transport/SnmpAccess.h"

namespace pathmon {
namespace {

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;
using testing::Bytes;
using testing::kFirstLogColumn;
using testing::kSecondLogColumn;
using testing::ReadFile;
using testing::Received;
using testing::RecordingOpener;
using testing::RowOid;
using testing::SnmpdProcess;
using testing::TempDir;
using testing::UdpPeer;

constexpr const char* kCommunity = "orchid";
constexpr const char* kSnmpdAddress = "127.20.1.1";
constexpr const char* kSilentAddress = "127.20.2.1";
constexpr const char* kShapedAddress = "127.20.3.1";
constexpr const char* kUnusedAddress = "127.20.5.1";

std::string Slot(const std::vector<uint8_t>& area, std::size_t i, uint32_t length) {
  return std::string(reinterpret_cast<const char*>(area.data()) + kSnmpSlotSize * i, length);
}

uint32_t U32(const std::vector<uint8_t>& area, std::size_t i) {
  uint32_t v;
  std::memcpy(&v, area.data() + kSnmpSlotSize * i, 4);
  return v;
}

std::string HostOrder(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// The library must be set up quietly: nothing on stderr, no file written. HOME and the
// persistent directory point at an empty directory before the first use, and stderr is
// captured around it.
class QuietLibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    scratch_ = std::make_unique<TempDir>("snmphome");
    home_ = scratch_->File("home");
    ASSERT_TRUE(std::filesystem::create_directory(home_));
    // Where the library would otherwise keep its files: the user's home and the persistent
    // directory it is told about.
    setenv("HOME", home_.c_str(), 1);
    setenv("SNMP_PERSISTENT_DIR", home_.c_str(), 1);

    const std::string captured = scratch_->File("stderr");
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    dup2(file, STDERR_FILENO);
    close(file);

    InitSnmpLibrary();
    NetSnmpClient quick(100, 0);
    uint8_t values[kSnmpSlotSize];
    uint32_t lengths[1];
    const char* good[] = {".1.3.6.1.2.1.1.3.0", nullptr};
    const char* bad[] = {"sysUpTime.0", nullptr};
    quick.SnmpGet(kUnusedAddress, kCommunity, good, values, lengths);  // times out
    quick.SnmpGet(kUnusedAddress, kCommunity, bad, values, lengths);   // does not parse
    quick.SnmpGet("no.such.host", kCommunity, good, values, lengths);  // not an address

    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_EQ(ReadFile(captured), "") << "net-snmp wrote to stderr";
  }
  void TearDown() override {
    EXPECT_TRUE(std::filesystem::is_empty(home_)) << "net-snmp wrote into its directories";
    scratch_.reset();
  }

 private:
  std::unique_ptr<TempDir> scratch_;  // the environment object itself is never destroyed
  std::string home_;
};

[[maybe_unused]] ::testing::Environment* const g_quietEnvironment =
    ::testing::AddGlobalTestEnvironment(new QuietLibraryEnvironment);

// Counts the requests that pass through to the real client.
class CountingClient final : public SnmpClient {
 public:
  explicit CountingClient(SnmpClient& inner) : inner_(inner) {}
  int SnmpGet(const char* agent, const char* community, const char* const* objects,
              uint8_t* values, uint32_t* lengths, std::size_t slotSize,
              uint8_t* types) override {
    ++requests;
    return inner_.SnmpGet(agent, community, objects, values, lengths, slotSize, types);
  }
  int requests = 0;

 private:
  SnmpClient& inner_;
};

// An SNMPv1 agent whose response a test shapes: it echoes the request's bindings as a
// response, and the shaper may change types, values and the binding list before it is sent.
class ShapedAgent {
 public:
  using Shaper = std::function<void(netsnmp_pdu* response)>;

  // With replyAddress, the response leaves from that address and port instead, as a
  // forged answer from elsewhere would.
  ShapedAgent(const char* address, Shaper shaper, const char* replyAddress = nullptr,
              uint16_t replyPort = 161)
      : shaper_(std::move(shaper)), agent_(address, 161) {
    if (replyAddress != nullptr) reply_.emplace(replyAddress, replyPort);
    bound_ = agent_.Ok() && (!reply_ || reply_->Ok());
    if (bound_) thread_ = std::thread([this] { Serve(); });
  }
  ~ShapedAgent() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  bool bound() const { return bound_; }
  int responses() const { return responses_.load(); }

 private:
  void Serve() {
    while (!stop_.load()) {
      std::optional<Received> packet = agent_.Receive(20);
      if (!packet || packet->bytes.empty()) continue;
      netsnmp_session session;
      snmp_sess_init(&session);
      session.version = SNMP_VERSION_1;
      auto* request = static_cast<netsnmp_pdu*>(calloc(1, sizeof(netsnmp_pdu)));
      if (snmp_parse(nullptr, &session, request, packet->bytes.data(), packet->bytes.size()) !=
          0) {
        snmp_free_pdu(request);
        continue;
      }
      netsnmp_pdu* response = snmp_clone_pdu(request);
      response->command = SNMP_MSG_RESPONSE;
      response->errstat = SNMP_ERR_NOERROR;
      response->errindex = 0;
      shaper_(response);
      session.community = request->community;
      session.community_len = request->community_len;
      size_t length = 4096;
      size_t offset = 0;
      auto* out = static_cast<u_char*>(malloc(length));
      if (snmp_build(&out, &length, &offset, &session, response) == 0) {
        ++responses_;  // before the send: the caller may look as soon as it has the answer
        (reply_ ? *reply_ : agent_).SendTo(packet->from, Bytes(out + length - offset, out + length));
      }
      free(out);
      snmp_free_pdu(response);
      snmp_free_pdu(request);
    }
  }

  Shaper shaper_;
  UdpPeer agent_;
  std::optional<UdpPeer> reply_;  // where the answer leaves from, when not the agent
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> responses_{0};
  std::thread thread_;
};

// One snmpd for the whole suite: the 16 discovery objects, rows of two columns, both log
// columns and a long text.
class SnmpdTest : public ::testing::Test {
 protected:
  static constexpr const char* kLongText = ".1.3.6.1.4.1.7431.9.9.1.0";
  static constexpr const char* kTwelveRows = ".1.3.6.1.4.1.7431.9.1";
  static constexpr const char* kOddRows = ".1.3.6.1.4.1.7431.9.4";

  static std::string LongText() {
    std::string text;
    for (int i = 0; i < 600; ++i) text += static_cast<char>('a' + i % 26);
    return text;
  }

  static void SetUpTestSuite() {
    agent_ = new SnmpdProcess(kSnmpdAddress, kCommunity);
    const char* const* o = kDiscoveryObjects;
    agent_->SetIpAddress(o[0], "10.0.0.1");
    agent_->SetOctets(o[1], std::string("FW\0\r\n\\", 6));
    agent_->SetOctets(o[2], "");
    agent_->SetOctets(o[3], "FL-3200");
    agent_->SetObjectId(o[4], ".1.3.6.1.4.1.7431");
    agent_->SetUnsigned(o[5], 4000000000u);
    agent_->SetOctets(o[6], "SN0001");
    agent_->SetOctets(o[7], "AbCdEf");
    agent_->SetInteger(o[8], -7);
    // o[9] is sysUpTime, served by snmpd itself.
    agent_->SetInteger(o[10], 2147483647);
    agent_->SetInteger(o[11], -2147483647 - 1);
    agent_->SetOctets(o[12], "alice");
    agent_->SetIpAddress(o[13], "192.168.200.254");
    agent_->SetTimeTicks(o[14], 360000);
    agent_->SetInteger(o[15], 15);
    agent_->SetLongText(kLongText, LongText());
    for (int i = 1; i <= 12; ++i) {
      agent_->SetOctets(RowOid(kTwelveRows, i), "t" + std::to_string(i));
    }
    agent_->SetOctets(RowOid(kOddRows, 1), "");
    agent_->SetOctets(RowOid(kOddRows, 2), std::string("ab\0cd", 5));
    agent_->SetOctets(RowOid(kOddRows, 3), "\xe9t\xe9");
    agent_->SetOctets(RowOid(kFirstLogColumn, 1), "boot");
    agent_->SetOctets(RowOid(kFirstLogColumn, 2), "A\r\nB");
    agent_->SetOctets(RowOid(kFirstLogColumn, 3), "");
    agent_->SetOctets(RowOid(kSecondLogColumn, 1), "call 1");
    agent_->SetOctets(RowOid(kSecondLogColumn, 2), "call 2");
    started_ = agent_->Start();
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started_) << "snmpd did not start:\n" << agent_->LogText(); }

  static SnmpdProcess* agent_;
  static bool started_;
  NetSnmpClient client_;
};

SnmpdProcess* SnmpdTest::agent_ = nullptr;
bool SnmpdTest::started_ = false;

TEST_F(SnmpdTest, SixteenMixedObjectsInOneGet) {
  std::vector<uint8_t> area(kSnmpSlotSize * 100, 0xAA);
  std::vector<uint32_t> lengths(100, 0xDEADBEEF);
  ASSERT_EQ(client_.SnmpGet(kSnmpdAddress, kCommunity, kDiscoveryObjects, area.data(),
                            lengths.data()),
            1);

  EXPECT_EQ(lengths[0], 4u);
  EXPECT_EQ(Slot(area, 0, 4), std::string("\x0a\x00\x00\x01", 4));  // network order
  EXPECT_EQ(lengths[1], 6u);
  EXPECT_EQ(Slot(area, 1, 6), std::string("FW\0\r\n\\", 6));
  EXPECT_EQ(lengths[2], 0u);
  EXPECT_EQ(Slot(area, 2, kSnmpSlotSize), std::string(kSnmpSlotSize, '\xAA'))
      << "an empty value leaves its slot as it was";
  EXPECT_EQ(Slot(area, 3, lengths[3]), "FL-3200");
  EXPECT_EQ(Slot(area, 4, lengths[4]), ".1.3.6.1.4.1.7431");  // OBJECT IDENTIFIER as text
  EXPECT_EQ(lengths[5], 4u);
  EXPECT_EQ(U32(area, 5), 4000000000u);
  EXPECT_EQ(Slot(area, 6, lengths[6]), "SN0001");
  EXPECT_EQ(Slot(area, 7, lengths[7]), "AbCdEf");
  EXPECT_EQ(lengths[8], 4u);
  EXPECT_EQ(Slot(area, 8, 4), HostOrder(static_cast<uint32_t>(-7)));
  EXPECT_EQ(lengths[9], 4u);
  EXPECT_LT(U32(area, 9), 360000u) << "sysUpTime of a daemon started seconds ago";
  EXPECT_EQ(Slot(area, 10, 4), HostOrder(2147483647u));
  EXPECT_EQ(Slot(area, 11, 4), HostOrder(0x80000000u));
  EXPECT_EQ(Slot(area, 12, lengths[12]), "alice");
  EXPECT_EQ(lengths[13], 4u);
  EXPECT_EQ(Slot(area, 13, 4), std::string("\xc0\xa8\xc8\xfe", 4));
  EXPECT_EQ(lengths[14], 4u);
  EXPECT_EQ(Slot(area, 14, 4), HostOrder(360000u));  // TimeTicks
  EXPECT_EQ(Slot(area, 15, 4), HostOrder(15u));
  // Nothing past the sixteenth slot or length was touched.
  for (std::size_t i = 16; i < 100; ++i) EXPECT_EQ(lengths[i], 0xDEADBEEF);
  EXPECT_EQ(std::count(area.begin() + kSnmpSlotSize * 16, area.end(), 0xAA),
            static_cast<long>(kSnmpSlotSize * 84));
}

TEST_F(SnmpdTest, OneMissingObjectFailsTheGetAndWritesNothing) {
  std::vector<const char*> objects(kDiscoveryObjects, kDiscoveryObjects + kDiscoveryObjectCount);
  objects[11] = ".1.3.6.1.4.1.7431.2.70.1.1.99.0";
  objects.push_back(nullptr);
  std::vector<uint8_t> area(kSnmpSlotSize * 16, 0x5A);
  std::vector<uint32_t> lengths(16, 77);
  EXPECT_EQ(client_.SnmpGet(kSnmpdAddress, kCommunity, objects.data(), area.data(), lengths.data()),
            0);
  EXPECT_EQ(std::count(area.begin(), area.end(), 0x5A), static_cast<long>(area.size()));
  EXPECT_THAT(lengths, ::testing::Each(77u));
}

TEST_F(SnmpdTest, WrongCommunityFailsAfterTheTimeOut) {
  NetSnmpClient quick(300, 1);
  std::vector<uint8_t> area(kSnmpSlotSize, 0x11);
  uint32_t length = 99;
  const char* objects[] = {kDiscoveryObjects[6], nullptr};
  const auto start = Clock::now();
  EXPECT_EQ(quick.SnmpGet(kSnmpdAddress, "Orchid", objects, area.data(), &length),
            kSnmpNoAnswer);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(550)) << "two attempts of 300 ms";
  EXPECT_EQ(length, 99u);
  EXPECT_EQ(std::count(area.begin(), area.end(), 0x11), static_cast<long>(area.size()));
}

// The 600-byte text in slots of 512 (the default), 100 and a row's 5119 bytes: cut to its slot
// or whole, the next value in its own slot, nothing written past the last slot.
TEST_F(SnmpdTest, LongValueIsCutToItsSlotAndNeverWrittenPastIt) {
  const std::string text = LongText();
  const char* objects[] = {kLongText, kDiscoveryObjects[12], nullptr};
  for (const std::size_t slot : {kSnmpSlotSize, std::size_t{100}, kRowBufferSize - 1}) {
    SCOPED_TRACE(slot);
    std::vector<uint8_t> area(slot * 2 + 100, 0xEE);
    uint32_t lengths[2] = {};
    ASSERT_EQ(client_.SnmpGet(kSnmpdAddress, kCommunity, objects, area.data(), lengths, slot), 1);
    const std::size_t kept = std::min(slot, text.size());
    EXPECT_EQ(lengths[0], kept);
    EXPECT_EQ(std::string(area.begin(), area.begin() + kept), text.substr(0, kept));
    EXPECT_EQ(lengths[1], 5u);
    EXPECT_EQ(std::string(area.begin() + slot, area.begin() + slot + 5), "alice");
    EXPECT_EQ(std::count(area.begin() + slot * 2, area.end(), 0xEE), 100);
  }
}

TEST_F(SnmpdTest, InputsThatMustNotReachTheNetwork) {
  std::vector<uint8_t> area(kSnmpSlotSize, 0x33);
  uint32_t length = 5;
  const char* good[] = {kDiscoveryObjects[6], nullptr};
  const char* unparsable[] = {kDiscoveryObjects[6], ".1.3.x.4", nullptr};
  const char* none[] = {nullptr};
  const auto start = Clock::now();
  // Only a dotted IPv4 address is an agent: no name lookup, no other transport, no port.
  for (const char* agent : {"localhost", "tcp:127.20.1.1", "udp:127.20.1.1:161",
                            "127.20.1.1:161", "unix:/tmp/x", "", "127.20.1"}) {
    EXPECT_EQ(client_.SnmpGet(agent, kCommunity, good, area.data(), &length), 0) << agent;
  }
  EXPECT_EQ(client_.SnmpGet(kSnmpdAddress, kCommunity, unparsable, area.data(), &length), 0);
  EXPECT_EQ(client_.SnmpGet(kSnmpdAddress, kCommunity, none, area.data(), &length), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "something waited for an answer";
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::count(area.begin(), area.end(), 0x33), static_cast<long>(area.size()));
}

// The walk's logic is tested against the in-memory client; here a real agent ends a column
// with noSuchName, and row texts come as they are.
TEST_F(SnmpdTest, RowWalksEndAtTheAgentsNoSuchName) {
  CountingClient counting(client_);
  auto walk = [&](const char* column) {
    char* rows[256] = {};
    int32_t count = -1;
    EXPECT_TRUE(SnmpGetRows(counting, kSnmpdAddress, kCommunity, column, 75, &count, rows));
    std::vector<std::string> texts(rows, rows + std::max(count, 0));
    for (char* row : rows) delete[] row;
    return texts;
  };
  std::vector<std::string> twelve;
  for (int i = 1; i <= 12; ++i) twelve.push_back("t" + std::to_string(i));
  EXPECT_EQ(walk(kTwelveRows), twelve);
  EXPECT_EQ(counting.requests, 13);
  EXPECT_THAT(walk(kOddRows), ElementsAre("", "ab", "\xe9t\xe9"));
}

// The engine's GetPhoneLog: its net-snmp client, the directory's community, the opener set.
TEST_F(SnmpdTest, PhoneLogEndToEnd) {
  RecordingOpener recorder;
  TempDir dir("log");
  const std::string file = dir.File("alice_SN0001_log.txt");

  Engine engine;
  engine.Phones().SetCommunity(kCommunity);
  engine.SetFileOpener(&recorder);
  const bool result = engine.GetPhoneLog(kSnmpdAddress, file.c_str());

  EXPECT_TRUE(result);
  EXPECT_EQ(ReadFile(file), "001 boot\r\n002 A  B\r\n003 \r\n004 call 1\r\n005 call 2\r\n");
  EXPECT_THAT(recorder.paths, ElementsAre(file));
}

// The shaped agent: answers that a v1 agent should not send, or that do not match.
class ShapedAnswerTest : public ::testing::Test {
 protected:
  // Runs one get of two objects against an agent with the given shaper (and reply address).
  int Get(ShapedAgent::Shaper shaper, const char* replyAddress = nullptr,
          uint16_t replyPort = 161) {
    ShapedAgent agent(kShapedAddress, std::move(shaper), replyAddress, replyPort);
    EXPECT_TRUE(agent.bound());
    NetSnmpClient quick(500, 0);
    const char* objects[] = {".1.3.6.1.4.1.7431.8.1.0", ".1.3.6.1.4.1.7431.8.2.0", nullptr};
    const int result = quick.SnmpGet(kShapedAddress, kCommunity, objects, area_.data(), lengths_);
    // The answer was built and sent: a failure comes from the client, not from silence.
    EXPECT_EQ(agent.responses(), 1);
    return result;
  }
  bool Untouched() const {
    return std::count(area_.begin(), area_.end(), 0xC3) == static_cast<long>(area_.size()) &&
           lengths_[0] == 1234 && lengths_[1] == 1234 && lengths_[2] == 1234;
  }
  static void SetOctets(netsnmp_variable_list* var, const std::string& text) {
    snmp_set_var_typed_value(var, ASN_OCTET_STR, text.data(), text.size());
  }

  std::vector<uint8_t> area_ = std::vector<uint8_t>(kSnmpSlotSize * 3, 0xC3);
  uint32_t lengths_[3] = {1234, 1234, 1234};
};

TEST_F(ShapedAnswerTest, NullCounter64AndObjectIdentifierValues) {
  ASSERT_EQ(Get([](netsnmp_pdu* r) {
              counter64 big{};
              big.high = 7;
              big.low = 0x01020304;
              snmp_set_var_typed_value(r->variables, ASN_COUNTER64, &big, sizeof big);
              // The second keeps the NULL of the request.
            }),
            1);
  EXPECT_EQ(lengths_[0], 4u);
  EXPECT_EQ(U32(area_, 0), 0x01020304u) << "Counter64 keeps its low 32 bits";
  EXPECT_EQ(lengths_[1], 0u);
  EXPECT_EQ(Slot(area_, 1, kSnmpSlotSize), std::string(kSnmpSlotSize, '\xC3'));
}

// An answer that does not fit the request fails the get, and nothing of it reaches the
// caller's area: not even past its end.
TEST_F(ShapedAnswerTest, AnAnswerThatDoesNotFitTheRequestFailsTheGetAndWritesNothing) {
  const std::vector<std::pair<const char*, ShapedAgent::Shaper>> cases = {
      {"an exception value",
       [](netsnmp_pdu* r) {
         SetOctets(r->variables, "fine");
         snmp_set_var_typed_value(r->variables->next_variable, SNMP_NOSUCHINSTANCE, nullptr, 0);
       }},
      {"an extra binding",
       [](netsnmp_pdu* r) {
         SetOctets(r->variables, "one");
         SetOctets(r->variables->next_variable, "two");
         oid extra[] = {1, 3, 6, 1, 4, 1, 7431, 8, 3, 0};
         snmp_pdu_add_variable(r, extra, 10, ASN_OCTET_STR, "three", 5);
       }},
      {"a missing binding",
       [](netsnmp_pdu* r) {
         SetOctets(r->variables, "one");
         snmp_free_varbind(r->variables->next_variable);
         r->variables->next_variable = nullptr;
       }},
      {"a renamed binding",
       [](netsnmp_pdu* r) {
         SetOctets(r->variables, "one");
         SetOctets(r->variables->next_variable, "two");
         r->variables->next_variable->name[7] = 9;
       }},
      {"an error status",
       [](netsnmp_pdu* r) {
         SetOctets(r->variables, "one");
         SetOctets(r->variables->next_variable, "two");
         r->errstat = SNMP_ERR_GENERR;
         r->errindex = 2;
       }},
  };
  for (const auto& [name, shaper] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Get(shaper), 0);
    EXPECT_TRUE(Untouched());
  }
}

// net-snmp matches an answer by its request id alone; only the probed address's port 161
// may answer, or anyone who sees or guesses the id could make up a phone.
TEST_F(ShapedAnswerTest, AnAnswerFromAnotherAddressOrPortIsNotTaken) {
  struct Case {
    const char* name;
    const char* address;
    uint16_t port;
    int result;
  };
  const std::vector<Case> cases = {
      {"the agent's port 161", nullptr, 161, 1},
      {"another port", kShapedAddress, 1161, 0},
      {"another address", "127.20.3.2", 161, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Get([](netsnmp_pdu*) {}, c.address, c.port), c.result);
  }
}

// 256 callers at once against a silent address, with the production client, and 256 at
// once against snmpd. The answered ones finish long before the silent ones give up; the
// silent ones give up after 4 attempts of 3 s, not 256 times that.
TEST_F(SnmpdTest, TwoHundredFiftySixConcurrentCallersEach) {
  UdpPeer silent(kSilentAddress, 161);  // takes every request and never answers
  ASSERT_TRUE(silent.Ok());
  NetSnmpClient client;
  constexpr int kCallers = 256;
  std::vector<int> silentResults(kCallers, -1);
  std::vector<int> answeredResults(kCallers, -1);
  std::vector<std::string> serials(kCallers);
  std::vector<Clock::duration> answeredTimes(kCallers);
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int i = 0; i < kCallers; ++i) {
    threads.emplace_back([&, i] {
      const char* objects[] = {kDiscoveryObjects[9], nullptr};
      uint8_t value[kSnmpSlotSize];
      uint32_t length = 0;
      silentResults[i] =
          client.SnmpGet(kSilentAddress, kCommunity, objects, value, &length);
    });
    threads.emplace_back([&, i] {
      const char* objects[] = {kDiscoveryObjects[6], kDiscoveryObjects[12],
                               kDiscoveryObjects[14], nullptr};
      std::vector<uint8_t> area(kSnmpSlotSize * 3, 0);
      uint32_t lengths[3] = {};
      answeredResults[i] =
          client.SnmpGet(kSnmpdAddress, kCommunity, objects, area.data(), lengths);
      answeredTimes[i] = Clock::now() - start;
      serials[i] = Slot(area, 0, lengths[0]) + "/" + Slot(area, 1, lengths[1]) + "/" +
                   std::to_string(U32(area, 2));
    });
  }
  for (std::thread& t : threads) t.join();
  const auto elapsed = Clock::now() - start;

  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(silentResults[i], kSnmpNoAnswer) << i;
    EXPECT_EQ(answeredResults[i], 1) << i;
    EXPECT_EQ(serials[i], "SN0001/alice/360000") << i;
    EXPECT_LT(answeredTimes[i], std::chrono::seconds(9)) << "answered caller " << i << " waited";
  }
  const auto slowestAnswer = *std::max_element(answeredTimes.begin(), answeredTimes.end());
  RecordProperty("slowest_answered_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      slowestAnswer).count()));
  RecordProperty("all_done_ms", static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  EXPECT_GE(elapsed, std::chrono::milliseconds(11500)) << "4 attempts of 3000 ms";
  EXPECT_LT(elapsed, std::chrono::seconds(30));
}

}  // namespace
}  // namespace pathmon
