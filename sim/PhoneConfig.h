// SPDX-License-Identifier: Apache-2.0
#pragma once
// What one simulated phone is: its addresses, the values its SNMP agent serves and the
// impairments of its UDP test endpoint. A phone is described by one line of text,
//
//   ADDRESS key=value key=value ...
//
// the same syntax on the command line (--phone) and in a fleet file (one phone a line, '#'
// starts a comment). Values are byte strings with C-style escapes (\\ \" \r \n \t \xHH) and
// may be double-quoted to hold spaces. docs/simulator.md lists every key.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pathmon::sim {

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An inclusive range of sequence numbers.
struct SeqRange {
  uint32_t first = 0;
  uint32_t last = 0;
  bool operator==(const SeqRange&) const = default;
};

// A stretch of time, in seconds after the first test frame the process received: [start, end).
struct TimeRange {
  double startSec = 0;
  double endSec = 0;
  bool operator==(const TimeRange&) const = default;
};

// Any object an agent serves beyond (or instead of) its usual ones: set=OID:TYPE:VALUE.
// TYPE: i INTEGER, u Gauge32, c Counter32, t TimeTicks, a IpAddress, s OCTET STRING,
// x OCTET STRING in hex, r OCTET STRING of N bytes repeating a text ("N:text"),
// o OBJECT IDENTIFIER, n NULL, C Counter64.
struct ExtraObject {
  std::string oid;  // dotted numeric
  char type = 's';
  std::string value;  // as given, checked for its type
  bool operator==(const ExtraObject&) const = default;
};

struct PhoneConfig {
  std::string address;  // dotted IPv4, must lie in 127.0.0.0/8

  // SNMP agent.
  std::string community = "orchid";
  std::string serial;                  // discovery object 6
  std::string identityKey;             // discovery object 7
  std::string user;                    // discovery object 12; may be empty or "domain\user"
  std::string addr0 = "10.0.0.1";      // discovery object 0, IpAddress
  std::string addr13 = "10.0.0.254";   // discovery object 13, IpAddress
  std::string text1 = "Farline 4420";  // discovery objects 1, 2, 3
  std::string text2 = "4.2.17";
  std::string text3 = "farline";
  long obj4 = 1;             // discovery object 4, INTEGER
  std::string obj5 = "vpn";  // discovery object 5, OCTET STRING
  long int8 = 0, int10 = 1, int11 = 2, int14 = 14, int15 = 15;
  std::optional<uint32_t> upTime;         // fixed sysUpTime in hundredths; live when unset
  std::vector<int> missingObjects;        // discovery positions this agent does not know
  std::map<int, std::string> log1, log2;  // the two log columns, by row number
  bool snmpSilent = false;
  std::vector<ExtraObject> extraObjects;    // set=..., applied after everything else
  std::vector<std::string> removedObjects;  // unset=OID

  // UDP test endpoint.
  std::vector<SeqRange> drop;  // sequence numbers never echoed
  double loss = 0.0;           // probability of losing a frame
  uint64_t rng = 1;            // state of the loss and jitter generators
  int delayMs = 0;
  int jitterMs = 0;                       // extra delay, uniform in [0, jitterMs]
  double jitterSdMs = 0.0;                // extra delay, normal with mean 0 and this deviation
  double gilbertP = 0.0;                  // two-state loss: chance a frame after an echoed one
                                          // is lost ...
  double gilbertQ = 0.0;                  // ... and a frame after a lost one is echoed
  int outageFrames = 0;                   // frames lost in each outage ...
  int outageEverySec = 10;                // ... one outage every this many seconds of a test
  std::vector<TimeRange> outageTimes;     // frames arriving then are lost, the same for every
                                          // phone of the process
  std::optional<double> offHookAfterSec;  // seconds of a running test until off hook
  std::optional<double> offHookForSec;    // how long off hook lasts; for ever when unset
  bool offHook = false;                   // off hook from the start: refuses tests
  bool udpSilent = false;                 // the test endpoint answers nothing at all
  int rotateEvery = 0;                    // hand out a new nonce every N verified frames (0: never)
  std::optional<long> deadFrom;           // frames of a test from this one (from 0) are never echoed
  bool duplicate = false;                 // every echo is sent twice
  std::optional<uint32_t> straySequence;  // with the first echo of a test, one more carrying
  std::optional<int32_t> strayTickShift;  // this sequence number and/or its send tick moved by this
};

// Decodes the escapes of a value: \\ \" \' \# \(space) \r \n \t \0 \xHH.
std::string Unescape(std::string_view text);

// Splits a phone line into words at unquoted white space, removing quotes and escapes.
std::vector<std::string> SplitWords(std::string_view line);

// Applies "key=value" settings to a phone (keys as in docs/simulator.md).
void ApplySetting(PhoneConfig& phone, std::string_view key, const std::string& value);
void ApplySettings(PhoneConfig& phone, const std::vector<std::string>& words);

// Parses "ADDRESS key=value ..."; fills defaults derived from the address where a value was
// not given. Throws ConfigError naming the offending word.
PhoneConfig ParsePhoneLine(std::string_view line);

// Parses a fleet file's text; errors name the line number.
std::vector<PhoneConfig> ParseFleet(std::string_view text);

// N phones at consecutive addresses from `first`, with generated serials, identity keys and
// users; `common` (key=value words) applies to each.
std::vector<PhoneConfig> QuickFleet(int count, std::string_view first,
                                    const std::vector<std::string>& common);

// "100-109,300,500-549"
std::vector<SeqRange> ParseRanges(std::string_view text);
// "12.0-15.0,30-33": seconds, each range's start before its end.
std::vector<TimeRange> ParseTimeRanges(std::string_view key, std::string_view text);

// Parses a dotted numeric object identifier (leading dot optional); empty when malformed.
std::vector<unsigned long> ParseOidText(std::string_view text);

// The bytes of an `r` value "N:text": text repeated to exactly N bytes.
std::string RepeatedText(std::string_view repeat);

// Parses a dotted IPv4 address (four decimal parts 0-255) to host order.
std::optional<uint32_t> ParseIpv4(std::string_view text);
std::string FormatIpv4(uint32_t hostOrder);

}  // namespace pathmon::sim
