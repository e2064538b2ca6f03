// Runs a gateway request's host conversation under the limit per account:
// a try for the user ID at the host the conversation reaches is reserved
// in the store before the host is asked and settled with the host's
// verdict after it, so that simultaneous guesses, from any number of
// sources and gateways, get no more tries than the limit. Safe from any
// thread; the store is the only shared state.
#ifndef TARPON_GATEWAY_ACCOUNT_GUARD_H_
#define TARPON_GATEWAY_ACCOUNT_GUARD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "gateway/account_limit.h"
#include "gateway/engine_runner.h"

class GatewayMetrics;

// The host a conversation reaches, as the node resolves the partner LU
// (its qualified name, from an alias or a symbolic destination): one host
// however a request names it. Empty when it cannot be told.
using HostResolver = std::function<std::string(
    const std::string& partnerLu, const std::string& symbolicDestination)>;

class AccountGuard {
 public:
  // A try the guard reserved, or the answer that holds the request back.
  struct Ticket {
    bool granted = false;
    EngineRun refusal;  // when not granted
    std::string key;
    int64_t token = 0;
    std::string user;
    std::string host;
    std::string source;
    std::string sourceTag;
  };

  // store, keys and metrics (may be null) must outlive the guard. leaseMs:
  // the longest a conversation may hold its try (then it counts as a
  // failure).
  AccountGuard(const AccountLimits& limits, AccountStore& store,
               const AccountKeys& keys, GatewayMetrics* metrics,
               int64_t leaseMs);

  // Before the conversation of user at host from source (the client's key,
  // as the penalties count it); ownerDevice when a trusted front end
  // vouches for the owner's device. A refusal is TARPON_RC_ACCOUNT_HELD
  // with AccountHeldText, or, for a source under a shared penalty, a run
  // marked refused.
  Ticket Reserve(const std::string& user, const std::string& host,
                 const std::string& source, bool ownerDevice);
  // After it: counts the host's verdict in *run, with a note for a hold
  // that starts.
  void Settle(const Ticket& ticket, EngineRun* run);
  // The name of user at host wherever the host has not recognised it:
  // its keyed hash.
  std::string Hidden(const std::string& user, const std::string& host) const;

  const AccountLimits& GetLimits() const { return limits_; }
  AccountStore& GetStore() { return store_; }

  // The engine's return codes that count as failed sign-ons, and the
  // host's "unknown user".
  static bool IsFailedSignOn(int returnCode);
  static bool IsUnknownUser(int returnCode);

 private:
  EngineRun Held(const std::string& user, const std::string& host,
                 int64_t heldMs);
  void TakeStoreNotes(EngineRun* run);

  AccountLimits limits_;
  AccountStore& store_;
  const AccountKeys& keys_;
  GatewayMetrics* metrics_;
  int64_t leaseMs_;
  std::atomic<uint64_t> fallbacksCounted_{0};
};

#endif  // TARPON_GATEWAY_ACCOUNT_GUARD_H_
