#include "gateway/account_limit.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

constexpr long kLargest = 1000000;

int HoldLeft(int64_t holdEndMs, int64_t nowMs) {
  return static_cast<int>((holdEndMs - nowMs + 999) / 1000);
}

}  // namespace

bool ParseAccountLimits(const char* text, AccountLimits* limits) {
  if (std::string(text) == "off") {
    limits->count = 0;
    return true;
  }
  std::vector<long> n;
  for (const char* at = text;;) {
    if (*at < '0' || *at > '9') return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(at, &end, 10);
    if (errno != 0 || value > kLargest) return false;
    n.push_back(value);
    if (*end == '\0') break;
    if (*end != ':') return false;
    at = end + 1;
  }
  if (n.size() != 4 || n[0] < 1 || n[1] < 1 || n[2] < 1 || n[3] < n[2]) {
    return false;
  }
  limits->count = static_cast<int>(n[0]);
  limits->windowSeconds = static_cast<int>(n[1]);
  limits->holdSeconds = static_cast<int>(n[2]);
  limits->maxHoldSeconds = static_cast<int>(n[3]);
  return true;
}

std::string AccountKey(const std::string& user) { return user; }

MemoryAccountStore::MemoryAccountStore(const AccountLimits& limits,
                                       const Clock& clock, size_t maxTracked)
    : limits_(limits),
      clock_(clock),
      maxTracked_(std::max<size_t>(1, maxTracked)) {}

void MemoryAccountStore::SetForget(Record* record) const {
  int64_t windowEnd = record->failures > 0 ? record->firstFailureMs +
                                                 limits_.windowSeconds * 1000LL
                                           : 0;
  int64_t holdForgotten =
      record->holdSeconds > 0
          ? record->holdEndMs + limits_.maxHoldSeconds * 1000LL
          : 0;
  record->forgetMs = std::max(windowEnd, holdForgotten);
}

int MemoryAccountStore::Check(const std::string& key) {
  const int64_t now = clock_.NowMs();
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = records_.find(key);
  if (found == records_.end() || now >= found->second.holdEndMs) return 0;
  Record& record = found->second;
  record.holdSeconds = std::min(record.holdSeconds * 2, limits_.maxHoldSeconds);
  record.holdEndMs =
      std::max<int64_t>(record.holdEndMs, now + record.holdSeconds * 1000LL);
  SetForget(&record);
  return HoldLeft(record.holdEndMs, now);
}

int MemoryAccountStore::RecordFailure(const std::string& key) {
  const int64_t now = clock_.NowMs();
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = records_.find(key);
  if (found != records_.end() && now >= found->second.forgetMs) {
    records_.erase(found);
    found = records_.end();
  }
  if (found == records_.end()) {
    if (records_.size() >= maxTracked_) MakeRoom(now);
    found = records_.emplace(key, Record()).first;
  }
  Record& record = found->second;
  // A run that began before the hold: the hold already counts it.
  if (now < record.holdEndMs) return 0;
  int seconds = 0;
  if (record.holdSeconds > 0) {
    seconds = std::min(record.holdSeconds * 2, limits_.maxHoldSeconds);
  } else {
    if (record.failures == 0 ||
        now - record.firstFailureMs > limits_.windowSeconds * 1000LL) {
      record.failures = 0;
      record.firstFailureMs = now;
    }
    if (++record.failures >= limits_.count) seconds = limits_.holdSeconds;
  }
  if (seconds > 0) {
    record.failures = 0;
    record.holdSeconds = seconds;
    record.holdEndMs = now + seconds * 1000LL;
  }
  SetForget(&record);
  return seconds;
}

bool MemoryAccountStore::RecordSuccess(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.erase(key);
  return true;
}

size_t MemoryAccountStore::GetTrackedCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

// Rare (the table is full): one pass drops what is forgotten, or else the
// records without a hold in force, or else the hold that ends first.
void MemoryAccountStore::MakeRoom(int64_t nowMs) {
  for (auto it = records_.begin(); it != records_.end();) {
    it = nowMs >= it->second.forgetMs ? records_.erase(it) : std::next(it);
  }
  if (records_.size() < maxTracked_) return;
  for (auto it = records_.begin(); it != records_.end();) {
    it = nowMs >= it->second.holdEndMs ? records_.erase(it) : std::next(it);
  }
  if (records_.size() < maxTracked_) return;
  records_.erase(std::min_element(
      records_.begin(), records_.end(), [](const auto& a, const auto& b) {
        return a.second.holdEndMs < b.second.holdEndMs;
      }));
}
