// SPDX-License-Identifier: Apache-2.0
#include "frontend/RunReport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "frontend/Figures.h"
#include "frontend/SharedInterruptionText.h"

namespace pathmon {

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

using Json = nlohmann::ordered_json;

Json Text(std::string_view bytes) { return Utf8OrLatin1(bytes); }

void Entry(Json& j, const PhoneEntry& e) {
  j["serialNumber"] = Text(e.serialNumber);
  j["userName"] = Text(e.userName);
  j["identityKey"] = Text(e.identityKey);
  j["scannedAddress"] = Text(e.scannedAddress);
  j["probeAddress0"] = Text(e.probeAddress0);
  j["probeText1"] = Text(e.probeText1);
  j["probeText2"] = Text(e.probeText2);
  j["probeText3"] = Text(e.probeText3);
  j["probeInt8"] = e.probeInt8;
  j["upTime"] = e.upTime;
  j["probeInt10"] = e.probeInt10;
  j["probeInt11"] = e.probeInt11;
  j["probeAddress13"] = Text(e.probeAddress13);
  j["probeInt14"] = e.probeInt14;
  j["probeInt15"] = e.probeInt15;
  j["probeTime"] = e.probeTime;
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

Verdict Judge(const PhoneReport& phone, const RunReport& report) {
  return Judge(phone.stage, phone.cycles, phone.endReason, report.minMos);
}

std::vector<SiteVerdict> JudgeSites(const RunReport& report) {
  std::vector<SitePhone> phones;
  for (const PhoneReport& p : report.phones) {
    phones.push_back({Terminated(p.entry).serialNumber, p.site, Judge(p, report)});
  }
  return JudgeSites(phones, report.shared);
}

void CycleRecorder::OnCycleResult(const CycleResult& result) {
  std::lock_guard lock(mutex_);
  cycles_[result.phone.serialNumber].push_back({result.wallSeconds, result.stats, result.voice});
}

std::vector<CycleRecord> CycleRecorder::Cycles(const std::string& serial) {
  std::lock_guard lock(mutex_);
  auto it = cycles_.find(serial);
  return it == cycles_.end() ? std::vector<CycleRecord>{} : it->second;
}

std::string Utf8OrLatin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (std::size_t n = Utf8Length(bytes, i); n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      // U+0080..U+00FF in two bytes of UTF-8.
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
      ++i;
    }
  }
  return out;
}

OrderedJson ReportJson(const RunReport& r) {
  Json doc;
  doc["schema"] = kReportSchema;
  doc["program"] = "pathmon-cli";
  doc["startedAt"] = IsoLocalTime(r.startedAt);
  doc["endedAt"] = IsoLocalTime(r.endedAt);
  doc["defaultCommunity"] = r.defaultCommunity;
  doc["durationMinutes"] = r.durationMinutes;
  doc["maxConcurrentTests"] = r.maxConcurrentTests;
  doc["dscp"] = r.dscp;
  doc["usableRule"] = {{"maxAvgRtt", kUsableMaxAvgRtt},
                       {"maxInterruptions", kUsableMaxInterruptions},
                       {"minWorstWindowMos", r.minMos > 0 ? Json(r.minMos) : Json(nullptr)}};
  doc["interrupted"] = r.interrupted;
  doc["exitStatus"] = r.exitStatus;
  Json phones = Json::array();
  for (const PhoneReport& p : r.phones) {
    Json phone;
    Entry(phone, Terminated(p.entry));
    phone["selected"] = p.selected;
    phone["state"] = p.state;
    phone["outcome"] = OutcomeName(Judge(p, r).outcome);
    phone["historyFile"] = Text(p.historyFile);
    phone["logFile"] = p.logFile.empty() ? Json(nullptr) : Text(p.logFile);
    phone["notTestedReason"] = p.notTestedReason.empty() ? Json(nullptr) : Text(p.notTestedReason);
    phone["notTestedCode"] =
        p.notTested == NotTested::kNone ? Json(nullptr) : Json(NotTestedName(p.notTested));
    phone["endReason"] = p.endReason == TestEnd::kNone ? Json(nullptr) : Json(TestEndName(p.endReason));
    Json cycles = Json::array();
    for (const CycleRecord& c : p.cycles) {
      Json cycle = CycleJson(c.wallSeconds, c.stats);
      cycle["usable"] = CycleUsable(c, r.minMos);
      cycle["voice"] = VoiceJson(c.voice);
      cycles.push_back(std::move(cycle));
    }
    phone["cycles"] = std::move(cycles);
    phone["site"] = p.site.empty() ? Json(nullptr) : Text(p.site);
    phones.push_back(std::move(phone));
  }
  doc["phones"] = std::move(phones);
  doc["site"] = r.site.empty() ? Json(nullptr) : Text(r.site);
  Json sites = Json::array();
  for (const SiteVerdict& v : JudgeSites(r)) {
    sites.push_back({{"site", Text(v.site)},
                     {"phones", v.phones},
                     {"tested", v.tested},
                     {"usable", v.usable},
                     {"fit", v.fit},
                     {"worst", v.worst.empty() ? Json(nullptr) : Text(v.worst)},
                     {"reason", Text(v.reason)}});
  }
  doc["sites"] = std::move(sites);
  Json shared = Json::array();
  for (const SharedInterruption& s : r.shared) shared.push_back(SharedInterruptionJson(s));
  doc["sharedInterruptions"] = std::move(shared);
  return doc;
}

std::string FormatReport(const RunReport& r) {
  // Every text went through Utf8OrLatin1, so the dump never meets bytes that are not UTF-8.
  return ReportJson(r).dump() + "\n";
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

}  // namespace pathmon
