#include "gateway/account_guard.h"

#include <algorithm>
#include <cctype>

#include "contract/account_held.h"
#include "contract/tarpon_rc.h"
#include "gateway/admission.h"
#include "gateway/gateway_metrics.h"

namespace {

// The host's "unknown user": counted as a wrong password is, or a user
// ID that is never held would be known not to exist.
constexpr int kUnknownUser = TARPON_RC_HOST_STATUS_BASE + 1;
// A store that cannot answer holds the try back this long: the limit
// never lets a guess through unseen.
constexpr int64_t kStoreDownHoldMs = 60000;

TryOutcome OutcomeOf(int returnCode) {
  if (returnCode == TARPON_RC_OK) return TryOutcome::kChanged;
  return AccountGuard::IsFailedSignOn(returnCode) ? TryOutcome::kFailed
                                                  : TryOutcome::kNeutral;
}

// The note of a hold that began (seconds, -1: until a success or a
// release), for everybody or for everybody but the owner's device: what
// the log says and the events read (gateway/gateway_events.h).
std::string HoldNote(const std::string& name, const std::string& host,
                     int seconds, bool strangersOnly) {
  return "TARPON SERVER hold for user " + name + " at " + host +
         " after failed sign-ons: changes " +
         (strangersOnly ? "but the owner's " : "") + "held back " +
         (seconds < 0 ? std::string("until a success or a release")
                      : "for " + std::to_string(seconds) + " seconds");
}

// Replaces the log record's user ID (user upper-cased, the record's as
// typed) with name.
void HideUser(const std::string& user, const std::string& name,
              std::string* logText) {
  static const char kField[] = "user(";
  for (size_t at = logText->find(kField); at != std::string::npos;
       at = logText->find(kField, at + 1)) {
    const size_t from = at + sizeof kField - 1;
    const size_t end = logText->find(')', from);
    if (end == std::string::npos || end - from != user.size()) continue;
    if (!std::equal(user.begin(), user.end(), logText->begin() + from,
                    [](char a, char b) {
                      return a == std::toupper(static_cast<unsigned char>(b));
                    })) {
      continue;
    }
    logText->replace(from, user.size(), name);
  }
}

}  // namespace

AccountGuard::AccountGuard(const AccountLimits& limits, AccountStore& store,
                           const AccountKeys& keys, GatewayMetrics* metrics,
                           int64_t leaseMs)
    : limits_(limits),
      store_(store),
      keys_(keys),
      metrics_(metrics),
      leaseMs_(leaseMs) {}

bool AccountGuard::IsFailedSignOn(int returnCode) {
  return Admission::IsFailedSignOn(returnCode);
}

bool AccountGuard::IsUnknownUser(int returnCode) {
  return returnCode == kUnknownUser;
}

std::string AccountGuard::Hidden(const std::string& user,
                                 const std::string& host) const {
  return "#" + keys_.Key(user, host);
}

AccountGuard::Ticket AccountGuard::Reserve(const std::string& user,
                                           const std::string& host,
                                           const std::string& source,
                                           bool ownerDevice) {
  Ticket ticket;
  ticket.user = user;
  ticket.host = host;
  ticket.source = source;
  ticket.sourceTag = source.empty() ? std::string() : keys_.Hash(source);
  const int penalty = store_.SourcePenalty(source);
  if (penalty > 0) {
    ticket.refusal.refused = true;
    ticket.refusal.logText = "refused for " + std::to_string(penalty) +
                             " seconds more after failed sign-ons (shared "
                             "penalty)";
    if (metrics_ != nullptr) metrics_->refusedPenalty->Increment();
    return ticket;
  }
  if (!limits_.IsOn() || user.empty() || host.empty()) {
    ticket.granted = true;
    return ticket;
  }
  ticket.key = keys_.Key(user, host);
  AccountTry attempt{ticket.key, ticket.sourceTag, ownerDevice, 1, leaseMs_};
  AccountStore::Answer answer = store_.Reserve(attempt);
  if (!answer.failed && answer.heldMs == 0) {
    ticket.granted = true;
    ticket.token = answer.token;
    return ticket;
  }
  ticket.refusal =
      Held(user, host, answer.failed ? kStoreDownHoldMs : answer.heldMs);
  if (!answer.failed && answer.holdStarted != 0) {
    // An earlier try's lease ended unsettled (its gateway gone): counted
    // as the failure it may have been, it started the hold now found.
    if (metrics_ != nullptr) metrics_->accountHoldsStarted->Increment();
    ticket.refusal.notes.push_back(
        HoldNote(user, host, answer.holdStarted, false));
  }
  TakeStoreNotes(&ticket.refusal);
  return ticket;
}

EngineRun AccountGuard::Held(const std::string& user, const std::string& host,
                             int64_t heldMs) {
  EngineRun refused;
  const int seconds = HeldSeconds(heldMs);
  const std::string hidden = Hidden(user, host);
  refused.returnCode = TARPON_RC_ACCOUNT_HELD;
  refused.text = "\n" +
                 (seconds < 0 ? AccountHeldUntilReleasedText(user, host)
                              : AccountHeldText(user, host, seconds)) +
                 "\n";
  refused.logText = "user(" + hidden + ") @host(" + host + ") ";
  refused.notes.push_back(seconds < 0
                              ? AccountHeldUntilReleasedText(hidden, host)
                              : AccountHeldText(hidden, host, seconds));
  if (metrics_ != nullptr) metrics_->accountChangesHeld->Increment();
  return refused;
}

void AccountGuard::Settle(const Ticket& ticket, EngineRun* run) {
  const int code = run->returnCode;
  if (IsUnknownUser(code) || (ticket.key.empty() && IsFailedSignOn(code))) {
    HideUser(ticket.user, Hidden(ticket.user, ticket.host), &run->logText);
  }
  if (IsFailedSignOn(code)) {
    int seconds = store_.RecordSourceFailure(ticket.source);
    if (seconds > 0) {
      run->notes.push_back("TARPON SERVER shared penalty for source " +
                           ticket.source + ": failed sign-ons, refused for " +
                           std::to_string(seconds) +
                           " seconds by every gateway of the store");
    }
  }
  if (!ticket.key.empty()) {
    const std::string label =
        IsUnknownUser(code) ? std::string() : ticket.user + "@" + ticket.host;
    AccountStore::Answer answer = store_.Settle(
        ticket.key, ticket.token, OutcomeOf(code), label, ticket.sourceTag);
    if (answer.holdStarted != 0) {
      if (metrics_ != nullptr) metrics_->accountHoldsStarted->Increment();
      const std::string name =
          IsUnknownUser(code) ? Hidden(ticket.user, ticket.host) : ticket.user;
      run->notes.push_back(
          HoldNote(name, ticket.host, answer.holdStarted, false));
    }
    if (answer.holdStarted == 0 && answer.strangersHeld != 0) {
      // Only the owner's device may try now: a hold for everybody else.
      const std::string name =
          IsUnknownUser(code) ? Hidden(ticket.user, ticket.host) : ticket.user;
      run->notes.push_back(
          HoldNote(name, ticket.host, answer.strangersHeld, true));
    }
    if (answer.released) {
      run->notes.push_back("TARPON SERVER hold for user " + ticket.user +
                           " at " + ticket.host + " released by a change");
    }
  }
  TakeStoreNotes(run);
}

void AccountGuard::TakeStoreNotes(EngineRun* run) {
  for (std::string& note : store_.TakeNotes()) run->notes.push_back(note);
  const uint64_t fallbacks = store_.GetFallbacks();
  const uint64_t counted = fallbacksCounted_.exchange(fallbacks);
  if (metrics_ != nullptr && fallbacks > counted) {
    metrics_->sharedStateFallbacks->Increment(fallbacks - counted);
  }
}
