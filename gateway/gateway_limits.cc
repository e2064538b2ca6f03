#include "gateway/gateway_limits.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kMinPenaltyCount = 3;
constexpr long kLargest = 1000000;
// The most addresses the penalties remember; beyond it, older records
// without a running penalty are dropped first.
constexpr size_t kMaxTrackedSources = 100000;

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

SourcePenalties::SourcePenalties(const GatewayLimits& limits)
    : limits_(limits) {}

int SourcePenalties::RecordFailure(uint32_t source, int64_t nowMs) {
  if (limits_.penaltyCount == 0) return 0;
  if (sources_.size() >= kMaxTrackedSources) Prune(nowMs);
  if (sources_.size() >= kMaxTrackedSources) return 0;
  Record& record = sources_[source];
  if (record.failures == 0 ||
      nowMs - record.windowStartMs > limits_.penaltyWindow * 1000LL) {
    record.failures = 0;
    record.windowStartMs = nowMs;
  }
  if (++record.failures < limits_.penaltyCount) return 0;
  // A penalty that follows another within the longest penalty doubles.
  const bool repeated =
      record.lastPenaltySeconds > 0 &&
      nowMs - record.penaltyEndMs < limits_.penaltyMaxSeconds * 1000LL;
  int seconds = limits_.penaltySeconds;
  if (repeated) {
    seconds = record.lastPenaltySeconds * 2;
    if (seconds > limits_.penaltyMaxSeconds) {
      seconds = limits_.penaltyMaxSeconds;
    }
  }
  record.failures = 0;
  record.lastPenaltySeconds = seconds;
  record.penaltyEndMs = nowMs + seconds * 1000LL;
  return seconds;
}

bool SourcePenalties::IsPenalised(uint32_t source, int64_t nowMs) const {
  auto found = sources_.find(source);
  return found != sources_.end() && nowMs < found->second.penaltyEndMs;
}

void SourcePenalties::Prune(int64_t nowMs) {
  for (auto it = sources_.begin(); it != sources_.end();) {
    const Record& record = it->second;
    const bool windowOver =
        nowMs - record.windowStartMs > limits_.penaltyWindow * 1000LL;
    const bool penaltyForgotten =
        nowMs - record.penaltyEndMs >= limits_.penaltyMaxSeconds * 1000LL;
    if (windowOver && penaltyForgotten) {
      it = sources_.erase(it);
    } else {
      ++it;
    }
  }
}
