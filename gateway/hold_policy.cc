#include "gateway/hold_policy.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

constexpr long kLargest = 1000000;

// Whole numbers separated by ':'; false for anything else.
bool ReadNumbers(const char* text, std::vector<long>* numbers) {
  for (const char* at = text;;) {
    if (*at < '0' || *at > '9') return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(at, &end, 10);
    if (errno != 0 || value > kLargest) return false;
    numbers->push_back(value);
    if (*end == '\0') return true;
    if (*end != ':') return false;
    at = end + 1;
  }
}

int StartHold(const HoldPolicy& policy, HoldState* state, int64_t nowMs) {
  if (!policy.IsTimed()) {
    state->holdEndMs = kUntilCleared;
    return -1;
  }
  int seconds = policy.holdSeconds;
  if (state->lastHoldSeconds > 0 &&
      nowMs - state->lastHoldEndMs < policy.maxHoldSeconds * 1000LL) {
    seconds = state->lastHoldSeconds * 2;
    if (seconds > policy.maxHoldSeconds) seconds = policy.maxHoldSeconds;
  }
  state->lastHoldSeconds = seconds;
  state->holdEndMs = nowMs + seconds * 1000LL;
  state->lastHoldEndMs = state->holdEndMs;
  return seconds;
}

bool Fits(const HoldPolicy& policy, const HoldState& state, TryKind kind,
          int weight) {
  if (state.failures + weight > policy.count) return false;
  if (kind == TryKind::kOwner) return true;
  return state.failures - state.ownerFailures + weight <=
         policy.count - policy.ownerTries;
}

}  // namespace

bool ParseHoldPolicy(const char* text, int minCount, HoldPolicy* policy) {
  if (std::string(text) == "off") {
    *policy = HoldPolicy();
    return true;
  }
  std::vector<long> n;
  if (!ReadNumbers(text, &n) || n[0] < minCount || n[0] < 1) return false;
  HoldPolicy parsed;
  parsed.count = static_cast<int>(n[0]);
  if (n.size() == 2) {
    if (n[1] < 1) return false;
    n = {n[0], n[1], n[1], n[1]};
  } else if (n.size() == 1) {
    n = {n[0], 0, 0, 0};
  }
  if (n.size() != 4 || n[3] < n[2]) return false;
  parsed.windowSeconds = static_cast<int>(n[1]);
  parsed.holdSeconds = static_cast<int>(n[2]);
  parsed.maxHoldSeconds = static_cast<int>(n[3]);
  parsed.ownerTries = policy->ownerTries;
  *policy = parsed;
  return true;
}

std::string FormatHoldPolicy(const HoldPolicy& policy) {
  if (!policy.IsOn()) return "off";
  return std::to_string(policy.count) + ":" +
         std::to_string(policy.windowSeconds) + ":" +
         std::to_string(policy.holdSeconds) + ":" +
         std::to_string(policy.maxHoldSeconds);
}

int AdvanceHold(const HoldPolicy& policy, HoldState* state, int64_t nowMs) {
  int started = 0;
  if (state->pendingUntilMs != 0 && nowMs >= state->pendingUntilMs) {
    const TryKind kind =
        state->pendingOwner ? TryKind::kOwner : TryKind::kStranger;
    const int weight = state->pendingWeight > 0 ? state->pendingWeight : 1;
    state->pendingUntilMs = 0;
    state->pendingWeight = 0;
    state->pendingOwner = false;
    started = CountFailure(policy, state, kind, weight, nowMs);
  }
  if (state->holdEndMs != 0 && state->holdEndMs != kUntilCleared &&
      nowMs >= state->holdEndMs) {
    state->holdEndMs = 0;
    state->failures = state->ownerFailures = 0;
  }
  if (policy.windowSeconds > 0 && state->holdEndMs == 0 &&
      state->failures > 0 &&
      nowMs - state->lastFailureMs >= policy.windowSeconds * 1000LL) {
    state->failures = state->ownerFailures = 0;
  }
  return started;
}

int64_t HeldForMs(const HoldPolicy& policy, const HoldState& state,
                  TryKind kind, int64_t nowMs) {
  if (state.holdEndMs == kUntilCleared) return kUntilCleared;
  if (state.holdEndMs > nowMs) return state.holdEndMs - nowMs;
  if (!Fits(policy, state, kind, 1)) {
    // The stranger's share is used up: held until the window forgets it.
    return policy.windowSeconds > 0
               ? state.lastFailureMs + policy.windowSeconds * 1000LL - nowMs
               : kUntilCleared;
  }
  if (state.pendingUntilMs > nowMs) return state.pendingUntilMs - nowMs;
  return 0;
}

int64_t ReserveTry(const HoldPolicy& policy, HoldState* state, TryKind kind,
                   int weight, int64_t leaseMs, int64_t nowMs) {
  int64_t held = HeldForMs(policy, *state, kind, nowMs);
  if (held == 0 && !Fits(policy, *state, kind, weight)) {
    held = policy.windowSeconds > 0 ? policy.windowSeconds * 1000LL
                                    : kUntilCleared;
  }
  if (held != 0) return held;
  state->pendingUntilMs = nowMs + (leaseMs > 0 ? leaseMs : 1);
  state->pendingWeight = weight;
  state->pendingOwner = kind == TryKind::kOwner;
  return 0;
}

int SettleTry(const HoldPolicy& policy, HoldState* state, int64_t token,
              TryOutcome outcome, int64_t nowMs) {
  // A try whose lease ended was counted as a failure then; another may be
  // in flight now.
  const bool current = token != 0 && state->pendingUntilMs == token;
  const bool owner = state->pendingOwner;
  const int weight = state->pendingWeight > 0 ? state->pendingWeight : 1;
  if (current) {
    state->pendingUntilMs = 0;
    state->pendingWeight = 0;
    state->pendingOwner = false;
  }
  if (outcome == TryOutcome::kChanged) {
    ClearHold(state);
    return 0;
  }
  if (outcome == TryOutcome::kNeutral || !current) return 0;
  return CountFailure(policy, state,
                      owner ? TryKind::kOwner : TryKind::kStranger, weight,
                      nowMs);
}

int CountFailure(const HoldPolicy& policy, HoldState* state, TryKind kind,
                 int weight, int64_t nowMs) {
  if (!policy.IsOn()) return 0;
  if (policy.windowSeconds > 0 && state->holdEndMs == 0 &&
      nowMs - state->lastFailureMs >= policy.windowSeconds * 1000LL) {
    state->failures = state->ownerFailures = 0;
  }
  state->failures += weight;
  if (kind == TryKind::kOwner) state->ownerFailures += weight;
  state->lastFailureMs = nowMs;
  if (state->holdEndMs != 0 || state->failures < policy.count) return 0;
  return StartHold(policy, state, nowMs);
}

void ClearHold(HoldState* state) {
  const int64_t pending = state->pendingUntilMs;
  const int weight = state->pendingWeight;
  const bool owner = state->pendingOwner;
  *state = HoldState();
  state->pendingUntilMs = pending;
  state->pendingWeight = weight;
  state->pendingOwner = owner;
}

bool IsForgotten(const HoldPolicy& policy, const HoldState& state,
                 int64_t nowMs) {
  if (state.pendingUntilMs != 0 || state.holdEndMs > nowMs) return false;
  if (state.failures > 0 &&
      (policy.windowSeconds == 0 ||
       nowMs - state.lastFailureMs < policy.windowSeconds * 1000LL)) {
    return false;
  }
  return state.lastHoldSeconds == 0 ||
         nowMs - state.lastHoldEndMs >= policy.maxHoldSeconds * 1000LL;
}

int HeldSeconds(int64_t heldMs) {
  if (heldMs >= kUntilCleared) return -1;
  return heldMs <= 0 ? 0 : static_cast<int>((heldMs + 999) / 1000);
}
