#include "gateway/account_limit.h"

#include "comm/key_file.h"

namespace {

constexpr size_t kKeyBytes = 32;

TryKind KindOf(const AccountRecord& record, const AccountTry& attempt) {
  const bool owner = attempt.ownerDevice || (!record.owner.empty() &&
                                             record.owner == attempt.sourceTag);
  return owner ? TryKind::kOwner : TryKind::kStranger;
}

// How long strangers' tries are held back at nowMs, as a Reserve would
// find them, the try in flight aside; 0 when they are not.
int64_t StrangersHeldMs(const HoldPolicy& policy, const AccountRecord& record,
                        int64_t nowMs) {
  HoldPolicy rule = policy;
  if (record.owner.empty()) rule.ownerTries = 0;
  HoldState state = record.hold;
  state.pendingUntilMs = 0;
  AdvanceHold(rule, &state, nowMs);
  if (state.failures == 0) return 0;
  return HeldForMs(rule, state, TryKind::kStranger, nowMs);
}

}  // namespace

bool ParseAccountLimits(const char* text, AccountLimits* limits) {
  HoldPolicy policy;
  if (!ParseHoldPolicy(text, 1, &policy)) return false;
  policy.ownerTries = policy.count >= 2 ? 1 : 0;
  limits->policy = policy;
  return true;
}

int64_t ReserveAccountTry(const HoldPolicy& policy, AccountRecord* record,
                          const AccountTry& attempt, int64_t nowMs,
                          int* started) {
  // Until a change names the owner, nobody's try is kept for it.
  HoldPolicy rule = policy;
  if (record->owner.empty()) rule.ownerTries = 0;
  const int lapsed = AdvanceHold(rule, &record->hold, nowMs);
  if (started != nullptr) *started = lapsed;
  return ReserveTry(rule, &record->hold, KindOf(*record, attempt),
                    attempt.weight, attempt.leaseMs, nowMs);
}

int SettleAccountTry(const HoldPolicy& policy, AccountRecord* record,
                     int64_t token, TryOutcome outcome,
                     const std::string& label, const std::string& sourceTag,
                     int64_t nowMs, StrangersHold* held) {
  const int64_t heldBefore =
      held != nullptr ? StrangersHeldMs(policy, *record, nowMs) : 0;
  if (!label.empty()) record->label = label;
  if (outcome == TryOutcome::kChanged && !sourceTag.empty()) {
    record->owner = sourceTag;
  }
  const int started = SettleTry(policy, &record->hold, token, outcome, nowMs);
  if (held != nullptr) {
    held->released = outcome == TryOutcome::kChanged && heldBefore != 0;
    const int64_t heldAfter = StrangersHeldMs(policy, *record, nowMs);
    if (outcome == TryOutcome::kFailed && started == 0 && heldBefore == 0 &&
        heldAfter != 0) {
      held->started = HeldSeconds(heldAfter);
    }
  }
  return started;
}

void AddIfHeld(const HoldPolicy& policy, const std::string& key,
               AccountRecord* record, int64_t nowMs,
               std::vector<HeldAccount>* held) {
  AdvanceHold(policy, &record->hold, nowMs);
  const int64_t ms = HeldForMs(policy, record->hold, TryKind::kStranger, nowMs);
  if (ms == 0 || record->hold.failures == 0) return;
  held->push_back(
      {record->label.empty() ? key : record->label, ms, record->hold.failures});
}

MemoryAccountStore::MemoryAccountStore(const AccountLimits& limits,
                                       const Clock& clock, size_t maxTracked)
    : policy_(limits.policy),
      clock_(clock),
      maxTracked_(maxTracked < 1 ? 1 : maxTracked) {}

AccountStore::Answer MemoryAccountStore::Reserve(const AccountTry& attempt) {
  const int64_t now = clock_.NowMs();
  MutexLock lock(&mutex_);
  Answer answer;
  auto found = records_.find(attempt.key);
  if (found == records_.end()) {
    if (records_.size() >= maxTracked_ && !MakeRoom(now)) {
      answer.heldMs = policy_.windowSeconds > 0 ? policy_.windowSeconds * 1000LL
                                                : kUntilCleared;
      return answer;
    }
    found = records_.emplace(attempt.key, AccountRecord()).first;
  }
  AccountRecord& record = found->second;
  answer.heldMs =
      ReserveAccountTry(policy_, &record, attempt, now, &answer.holdStarted);
  answer.token = answer.heldMs == 0 ? record.hold.pendingUntilMs : 0;
  answer.failures = record.hold.failures;
  return answer;
}

AccountStore::Answer MemoryAccountStore::Settle(const std::string& key,
                                                int64_t token,
                                                TryOutcome outcome,
                                                const std::string& label,
                                                const std::string& sourceTag) {
  const int64_t now = clock_.NowMs();
  MutexLock lock(&mutex_);
  Answer answer;
  auto found = records_.find(key);
  if (found == records_.end()) return answer;
  StrangersHold held;
  answer.holdStarted = SettleAccountTry(policy_, &found->second, token, outcome,
                                        label, sourceTag, now, &held);
  answer.released = held.released;
  answer.strangersHeld = held.started;
  answer.failures = found->second.hold.failures;
  return answer;
}

std::vector<HeldAccount> MemoryAccountStore::ListHeld() {
  const int64_t now = clock_.NowMs();
  MutexLock lock(&mutex_);
  std::vector<HeldAccount> held;
  for (auto& [key, record] : records_) {
    AddIfHeld(policy_, key, &record, now, &held);
  }
  return held;
}

bool MemoryAccountStore::Release(const std::string& name) {
  MutexLock lock(&mutex_);
  for (auto& [key, record] : records_) {
    if (key == name || record.label == name) {
      ClearHold(&record.hold);
      return true;
    }
  }
  return false;
}

int MemoryAccountStore::CountOf(const std::string& key) {
  MutexLock lock(&mutex_);
  auto found = records_.find(key);
  return found == records_.end() ? 0 : found->second.hold.failures;
}

bool MemoryAccountStore::Mirror(const std::string& key, int failures) {
  const int64_t now = clock_.NowMs();
  MutexLock lock(&mutex_);
  auto found = records_.find(key);
  if (found == records_.end()) {
    if (failures == 0) return true;
    if (records_.size() >= maxTracked_ && !MakeRoom(now)) return false;
    found = records_.emplace(key, AccountRecord()).first;
  }
  HoldState& hold = found->second.hold;
  if (hold.failures != failures) {
    hold.failures = failures;
    if (hold.ownerFailures > failures) hold.ownerFailures = failures;
    hold.lastFailureMs = now;
  }
  return true;
}

size_t MemoryAccountStore::GetTrackedCount() {
  MutexLock lock(&mutex_);
  return records_.size();
}

// Rare (the table is full): one pass drops what is forgotten.
bool MemoryAccountStore::MakeRoom(int64_t nowMs) {
  for (auto it = records_.begin(); it != records_.end();) {
    AdvanceHold(policy_, &it->second.hold, nowMs);
    it = IsForgotten(policy_, it->second.hold, nowMs) ? records_.erase(it)
                                                      : std::next(it);
  }
  return records_.size() < maxTracked_;
}

AccountKeys::AccountKeys() : key_(RandomKey(kKeyBytes)) {}

bool AccountKeys::Load(const std::string& path, std::string* why) {
  return LoadOrMakeKeyFile(path, kKeyBytes, &key_, why);
}

std::string AccountKeys::Hash(const std::string& text) const {
  return HmacHex(key_, text, 16);
}
