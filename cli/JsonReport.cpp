#include "cli/JsonReport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli/Verdict.h"

namespace pathmon::cli {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 (RFC 3629, section 4: no overlong
// forms, no surrogates, nothing above U+10FFFF).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  auto cont = [&](std::size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
  unsigned char b = byte(i);
  if (b >= 0xC2 && b <= 0xDF) return cont(i + 1) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    if (!cont(i + 1) || !cont(i + 2)) return 0;
    unsigned char b1 = byte(i + 1);
    if (b == 0xE0 && b1 < 0xA0) return 0;  // overlong
    if (b == 0xED && b1 > 0x9F) return 0;  // surrogate
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
    unsigned char b1 = byte(i + 1);
    if (b == 0xF0 && b1 < 0x90) return 0;  // overlong
    if (b == 0xF4 && b1 > 0x8F) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

class Json {
 public:
  void Open(char c) {
    Separate();
    out_ += c;
    first_ = true;
  }
  void Close(char c) {
    out_ += c;
    first_ = false;
  }
  void Key(const char* key) {
    Separate();
    out_ += JsonString(key);
    out_ += ':';
    pendingValue_ = true;
  }
  void Value(const std::string& raw) {
    Separate();
    out_ += raw;
  }
  void String(std::string_view text) { Value(JsonString(text)); }
  void Number(int64_t n) { Value(std::to_string(n)); }
  void Bool(bool b) { Value(b ? "true" : "false"); }
  std::string Take() { return std::move(out_) + "\n"; }

 private:
  void Separate() {
    if (pendingValue_) {
      pendingValue_ = false;
      return;
    }
    if (!first_) out_ += ',';
    first_ = false;
  }
  std::string out_;
  bool first_ = true;
  bool pendingValue_ = false;
};

void Statistics(Json& j, const TestStatistics& s) {
  j.Key("sent"); j.Number(s.sent);
  j.Key("received"); j.Number(s.received);
  j.Key("lost"); j.Number(s.lost);
  j.Key("interruptions"); j.Number(s.interruptions);
  j.Key("avgRtt"); j.Number(s.avgRtt);
  j.Key("maxBurstLost"); j.Number(s.maxBurstLost);
  j.Key("delayed"); j.Number(s.delayed);
  j.Key("lastRtt"); j.Number(s.lastRtt);
  j.Key("maxRtt"); j.Number(s.maxRtt);
  j.Key("strayEchoes"); j.Number(s.strayEchoes);
}

void Entry(Json& j, const PhoneEntry& e) {
  j.Key("serialNumber"); j.String(e.serialNumber);
  j.Key("userName"); j.String(e.userName);
  j.Key("identityKey"); j.String(e.identityKey);
  j.Key("scannedAddress"); j.String(e.scannedAddress);
  j.Key("probeAddress0"); j.String(e.probeAddress0);
  j.Key("probeText1"); j.String(e.probeText1);
  j.Key("probeText2"); j.String(e.probeText2);
  j.Key("probeText3"); j.String(e.probeText3);
  j.Key("probeInt8"); j.Number(e.probeInt8);
  j.Key("upTime"); j.Number(e.upTime);
  j.Key("probeInt10"); j.Number(e.probeInt10);
  j.Key("probeInt11"); j.Number(e.probeInt11);
  j.Key("probeAddress13"); j.String(e.probeAddress13);
  j.Key("probeInt14"); j.Number(e.probeInt14);
  j.Key("probeInt15"); j.Number(e.probeInt15);
  j.Key("probeTime"); j.Number(e.probeTime);
}

// The texts of an entry are zero-terminated within their fields; a record from elsewhere
// might not be, so never read past the field.
PhoneEntry Terminated(PhoneEntry e) {
  e.identityKey[sizeof e.identityKey - 1] = '\0';
  e.serialNumber[sizeof e.serialNumber - 1] = '\0';
  e.userName[sizeof e.userName - 1] = '\0';
  e.scannedAddress[sizeof e.scannedAddress - 1] = '\0';
  e.probeAddress13[sizeof e.probeAddress13 - 1] = '\0';
  e.probeText1[sizeof e.probeText1 - 1] = '\0';
  e.probeText2[sizeof e.probeText2 - 1] = '\0';
  e.probeAddress0[sizeof e.probeAddress0 - 1] = '\0';
  e.probeText3[sizeof e.probeText3 - 1] = '\0';
  return e;
}

}  // namespace

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size();) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      std::size_t n = Utf8Length(bytes, i);
      if (n > 0) {
        out.append(bytes.substr(i, n));
        i += n;
        continue;
      }
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string IsoLocalTime(int64_t wallSeconds) {
  std::time_t t = static_cast<std::time_t>(wallSeconds);
  std::tm local{};
  localtime_r(&t, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  // strftime gives "+0100"; RFC 3339 wants "+01:00".
  std::string s = text;
  if (s.size() >= 5) s.insert(s.size() - 2, ":");
  return s;
}

std::string FormatReport(const RunReport& r) {
  Json j;
  j.Open('{');
  j.Key("schema"); j.Number(kReportSchema);
  j.Key("program"); j.String("pathmon-cli");
  j.Key("startedAt"); j.String(IsoLocalTime(r.startedAt));
  j.Key("endedAt"); j.String(IsoLocalTime(r.endedAt));
  j.Key("defaultCommunity"); j.Bool(r.defaultCommunity);
  j.Key("durationMinutes"); j.Number(r.durationMinutes);
  j.Key("maxConcurrentTests"); j.Number(r.maxConcurrentTests);
  j.Key("usableRule");
  j.Open('{');
  j.Key("maxAvgRtt"); j.Number(kUsableMaxAvgRtt);
  j.Key("maxInterruptions"); j.Number(kUsableMaxInterruptions);
  j.Close('}');
  j.Key("interrupted"); j.Bool(r.interrupted);
  j.Key("exitStatus"); j.Number(r.exitStatus);
  j.Key("phones");
  j.Open('[');
  for (const PhoneReport& p : r.phones) {
    j.Open('{');
    Entry(j, Terminated(p.entry));
    j.Key("selected"), j.Bool(p.selected);
    j.Key("state"), j.String(p.state);
    j.Key("outcome"), j.String(p.outcome);
    j.Key("historyFile"), j.String(p.historyFile);
    j.Key("logFile");
    if (p.logFile.empty()) {
      j.Value("null");
    } else {
      j.String(p.logFile);
    }
    j.Key("notTestedReason");
    if (p.notTestedReason.empty()) {
      j.Value("null");
    } else {
      j.String(p.notTestedReason);
    }
    j.Key("endReason");
    if (p.endReason == TestEnd::kNone) {
      j.Value("null");
    } else {
      j.String(TestEndName(p.endReason));
    }
    j.Key("cycles");
    j.Open('[');
    for (const CycleRecord& c : p.cycles) {
      j.Open('{');
      j.Key("time"), j.String(IsoLocalTime(c.wallSeconds));
      j.Key("epochSeconds"), j.Number(c.wallSeconds);
      Statistics(j, c.stats);
      j.Key("usable"), j.Bool(CycleUsable(c.stats));
      j.Close('}');
    }
    j.Close(']');
    j.Close('}');
  }
  j.Close(']');
  j.Close('}');
  return j.Take();
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  // Checked again at the end of a long run: the rename would put a file in place of a
  // device, a FIFO or a symlink that appeared meanwhile.
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    error = std::string("cannot write ") + path + ": not a regular file";
    return false;
  }
  std::string temp = path + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = std::string("cannot write ") + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = ::fchmod(fd, 0644) == 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (ok) ok = ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    error = std::string("cannot write ") + path + ": " + std::strerror(saved);
  }
  return ok;
}

}  // namespace pathmon::cli
