#include "gateway/gateway_limits.h"

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace {

constexpr int kMinPenaltyCount = 3;
constexpr long kLargest = 1000000;
// The most failure times all records together may keep: 16 MB.
constexpr size_t kMaxFailureTimes = 2000000;

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
  std::vector<long> n;
  if (!Numbers(text, 4, &n) || n[0] < kMinPenaltyCount || n[1] < 1 ||
      n[2] < 1 || n[3] < n[2]) {
    return false;
  }
  limits->penaltyCount = static_cast<int>(n[0]);
  limits->penaltyWindow = static_cast<int>(n[1]);
  limits->penaltySeconds = static_cast<int>(n[2]);
  limits->penaltyMaxSeconds = static_cast<int>(n[3]);
  return true;
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
    : limits_(limits), maxTracked_(maxTracked) {
  if (limits_.penaltyCount > 0) {
    const size_t affordable =
        kMaxFailureTimes / static_cast<size_t>(limits_.penaltyCount);
    if (maxTracked_ > affordable) maxTracked_ = affordable;
  }
  if (maxTracked_ < 1) maxTracked_ = 1;
}

int SourcePenalties::RecordFailure(const SourceKey& source, int64_t nowMs) {
  if (limits_.penaltyCount == 0) return 0;
  EndPenalties(nowMs);
  auto found = records_.find(source);
  if (found == records_.end()) {
    if (records_.size() >= maxTracked_) MakeRoom();
    found = records_.emplace(source, Record()).first;
    MakeIdle(source, &found->second);
  }
  Record& record = found->second;
  record.lastFailureMs = nowMs;
  if (record.idle) {
    idle_.splice(idle_.end(), idle_, record.idlePosition);
  }
  if (!AddFailure(&record, nowMs)) return 0;
  return StartPenalty(source, &record, nowMs);
}

bool SourcePenalties::AddFailure(Record* record, int64_t nowMs) const {
  const size_t count = static_cast<size_t>(limits_.penaltyCount);
  std::vector<int64_t>& failures = record->failures;
  if (failures.size() < count) {
    failures.push_back(nowMs);
    if (failures.size() < count) return false;
    record->next = 0;
  } else {
    failures[record->next] = nowMs;
    record->next = (record->next + 1) % count;
  }
  // Full: the oldest of the last count failures is at next.
  return nowMs - failures[record->next] <= limits_.penaltyWindow * 1000LL;
}

int SourcePenalties::StartPenalty(const SourceKey& source, Record* record,
                                  int64_t nowMs) {
  // A penalty that follows another within the longest penalty doubles.
  const bool repeated =
      record->lastPenaltySeconds > 0 &&
      nowMs - record->penaltyEndMs < limits_.penaltyMaxSeconds * 1000LL;
  int seconds = limits_.penaltySeconds;
  if (repeated) {
    seconds = record->lastPenaltySeconds * 2;
    if (seconds > limits_.penaltyMaxSeconds) {
      seconds = limits_.penaltyMaxSeconds;
    }
  }
  // The next penalty takes as many fresh failures as the first.
  record->failures.clear();
  record->next = 0;
  if (record->idle) {
    idle_.erase(record->idlePosition);
    record->idle = false;
  } else {
    // Sessions already under way when the last penalty began.
    inForce_.erase({record->penaltyEndMs, source});
  }
  record->lastPenaltySeconds = seconds;
  record->penaltyEndMs = nowMs + seconds * 1000LL;
  inForce_.insert({record->penaltyEndMs, source});
  ++started_;
  return seconds;
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
  return found != records_.end() && nowMs < found->second.penaltyEndMs;
}

size_t SourcePenalties::CountInForce(int64_t nowMs) {
  EndPenalties(nowMs);
  return inForce_.size();
}

void SourcePenalties::Prune(int64_t nowMs) {
  // A record with a penalty in force has something left to remember.
  EndPenalties(nowMs);
  for (auto it = idle_.begin(); it != idle_.end();) {
    const Record& record = records_.at(*it);
    const bool windowOver =
        nowMs - record.lastFailureMs > limits_.penaltyWindow * 1000LL;
    const bool penaltyForgotten =
        nowMs - record.penaltyEndMs >= limits_.penaltyMaxSeconds * 1000LL;
    if (windowOver && penaltyForgotten) {
      records_.erase(*it);
      it = idle_.erase(it);
    } else {
      ++it;
    }
  }
}
