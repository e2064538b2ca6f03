#include "gateway/account_guard.h"

#include "contract/account_held.h"
#include "contract/tarpon_rc.h"
#include "engine/request_account.h"
#include "gateway/gateway_metrics.h"

namespace {

// The host's "current password wrong" verdict, and its "unknown user":
// counted alike, or a user ID that is never held would be known not to
// exist.
constexpr int kUnknownUser = TARPON_RC_HOST_STATUS_BASE + 1;
constexpr int kWrongPassword = TARPON_RC_HOST_STATUS_BASE + 2;

}  // namespace

AccountGuard::AccountGuard(const AccountLimits& limits, AccountStore& store,
                           GatewayMetrics* metrics, Runner run)
    : limits_(limits), store_(store), metrics_(metrics), run_(std::move(run)) {}

EngineRun AccountGuard::Run(const std::string& options,
                            const std::string& source) {
  return Run(options, source, run_);
}

EngineRun AccountGuard::Run(const std::string& options,
                            const std::string& source, const Runner& runner) {
  EngineRun run;
  const int penalty = store_.SourcePenalty(source);
  if (penalty > 0) {
    run.refused = true;
    run.logText = "refused for " + std::to_string(penalty) +
                  " seconds more after failed sign-ons (shared penalty)";
    if (metrics_ != nullptr) metrics_->refusedPenalty->Increment();
  } else {
    run = Guarded(options, runner);
  }
  if (run.returnCode == kWrongPassword || run.returnCode == kUnknownUser) {
    int seconds = store_.RecordSourceFailure(source);
    if (seconds > 0) {
      run.notes.push_back("TARPON SERVER shared penalty for source " + source +
                          ": failed sign-ons, refused for " +
                          std::to_string(seconds) +
                          " seconds by every "
                          "gateway of the store");
    }
  }
  for (std::string& note : store_.TakeNotes()) run.notes.push_back(note);
  const uint64_t fallbacks = store_.GetFallbacks();
  const uint64_t counted = fallbacksCounted_.exchange(fallbacks);
  if (metrics_ != nullptr && fallbacks > counted) {
    metrics_->sharedStateFallbacks->Increment(fallbacks - counted);
  }
  return run;
}

EngineRun AccountGuard::Guarded(const std::string& options,
                                const Runner& runner) {
  RequestAccount account;
  if (!limits_.IsOn() || !read_request_account(options.c_str(), &account)) {
    return runner(options);
  }
  const std::string key = AccountKey(account.user);
  int held = store_.Check(key);
  if (held > 0) {
    EngineRun refused;
    refused.returnCode = TARPON_RC_ACCOUNT_HELD;
    refused.text =
        "\n" + AccountHeldText(account.user, account.destination, held) + "\n";
    refused.logText =
        "user(" + account.user + ") @host(" + account.destination + ") ";
    refused.notes.push_back(
        AccountHeldText(account.user, account.destination, held));
    if (metrics_ != nullptr) metrics_->accountChangesHeld->Increment();
    return refused;
  }
  EngineRun run = runner(options);
  if (run.returnCode == kWrongPassword || run.returnCode == kUnknownUser) {
    int seconds = store_.RecordFailure(key);
    if (seconds > 0) {
      if (metrics_ != nullptr) metrics_->accountHoldsStarted->Increment();
      run.notes.push_back("TARPON SERVER hold for user " + account.user +
                          " at " + account.destination +
                          " after failed sign-ons: changes held back for " +
                          std::to_string(seconds) + " seconds");
    }
  } else if (run.returnCode == TARPON_RC_OK) {
    store_.RecordSuccess(key);
  }
  return run;
}
