// SPDX-License-Identifier: Apache-2.0
#include "sim/TestEndpoint.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace pathmon::sim {
namespace {

constexpr Nonce8 kZeroNonce{};

// Generators are drawn by their raw output, not through a standard distribution, so a given
// rng value gives the same losses and delays with every standard library.
double Uniform01(std::mt19937_64& gen) { return static_cast<double>(gen() >> 11) * 0x1.0p-53; }

std::chrono::milliseconds Ms(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
}

}  // namespace

TestEndpoint::TestEndpoint(const PhoneConfig& config, uint64_t nonceRng, SimTime started,
                           ProcessOrigin* origin)
    : config_(config),
      origin_(origin != nullptr ? *origin : ownOrigin_),
      keyDigest_(PhoneKeyDigest(config.serial)),
      controlSig_(PhoneSignature(keyDigest_, kZeroNonce)),
      nonceGen_(nonceRng),
      lossGen_(config.rng),
      // The jitter stream must not shift the loss stream, so it has its own generator.
      jitterGen_(config.rng ^ 0x9E3779B97F4A7C15ull),
      // Each impairment added later draws from a generator of its own, so the streams of the
      // older ones stay as they were for a given rng.
      normalJitterGen_(config.rng ^ 0xD1B54A32D192ED03ull),
      gilbertGen_(config.rng ^ 0x8CB92BA72F3D8DD7ull),
      offHook_(config.offHook) {
  if (offHook_ && config_.offHookForSec) onHookAt_ = started + Ms(*config_.offHookForSec);
}

TestEndpoint::Verdict TestEndpoint::Verify(const uint8_t* data, std::size_t length) const {
  if (length != kDatagramBytes) return Verdict::kBad;
  if (std::equal(controlSig_.begin(), controlSig_.end(), data) &&
      std::all_of(data + kSigBytes, data + kDatagramBytes, [](uint8_t b) { return b == 0; })) {
    return Verdict::kControl;
  }
  const auto signedWith = [&](const Nonce8& nonce, const Sig20& sig) {
    return std::equal(nonce.begin(), nonce.end(), data + kAtNonce) &&
           std::equal(sig.begin(), sig.end(), data);
  };
  if (haveNonce_ && signedWith(current_, currentSig_)) return Verdict::kFrame;
  // Frames in flight when a new nonce went out still carry the one before it.
  if (counters_.noncesIssued >= 2 && signedWith(previous_, previousSig_)) return Verdict::kFrame;
  return Verdict::kBad;
}

void TestEndpoint::IssueNonce() {
  Nonce8 fresh{};
  do {
    const uint64_t bits = nonceGen_();
    for (std::size_t i = 0; i < fresh.size(); ++i) fresh[i] = static_cast<uint8_t>(bits >> (8 * i));
  } while (fresh == kZeroNonce || (haveNonce_ && fresh == current_));
  previous_ = current_;
  previousSig_ = currentSig_;
  current_ = fresh;
  currentSig_ = PhoneSignature(keyDigest_, current_);
  haveNonce_ = true;
  framesSinceNonce_ = 0;
  ++counters_.noncesIssued;
}

bool TestEndpoint::ImpairmentDrops(uint32_t sequence, SimTime now) {
  // One draw per verified frame whatever else happens, so the random losses depend only on
  // how many frames arrived.
  const bool randomLoss = config_.loss > 0 && Uniform01(lossGen_) < config_.loss;
  const bool burstLoss = GilbertLoses();
  if (std::any_of(config_.drop.begin(), config_.drop.end(),
                  [&](const SeqRange& r) { return sequence >= r.first && sequence <= r.last; })) {
    return true;
  }
  if (nextOutage_ && now >= *nextOutage_) {
    outageLeft_ = config_.outageFrames;
    const auto every = std::chrono::seconds(config_.outageEverySec);
    while (*nextOutage_ <= now) *nextOutage_ += every;
  }
  if (outageLeft_ > 0) {
    --outageLeft_;
    return true;
  }
  const double sinceOrigin = std::chrono::duration<double>(now - *origin_.firstFrame).count();
  if (std::any_of(config_.outageTimes.begin(), config_.outageTimes.end(), [&](const TimeRange& r) {
        return sinceOrigin >= r.startSec && sinceOrigin < r.endSec;
      })) {
    return true;
  }
  return randomLoss || burstLoss;
}

bool TestEndpoint::GilbertLoses() {
  // Starting in the echoing state, the chain never leaves it when p is 0: no draws needed.
  if (config_.gilbertP <= 0) return false;
  // The frame takes the current state; then one draw moves the chain for the next frame.
  const bool lost = gilbertLosing_;
  const double u = Uniform01(gilbertGen_);
  gilbertLosing_ = gilbertLosing_ ? u >= config_.gilbertQ : u < config_.gilbertP;
  return lost;
}

SimTime TestEndpoint::EchoDue(SimTime now) {
  long long ms = config_.delayMs;
  if (config_.jitterMs > 0) {
    ms += static_cast<long long>(jitterGen_() % (static_cast<uint64_t>(config_.jitterMs) + 1));
  }
  SimTime due = now + std::chrono::milliseconds(ms);
  if (config_.jitterSdMs > 0) {
    // Box-Muller on two raw draws; u1 in (0, 1] keeps the logarithm finite.
    const double u1 = 1.0 - Uniform01(normalJitterGen_);
    const double u2 = Uniform01(normalJitterGen_);
    const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
    due += std::chrono::microseconds(std::llround(z * config_.jitterSdMs * 1000.0));
    // An echo cannot leave before its frame arrived.
    due = std::max(due, now);
  }
  return due;
}

void TestEndpoint::GoOffHook(SimTime now, std::vector<Outgoing>& out) {
  offHook_ = true;
  testRunning_ = false;
  offHookAt_.reset();
  nextOutage_.reset();
  outageLeft_ = 0;
  if (config_.offHookForSec) {
    onHookAt_ = now + Ms(*config_.offHookForSec);
  } else {
    onHookAt_.reset();
  }
  Outgoing end;
  end.due = now;
  end.to = tool_;
  end.tos = toolTos_;
  const Sig20 sig = PhoneSignature(keyDigest_, current_);
  std::copy(sig.begin(), sig.end(), end.bytes.begin());
  std::copy(current_.begin(), current_.end(), end.bytes.begin() + kAtNonce);
  PutLe32(end.bytes.data() + kAtEndFlag, 1);
  out.push_back(end);
}

void TestEndpoint::OnTime(SimTime now, std::vector<Outgoing>& out) {
  if (offHookAt_ && now >= *offHookAt_) GoOffHook(now, out);
  if (offHook_ && onHookAt_ && now >= *onHookAt_) {
    offHook_ = false;
    onHookAt_.reset();
  }
}

std::optional<SimTime> TestEndpoint::NextDeadline() const {
  std::optional<SimTime> next = offHookAt_;
  if (offHook_ && onHookAt_ && (!next || *onHookAt_ < *next)) next = onHookAt_;
  return next;
}

void TestEndpoint::OnDatagram(const uint8_t* data, std::size_t length, const sockaddr_in& from,
                              SimTime now, std::vector<Outgoing>& out, uint8_t tos) {
  OnTime(now, out);
  const Verdict verdict = Verify(data, length);
  if (verdict == Verdict::kBad) {
    ++counters_.badSignature;
    return;
  }
  const std::size_t dscp = tos >> 2;
  if (verdict == Verdict::kControl) {
    ++counters_.controlMessages;
    ++counters_.controlByDscp[dscp];
    if (config_.udpSilent || offHook_) return;  // off hook: the test is refused
    IssueNonce();
    // A control message ends any test that was running; the next frame starts a new one.
    testRunning_ = false;
    offHookAt_.reset();
    nextOutage_.reset();
    outageLeft_ = 0;
    Outgoing answer;
    answer.due = now;
    answer.to = from;
    answer.tos = tos;
    std::copy(currentSig_.begin(), currentSig_.end(), answer.bytes.begin());
    std::copy(current_.begin(), current_.end(), answer.bytes.begin() + kAtNonce);
    out.push_back(answer);
    return;
  }

  ++counters_.framesReceived;
  if (!origin_.firstFrame) origin_.firstFrame = now;
  ++counters_.framesByDscp[dscp];
  if (config_.udpSilent || offHook_) {
    ++counters_.framesDropped;
    return;
  }
  tool_ = from;
  toolTos_ = tos;
  if (!testRunning_) {
    // The test runs from its first frame; timed impairments count from there.
    testRunning_ = true;
    framesInTest_ = 0;
    if (config_.offHookAfterSec) offHookAt_ = now + Ms(*config_.offHookAfterSec);
    if (config_.outageFrames > 0) nextOutage_ = now + std::chrono::seconds(config_.outageEverySec);
    outageLeft_ = 0;
    gilbertLosing_ = false;
  }
  if (config_.rotateEvery > 0 && ++framesSinceNonce_ >= config_.rotateEvery) IssueNonce();
  const long frameInTest = framesInTest_++;
  const bool dead = config_.deadFrom && frameInTest >= *config_.deadFrom;
  if (ImpairmentDrops(GetLe32(data + kAtSequence), now) || dead) {
    ++counters_.framesDropped;
    return;
  }
  Outgoing echo;
  echo.due = EchoDue(now);
  echo.to = from;
  echo.tos = tos;
  std::copy(data, data + kDatagramBytes, echo.bytes.begin());
  std::copy(current_.begin(), current_.end(), echo.bytes.begin() + kAtNonce);
  out.push_back(echo);
  ++counters_.framesEchoed;
  if (config_.duplicate) {
    out.push_back(echo);
    ++counters_.extraEchoes;
  }
  if (frameInTest == 0 && (config_.straySequence || config_.strayTickShift)) {
    Outgoing stray = echo;
    if (config_.straySequence) PutLe32(stray.bytes.data() + kAtSequence, *config_.straySequence);
    if (config_.strayTickShift) {
      PutLe32(stray.bytes.data() + kAtSendTick,
              GetLe32(data + kAtSendTick) + static_cast<uint32_t>(*config_.strayTickShift));
    }
    out.push_back(stray);
    ++counters_.extraEchoes;
  }
}

}  // namespace pathmon::sim
