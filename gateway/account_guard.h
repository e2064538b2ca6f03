// Runs a gateway request under the limit per account: a change for an
// account on hold is answered without reaching the host, and the host's
// verdict is counted in the store. Safe from any thread; the store is the
// only shared state.
#ifndef TARPON_GATEWAY_ACCOUNT_GUARD_H_
#define TARPON_GATEWAY_ACCOUNT_GUARD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "gateway/account_limit.h"
#include "gateway/engine_runner.h"

class GatewayMetrics;

class AccountGuard {
 public:
  using Runner = std::function<EngineRun(const std::string&)>;
  // store, metrics (may be null) and run must outlive the guard; run
  // defaults to RunGatewayRequest.
  AccountGuard(const AccountLimits& limits, AccountStore& store,
               GatewayMetrics* metrics, Runner run = RunGatewayRequest);

  // Runs options (a request's text) from source (the client's key, as
  // the penalties count it) unless its account is on hold. A refusal is
  // TARPON_RC_ACCOUNT_HELD with AccountHeldText as its text and the same
  // line in the run's notes; a hold that starts is a note too. With a
  // shared store, a source under a penalty there is refused (the run's
  // refused), and a failed sign-on counts towards the source's penalty
  // there too.
  EngineRun Run(const std::string& options,
                const std::string& source = std::string());
  // The same with run in place of the guard's runner: a request whose
  // options were processed already holds its conversation through it.
  EngineRun Run(const std::string& options, const std::string& source,
                const Runner& run);

  const AccountLimits& GetLimits() const { return limits_; }

 private:
  EngineRun Guarded(const std::string& options, const Runner& run);

  AccountLimits limits_;
  AccountStore& store_;
  GatewayMetrics* metrics_;
  Runner run_;
  std::atomic<uint64_t> fallbacksCounted_{0};
};

#endif  // TARPON_GATEWAY_ACCOUNT_GUARD_H_
