#include "gateway/gateway_limits.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

constexpr int kMinPenaltyCount = 3;
constexpr long kLargest = 1000000;

// Splits text at ':' into whole numbers from 0 to kLargest; false on any
// other text or another count of fields.
bool Numbers(const char* text, size_t count, std::vector<long>* numbers) {
  numbers->clear();
  const char* at = text;
  for (;;) {
    char* end = nullptr;
    if (*at < '0' || *at > '9') return false;
    errno = 0;
    long value = std::strtol(at, &end, 10);
    if (errno != 0 || value > kLargest) return false;
    numbers->push_back(value);
    if (*end == '\0') break;
    if (*end != ':') return false;
    at = end + 1;
  }
  return numbers->size() == count;
}

}  // namespace

bool ParseMaxStartups(const char* text, GatewayLimits* limits) {
  std::vector<long> n;
  if (Numbers(text, 1, &n)) {
    if (n[0] < 1) return false;
    limits->startupsStart = limits->startupsFull = static_cast<int>(n[0]);
    limits->startupsRate = 100;
    return true;
  }
  if (!Numbers(text, 3, &n) || n[0] < 1 || n[1] < 1 || n[1] > 100 ||
      n[2] < n[0]) {
    return false;
  }
  limits->startupsStart = static_cast<int>(n[0]);
  limits->startupsRate = static_cast<int>(n[1]);
  limits->startupsFull = static_cast<int>(n[2]);
  return true;
}

bool ParsePerSource(const char* text, GatewayLimits* limits) {
  std::vector<long> n;
  if (!Numbers(text, 1, &n) || n[0] < 1) return false;
  limits->perSource = static_cast<int>(n[0]);
  return true;
}

bool ParsePenalties(const char* text, GatewayLimits* limits) {
  if (std::string(text) == "off") {
    limits->penaltyCount = 0;
    return true;
  }
  // Four numbers, every one above 0: a penalty always ends by itself.
  HoldPolicy policy;
  if (std::count(text, text + strlen(text), ':') != 3 ||
      !ParseHoldPolicy(text, kMinPenaltyCount, &policy) ||
      policy.windowSeconds < 1 || policy.holdSeconds < 1) {
    return false;
  }
  limits->penaltyCount = policy.count;
  limits->penaltyWindow = policy.windowSeconds;
  limits->penaltySeconds = policy.holdSeconds;
  limits->penaltyMaxSeconds = policy.maxHoldSeconds;
  return true;
}

HoldPolicy PenaltyPolicy(const GatewayLimits& limits) {
  HoldPolicy policy;
  policy.count = limits.penaltyCount;
  policy.windowSeconds = limits.penaltyWindow;
  policy.holdSeconds = limits.penaltySeconds;
  policy.maxHoldSeconds = limits.penaltyMaxSeconds;
  return policy;
}

StartupGate::StartupGate(const GatewayLimits& limits, uint32_t seed)
    : start_(limits.startupsStart),
      rate_(limits.startupsRate),
      full_(limits.startupsFull),
      random_(seed) {}

bool StartupGate::Refuses(int startups) {
  if (startups < start_) return false;
  if (startups >= full_) return true;
  // rate percent at start, rising linearly to 100 percent at full.
  const double percent =
      rate_ + (100.0 - rate_) * (startups - start_) / (full_ - start_);
  return std::uniform_real_distribution<double>(0, 100)(random_) < percent;
}

SourcePenalties::SourcePenalties(const GatewayLimits& limits, size_t maxTracked)
    : policy_(PenaltyPolicy(limits)), maxTracked_(maxTracked) {
  if (maxTracked_ < 1) maxTracked_ = 1;
}

int SourcePenalties::RecordFailure(const SourceKey& source, int64_t nowMs) {
  if (!policy_.IsOn()) return 0;
  EndPenalties(nowMs);
  auto found = records_.find(source);
  if (found == records_.end()) {
    if (records_.size() >= maxTracked_) MakeRoom();
    found = records_.emplace(source, Record()).first;
    MakeIdle(source, &found->second);
  }
  Record& record = found->second;
  if (record.idle) {
    idle_.splice(idle_.end(), idle_, record.idlePosition);
  }
  AdvanceHold(policy_, &record.hold, nowMs);
  const int seconds =
      CountFailure(policy_, &record.hold, TryKind::kStranger, 1, nowMs);
  if (seconds <= 0) return 0;
  StartPenalty(source, &record);
  return seconds;
}

void SourcePenalties::StartPenalty(const SourceKey& source, Record* record) {
  idle_.erase(record->idlePosition);
  record->idle = false;
  inForce_.insert({record->hold.holdEndMs, source});
  ++started_;
}

void SourcePenalties::MakeIdle(const SourceKey& source, Record* record) {
  idle_.push_back(source);
  record->idlePosition = std::prev(idle_.end());
  record->idle = true;
}

void SourcePenalties::EndPenalties(int64_t nowMs) {
  while (!inForce_.empty() && inForce_.begin()->first <= nowMs) {
    const SourceKey source = inForce_.begin()->second;
    inForce_.erase(inForce_.begin());
    MakeIdle(source, &records_.at(source));
  }
}

void SourcePenalties::MakeRoom() {
  if (!idle_.empty()) {
    records_.erase(idle_.front());
    idle_.pop_front();
  } else if (!inForce_.empty()) {
    records_.erase(inForce_.begin()->second);
    inForce_.erase(inForce_.begin());
  }
}

bool SourcePenalties::IsPenalised(const SourceKey& source,
                                  int64_t nowMs) const {
  auto found = records_.find(source);
  return found != records_.end() && nowMs < found->second.hold.holdEndMs;
}

int SourcePenalties::SecondsLeft(const SourceKey& source, int64_t nowMs) const {
  auto found = records_.find(source);
  if (found == records_.end()) return 0;
  return HeldSeconds(found->second.hold.holdEndMs - nowMs);
}

size_t SourcePenalties::CountInForce(int64_t nowMs) {
  EndPenalties(nowMs);
  return inForce_.size();
}

void SourcePenalties::Prune(int64_t nowMs) {
  // A record with a penalty in force has something left to remember.
  EndPenalties(nowMs);
  for (auto it = idle_.begin(); it != idle_.end();) {
    if (IsForgotten(policy_, records_.at(*it).hold, nowMs)) {
      records_.erase(*it);
      it = idle_.erase(it);
    } else {
      ++it;
    }
  }
}
