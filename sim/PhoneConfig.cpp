// SPDX-License-Identifier: Apache-2.0
#include "sim/PhoneConfig.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace pathmon::sim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decodes one escape starting after the backslash at text[i]; advances i past it.
void DecodeEscape(std::string_view text, std::size_t& i, std::string& out) {
  if (i >= text.size()) throw ConfigError("a value ends with a lone backslash");
  const char c = text[i++];
  switch (c) {
    case 'r':
      out += '\r';
      return;
    case 'n':
      out += '\n';
      return;
    case 't':
      out += '\t';
      return;
    case '0':
      out += '\0';
      return;
    case '\\':
    case '"':
    case '\'':
    case ' ':
    case '#':
      out += c;
      return;
    case 'x': {
      const int hi = i < text.size() ? HexValue(text[i]) : -1;
      const int lo = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
      if (hi < 0 || lo < 0) throw ConfigError("\\x needs two hexadecimal digits");
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
      return;
    }
    default:
      throw ConfigError(fmt::format("unknown escape \\{}", c));
  }
}

long ToLong(std::string_view key, const std::string& value) {
  long v = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (ec != std::errc() || end != value.data() + value.size()) {
    throw ConfigError(fmt::format("{}: '{}' is not an integer", key, value));
  }
  return v;
}

int ToCount(std::string_view key, const std::string& value, long max = 1'000'000'000) {
  const long v = ToLong(key, value);
  if (v < 0 || v > max) throw ConfigError(fmt::format("{}: {} is out of range", key, v));
  return static_cast<int>(v);
}

double ToDouble(std::string_view key, const std::string& value, double min, double max) {
  double v = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (ec != std::errc() || end != value.data() + value.size() || !std::isfinite(v) || v < min ||
      v > max) {
    throw ConfigError(fmt::format("{}: '{}' is not a number from {} to {}", key, value, min, max));
  }
  return v;
}

bool ToBool(std::string_view key, const std::string& value) {
  if (value == "1" || value == "true" || value == "yes" || value == "on") return true;
  if (value == "0" || value == "false" || value == "no" || value == "off") return false;
  throw ConfigError(fmt::format("{}: '{}' is not 1 or 0", key, value));
}

std::string CheckedIpv4(std::string_view key, const std::string& value) {
  if (!ParseIpv4(value))
    throw ConfigError(fmt::format("{}: '{}' is not an IPv4 address", key, value));
  return value;
}

std::string DefaultLogRow(int column, int row) {
  return fmt::format("2026-01-01 08:{:02}:{:02} log {} entry {}", row / 60 % 60, row % 60, column,
                     row);
}

std::map<int, std::string>* LogColumn(PhoneConfig& phone, std::string_view name) {
  if (name == "log1") return &phone.log1;
  if (name == "log2") return &phone.log2;
  return nullptr;
}

bool Given(const std::vector<std::string>& words, std::string_view key) {
  return std::any_of(words.begin(), words.end(), [&](const std::string& w) {
    return w.size() > key.size() && w.compare(0, key.size(), key) == 0 && w[key.size()] == '=';
  });
}

// Values not given on the line derive from the address, so every phone of a fleet differs;
// a value given empty stays empty.
void FillDefaults(PhoneConfig& phone, uint32_t address, const std::vector<std::string>& words) {
  const auto part = [&](int shift) { return (address >> shift) & 0xFF; };
  const std::string digits = fmt::format("{:03}{:03}{:03}", part(16), part(8), part(0));
  if (!Given(words, "serial")) phone.serial = "FL" + digits;
  if (!Given(words, "key")) phone.identityKey = "ID" + digits;
  if (!Given(words, "user")) phone.user = "user" + digits;
}

constexpr long kMaxLogRows = 10000;

std::map<int, std::string> GeneratedLog(int column, int rows) {
  std::map<int, std::string> log;
  for (int row = 1; row <= rows; ++row) log[row] = DefaultLogRow(column, row);
  return log;
}

// A phone's log before any setting: 12 rows in the first column, 3 in the second.
void DefaultLogs(PhoneConfig& phone) {
  phone.log1 = GeneratedLog(1, 12);
  phone.log2 = GeneratedLog(2, 3);
}

}  // namespace

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\\') {
      ++i;
      DecodeEscape(text, i, out);
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsSpace(line[i]))) {
      const char c = line[i++];
      if (c == '"') {
        quoted = !quoted;
      } else if (c == '\\') {
        DecodeEscape(line, i, word);
      } else {
        word += c;
      }
    }
    if (quoted) throw ConfigError("a quoted value is not closed");
    words.push_back(std::move(word));
  }
  return words;
}

std::optional<uint32_t> ParseIpv4(std::string_view text) {
  uint32_t value = 0;
  std::size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
    const std::size_t start = i;
    unsigned n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      n = n * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    if (i == start || n > 255) return std::nullopt;
    value = value << 8 | n;
  }
  if (i != text.size()) return std::nullopt;
  return value;
}

std::string FormatIpv4(uint32_t a) {
  return fmt::format("{}.{}.{}.{}", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
}

std::vector<TimeRange> ParseTimeRanges(std::string_view key, std::string_view text) {
  std::vector<TimeRange> ranges;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string part(text.substr(0, comma));
    const std::size_t dash = part.find('-');
    if (dash == std::string::npos) {
      throw ConfigError(fmt::format("{}: '{}' is not a range of seconds START-END", key, part));
    }
    const TimeRange range{ToDouble(key, part.substr(0, dash), 0, 1e7),
                          ToDouble(key, part.substr(dash + 1), 0, 1e7)};
    if (range.endSec <= range.startSec) {
      throw ConfigError(fmt::format("{}: '{}' ends before it starts", key, part));
    }
    ranges.push_back(range);
    if (comma == std::string_view::npos) return ranges;
    text.remove_prefix(comma + 1);
  }
}

std::vector<SeqRange> ParseRanges(std::string_view text) {
  std::vector<SeqRange> ranges;
  std::size_t i = 0;
  const auto number = [&](std::string_view whole) {
    uint32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), v);
    if (ec != std::errc())
      throw ConfigError(fmt::format("drop: '{}' is not a list of ranges", whole));
    i = static_cast<std::size_t>(end - text.data());
    return v;
  };
  while (i < text.size()) {
    SeqRange r;
    r.first = r.last = number(text);
    if (i < text.size() && text[i] == '-') {
      ++i;
      r.last = number(text);
    }
    if (r.last < r.first)
      throw ConfigError(fmt::format("drop: range {}-{} runs backwards", r.first, r.last));
    ranges.push_back(r);
    if (i < text.size()) {
      if (text[i] != ',' || i + 1 == text.size()) {
        throw ConfigError(fmt::format("drop: '{}' is not a list of ranges", text));
      }
      ++i;
    }
  }
  return ranges;
}

std::vector<unsigned long> ParseOidText(std::string_view text) {
  std::vector<unsigned long> name;
  if (!text.empty() && text.front() == '.') text.remove_prefix(1);
  while (!text.empty()) {
    unsigned long part = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), part);
    if (ec != std::errc()) return {};
    name.push_back(part);
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.empty()) {
      if (text.front() != '.' || text.size() == 1) return {};
      text.remove_prefix(1);
    }
  }
  if (name.size() < 2 || name.size() > 128) return {};
  return name;
}

std::string RepeatedText(std::string_view repeat) {
  const std::size_t colon = repeat.find(':');
  std::size_t size = 0;
  const auto [end, ec] =
      std::from_chars(repeat.data(), repeat.data() + std::min(colon, repeat.size()), size);
  const std::string_view text = colon == std::string_view::npos ? "" : repeat.substr(colon + 1);
  if (ec != std::errc() || end != repeat.data() + std::min(colon, repeat.size()) || text.empty() ||
      size > 65000) {
    throw ConfigError(fmt::format("set: '{}' is not N:text with N up to 65000", repeat));
  }
  std::string out;
  while (out.size() < size) out.append(text.substr(0, size - out.size()));
  return out;
}

namespace {

ExtraObject ParseExtraObject(const std::string& v) {
  const std::size_t first = v.find(':');
  const std::size_t second = first == std::string::npos ? first : v.find(':', first + 1);
  if (second == std::string::npos || second != first + 2) {
    throw ConfigError(fmt::format("set: '{}' is not OID:TYPE:VALUE", v));
  }
  ExtraObject object{v.substr(0, first), v[first + 1], v.substr(second + 1)};
  if (ParseOidText(object.oid).empty())
    throw ConfigError(fmt::format("set: '{}' is not an object identifier", object.oid));
  const std::string what = "set " + object.oid;
  switch (object.type) {
    case 'i':
      ToDouble(what, object.value, -2147483648.0, 2147483647.0);
      ToLong(what, object.value);
      break;
    case 'u':
    case 'c':
    case 't':
      ToDouble(what, object.value, 0, 4294967295.0);
      ToLong(what, object.value);
      break;
    case 'C': {
      uint64_t n = 0;
      const auto [end, ec] =
          std::from_chars(object.value.data(), object.value.data() + object.value.size(), n);
      if (ec != std::errc() || end != object.value.data() + object.value.size()) {
        throw ConfigError(fmt::format("{}: '{}' is not a 64-bit count", what, object.value));
      }
      break;
    }
    case 'a':
      CheckedIpv4(what, object.value);
      break;
    case 's':
    case 'n':
      break;
    case 'x':
      if (object.value.size() % 2 != 0 || !std::all_of(object.value.begin(), object.value.end(),
                                                       [](char c) { return HexValue(c) >= 0; })) {
        throw ConfigError(fmt::format("{}: '{}' is not hexadecimal", what, object.value));
      }
      break;
    case 'r':
      RepeatedText(object.value);
      break;
    case 'o':
      if (ParseOidText(object.value).empty())
        throw ConfigError(fmt::format("{}: '{}' is not an object identifier", what, object.value));
      break;
    default:
      throw ConfigError(
          fmt::format("{}: unknown type '{}' (i u c t a s x r o n C)", what, object.type));
  }
  return object;
}

}  // namespace

namespace {

using Setter = void (*)(PhoneConfig&, std::string_view key, const std::string& value);

// The plain keys; the log keys (log1.K, log1-skip) are handled after them.
const std::map<std::string_view, Setter>& Setters() {
  using K = std::string_view;
  using V = const std::string&;
  static const std::map<std::string_view, Setter> setters = {
      {"community", [](PhoneConfig& p, K, V v) { p.community = v; }},
      {"serial", [](PhoneConfig& p, K, V v) { p.serial = v; }},
      {"key", [](PhoneConfig& p, K, V v) { p.identityKey = v; }},
      {"user", [](PhoneConfig& p, K, V v) { p.user = v; }},
      {"addr0", [](PhoneConfig& p, K k, V v) { p.addr0 = CheckedIpv4(k, v); }},
      {"addr13", [](PhoneConfig& p, K k, V v) { p.addr13 = CheckedIpv4(k, v); }},
      {"text1", [](PhoneConfig& p, K, V v) { p.text1 = v; }},
      {"text2", [](PhoneConfig& p, K, V v) { p.text2 = v; }},
      {"text3", [](PhoneConfig& p, K, V v) { p.text3 = v; }},
      {"obj4", [](PhoneConfig& p, K k, V v) { p.obj4 = ToLong(k, v); }},
      {"obj5", [](PhoneConfig& p, K, V v) { p.obj5 = v; }},
      {"int8", [](PhoneConfig& p, K k, V v) { p.int8 = ToLong(k, v); }},
      {"int10", [](PhoneConfig& p, K k, V v) { p.int10 = ToLong(k, v); }},
      {"int11", [](PhoneConfig& p, K k, V v) { p.int11 = ToLong(k, v); }},
      {"int14", [](PhoneConfig& p, K k, V v) { p.int14 = ToLong(k, v); }},
      {"int15", [](PhoneConfig& p, K k, V v) { p.int15 = ToLong(k, v); }},
      {"uptime",
       [](PhoneConfig& p, K k, V v) {
         const long ticks = ToLong(k, v);
         if (ticks < 0 || ticks > 4294967295L) throw ConfigError("uptime: 0 to 4294967295");
         p.upTime = static_cast<uint32_t>(ticks);
       }},
      {"missing",
       [](PhoneConfig& p, K, V v) {
         for (const SeqRange& r : ParseRanges(v)) {
           if (r.last > 15) throw ConfigError("missing: discovery positions run from 0 to 15");
           for (uint32_t pos = r.first; pos <= r.last; ++pos) {
             p.missingObjects.push_back(static_cast<int>(pos));
           }
         }
       }},
      {"notphone",
       [](PhoneConfig& p, K k, V v) {
         if (ToBool(k, v)) p.missingObjects = {6, 7, 8, 10, 11, 12, 13, 14, 15};
       }},
      {"snmp-silent", [](PhoneConfig& p, K k, V v) { p.snmpSilent = ToBool(k, v); }},
      {"set", [](PhoneConfig& p, K, V v) { p.extraObjects.push_back(ParseExtraObject(v)); }},
      {"unset",
       [](PhoneConfig& p, K, V v) {
         if (ParseOidText(v).empty()) {
           throw ConfigError(fmt::format("unset: '{}' is not an object identifier", v));
         }
         p.removedObjects.push_back(v);
       }},
      {"drop", [](PhoneConfig& p, K, V v) { p.drop = ParseRanges(v); }},
      {"loss", [](PhoneConfig& p, K k, V v) { p.loss = ToDouble(k, v, 0, 1); }},
      {"rng",
       [](PhoneConfig& p, K, V v) {
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), p.rng);
         if (ec != std::errc() || end != v.data() + v.size()) {
           throw ConfigError(fmt::format("rng: '{}' is not a number", v));
         }
       }},
      {"delay", [](PhoneConfig& p, K k, V v) { p.delayMs = ToCount(k, v, 600000); }},
      {"jitter", [](PhoneConfig& p, K k, V v) { p.jitterMs = ToCount(k, v, 600000); }},
      {"jitter-sd", [](PhoneConfig& p, K k, V v) { p.jitterSdMs = ToDouble(k, v, 0, 60000); }},
      {"gilbert-p", [](PhoneConfig& p, K k, V v) { p.gilbertP = ToDouble(k, v, 0, 1); }},
      {"gilbert-q", [](PhoneConfig& p, K k, V v) { p.gilbertQ = ToDouble(k, v, 0, 1); }},
      // outage=N frames every so many seconds of a test, or outage=START-END,... by time.
      {"outage",
       [](PhoneConfig& p, K k, V v) {
         if (v.find('-') == std::string::npos) {
           p.outageFrames = ToCount(k, v);
         } else {
           p.outageTimes = ParseTimeRanges(k, v);
         }
       }},
      {"every",
       [](PhoneConfig& p, K k, V v) {
         p.outageEverySec = ToCount(k, v, 86400);
         if (p.outageEverySec == 0) throw ConfigError("every: must be at least 1 second");
       }},
      {"offhook-after",
       [](PhoneConfig& p, K k, V v) { p.offHookAfterSec = ToDouble(k, v, 0, 1e7); }},
      {"offhook-for", [](PhoneConfig& p, K k, V v) { p.offHookForSec = ToDouble(k, v, 0, 1e7); }},
      {"offhook", [](PhoneConfig& p, K k, V v) { p.offHook = ToBool(k, v); }},
      {"silent", [](PhoneConfig& p, K k, V v) { p.udpSilent = ToBool(k, v); }},
      {"rotate", [](PhoneConfig& p, K k, V v) { p.rotateEvery = ToCount(k, v); }},
      {"dead-from", [](PhoneConfig& p, K k, V v) { p.deadFrom = ToCount(k, v); }},
      {"duplicate", [](PhoneConfig& p, K k, V v) { p.duplicate = ToBool(k, v); }},
      {"stray-seq",
       [](PhoneConfig& p, K k, V v) {
         const long n = ToLong(k, v);
         if (n < 0 || n > 0xFFFFFFFFL) throw ConfigError(fmt::format("{}: {} is out of range", k, n));
         p.straySequence = static_cast<uint32_t>(n);
       }},
      {"stray-tick",
       [](PhoneConfig& p, K k, V v) {
         const long n = ToLong(k, v);
         if (n < INT32_MIN || n > INT32_MAX) {
           throw ConfigError(fmt::format("{}: {} is out of range", k, n));
         }
         p.strayTickShift = static_cast<int32_t>(n);
       }},
  };
  return setters;
}

}  // namespace

void ApplySetting(PhoneConfig& p, std::string_view key, const std::string& v) {
  if (const auto it = Setters().find(key); it != Setters().end()) {
    it->second(p, key, v);
    return;
  }
  // log1=N: N generated rows.
  if (auto* column = LogColumn(p, key)) {
    *column = GeneratedLog(key == "log1" ? 1 : 2, ToCount(key, v, kMaxLogRows));
    return;
  }
  // log1.K=text: row K exactly.
  if (const std::size_t dot = key.find('.'); dot != std::string_view::npos) {
    if (auto* column = LogColumn(p, key.substr(0, dot))) {
      const int row = ToCount(key, std::string(key.substr(dot + 1)), kMaxLogRows);
      if (row == 0) throw ConfigError(fmt::format("{}: rows are numbered from 1", key));
      (*column)[row] = v;
      return;
    }
  }
  // log1-skip=ranges: rows removed.
  if (const std::size_t dash = key.find('-');
      dash != std::string_view::npos && key.substr(dash) == "-skip") {
    if (auto* column = LogColumn(p, key.substr(0, dash))) {
      for (const SeqRange& r : ParseRanges(v)) {
        for (uint32_t row = r.first; row <= r.last && row <= kMaxLogRows; ++row) {
          column->erase(static_cast<int>(row));
        }
      }
      return;
    }
  }
  throw ConfigError(fmt::format("unknown setting '{}'", key));
}

void ApplySettings(PhoneConfig& phone, const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    const std::size_t eq = word.find('=');
    if (eq == 0) throw ConfigError(fmt::format("'{}' has no key", word));
    if (eq == std::string::npos) {
      ApplySetting(phone, word, "1");  // a bare key switches a flag on
    } else {
      ApplySetting(phone, std::string_view(word).substr(0, eq), word.substr(eq + 1));
    }
  }
}

PhoneConfig ParsePhoneLine(std::string_view line) {
  std::vector<std::string> words = SplitWords(line);
  if (words.empty()) throw ConfigError("a phone needs an address");
  const auto address = ParseIpv4(words.front());
  if (!address) throw ConfigError(fmt::format("'{}' is not an IPv4 address", words.front()));
  if ((*address >> 24) != 127) {
    throw ConfigError(fmt::format("{}: simulated phones live on 127.0.0.0/8 only", words.front()));
  }
  PhoneConfig phone;
  phone.address = FormatIpv4(*address);
  words.erase(words.begin());
  DefaultLogs(phone);
  ApplySettings(phone, words);
  FillDefaults(phone, *address, words);
  return phone;
}

std::vector<PhoneConfig> ParseFleet(std::string_view text) {
  std::vector<PhoneConfig> phones;
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    // A '#' outside quotes starts a comment.
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\') {
        ++i;
        continue;
      }
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == '#' && !quoted) {
        line = line.substr(0, i);
        break;
      }
    }
    if (std::all_of(line.begin(), line.end(), IsSpace)) continue;
    try {
      phones.push_back(ParsePhoneLine(line));
    } catch (const ConfigError& e) {
      throw ConfigError(fmt::format("line {}: {}", lineNumber, e.what()));
    }
  }
  return phones;
}

std::vector<PhoneConfig> QuickFleet(int count, std::string_view first,
                                    const std::vector<std::string>& common) {
  const auto start = ParseIpv4(first);
  if (!start || (*start >> 24) != 127) {
    throw ConfigError(fmt::format("--first: '{}' is not an address in 127.0.0.0/8", first));
  }
  if (count < 0 || static_cast<uint64_t>(*start) + static_cast<uint64_t>(count) > 0x80000000ull) {
    throw ConfigError("--quick: the fleet would leave 127.0.0.0/8");
  }
  std::vector<PhoneConfig> phones;
  for (int i = 1; i <= count; ++i) {
    PhoneConfig phone;
    phone.address = FormatIpv4(*start + static_cast<uint32_t>(i - 1));
    phone.serial = fmt::format("QF{:06}", i);
    phone.identityKey = fmt::format("QK{:06}", i);
    phone.user = i % 4 == 0 ? fmt::format("LAB\\quick{}", i) : fmt::format("quick{}", i);
    DefaultLogs(phone);
    ApplySettings(phone, common);
    phones.push_back(std::move(phone));
  }
  return phones;
}

}  // namespace pathmon::sim
