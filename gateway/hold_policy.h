// The one rule behind every hold the gateway keeps: the penalties of client
// sources and the limit per user ID at a host, in memory, in the state file
// and in the shared store alike (its script mirrors these functions step
// for step, and the same table of timelines runs against each).
//
// The rule:
// - failures are counted until a success clears them; with a window, a
//   failure is forgotten, with every one before it, once window seconds
//   pass without another (a quiet period, measured from the last failure,
//   which is what a host that forgets failures does);
// - count failures start a hold: of holdSeconds, or, with holdSeconds 0,
//   until a success or an administrator's release, never by time alone;
//   a timed hold that starts within maxHoldSeconds of the last one's end
//   lasts twice as long, up to maxHoldSeconds; a timed hold that ends
//   leaves a fresh count;
// - a try is reserved before the host is asked: one in flight at a time,
//   granted only while its failure would leave the count within the rule,
//   its lease ended without an outcome (the gateway died meanwhile) counts
//   as a failure, since the host may have seen it;
// - the owner's device keeps ownerTries of the count for itself: other
//   tries are held once the rest is used.
// Every function is pure: the caller owns the state and its lock.
#ifndef TARPON_GATEWAY_HOLD_POLICY_H_
#define TARPON_GATEWAY_HOLD_POLICY_H_

#include <cstdint>
#include <string>

struct HoldPolicy {
  int count = 0;  // 0: off
  int windowSeconds = 0;
  int holdSeconds = 0;
  int maxHoldSeconds = 0;
  int ownerTries = 0;
  bool IsOn() const { return count > 0; }
  bool IsTimed() const { return holdSeconds > 0; }
};

// "off"; "COUNT" (held until a success or a release); "COUNT:FORGET" (the
// host forgets failures after FORGET seconds: held until then);
// "COUNT:WINDOW:HOLD:MAX" (HOLD 0: until a success or a release). COUNT at
// least minCount, every number at most 1,000,000, MAX at least HOLD. False,
// with *policy unchanged, for any other text.
bool ParseHoldPolicy(const char* text, int minCount, HoldPolicy* policy);
// The text ParseHoldPolicy reads back: "off" or "COUNT:WINDOW:HOLD:MAX".
std::string FormatHoldPolicy(const HoldPolicy& policy);

// A hold's end that no time reaches: until a success or a release. Exact
// in a double, as the shared store's script keeps it.
constexpr int64_t kUntilCleared = int64_t{1} << 53;

struct HoldState {
  int failures = 0;       // weighted, since the last success or forgetting
  int ownerFailures = 0;  // of them, the owner's device's
  int64_t lastFailureMs = 0;
  int64_t holdEndMs = 0;  // 0: none; kUntilCleared
  int lastHoldSeconds = 0;
  int64_t lastHoldEndMs = 0;
  int64_t pendingUntilMs = 0;  // 0: no try in flight
  int pendingWeight = 0;
  bool pendingOwner = false;
};

enum class TryKind { kStranger, kOwner };
enum class TryOutcome { kFailed, kChanged, kNeutral };

// Brings state to nowMs: an ended lease counts as a failure, an ended timed
// hold leaves a fresh count, a quiet window forgets the failures. The
// seconds of a hold that an ended lease started (-1: until cleared), else 0.
int AdvanceHold(const HoldPolicy& policy, HoldState* state, int64_t nowMs);
// How long a try of kind is held back at nowMs (after AdvanceHold): 0, the
// milliseconds left, or kUntilCleared.
int64_t HeldForMs(const HoldPolicy& policy, const HoldState& state,
                  TryKind kind, int64_t nowMs);
// Reserves a try weighing weight failures for leaseMs: 0 when granted
// (state->pendingUntilMs is then the try's token), else what HeldForMs says
// (a try in flight holds the others until its lease ends).
int64_t ReserveTry(const HoldPolicy& policy, HoldState* state, TryKind kind,
                   int weight, int64_t leaseMs, int64_t nowMs);
// Ends the try of token with its outcome: a change clears the state
// whenever it comes; a failure counts unless its lease ended (counted
// then). The seconds of the hold a failure starts (-1: until cleared),
// else 0.
int SettleTry(const HoldPolicy& policy, HoldState* state, int64_t token,
              TryOutcome outcome, int64_t nowMs);
// A failure counted without a reservation (a source's verdict). The
// seconds of the hold it starts (-1: until cleared), else 0.
int CountFailure(const HoldPolicy& policy, HoldState* state, TryKind kind,
                 int weight, int64_t nowMs);
// A success or an administrator's release: nothing is held or counted.
void ClearHold(HoldState* state);
// True when state remembers nothing that would count at nowMs or later.
bool IsForgotten(const HoldPolicy& policy, const HoldState& state,
                 int64_t nowMs);
// Whole seconds of a HeldForMs answer, rounded up (kUntilCleared: -1).
int HeldSeconds(int64_t heldMs);

#endif  // TARPON_GATEWAY_HOLD_POLICY_H_
