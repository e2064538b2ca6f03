// The limit per account: failed sign-ons (the host's "wrong current
// password", and "unknown user" alike, so that holds tell nothing about
// which user IDs exist) counted per user ID, from every source together
// and whatever the destination: one host has several names (a partner LU
// alias, its qualified name, a side information profile) that the gateway
// cannot tell apart before the engine resolves them, and a count per
// spelling would let a guesser past the limit. After count of them within
// the window, the gateway holds the user ID's changes back without asking
// the host, so that guessing from many addresses gets nowhere and nobody
// can make the host revoke a user ID by failing for it.
//
// The rule, the same for the table in memory and for the shared store:
// - a change while a hold is in force is refused; the refused try doubles
//   the hold (up to accountMaxSeconds) and runs it from now;
// - count failures within the window (from the first) start a hold of
//   accountSeconds; an account that has been held and fails again before
//   it is forgotten is held again at once, for twice the last hold;
// - a changed password forgets the account;
// - an account is forgotten once its window is over and its last hold
//   ended accountMaxSeconds ago.
#ifndef TARPON_GATEWAY_ACCOUNT_LIMIT_H_
#define TARPON_GATEWAY_ACCOUNT_LIMIT_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "comm/clock.h"

struct AccountLimits {
  // Two failures stay below the revocation thresholds hosts commonly use
  // (three or more in a row); a minute's hold costs a person who mistyped
  // twice little, and an hour at most keeps a patient guesser to one try
  // an hour.
  int count = 2;
  int windowSeconds = 900;
  int holdSeconds = 60;
  int maxHoldSeconds = 3600;
  bool IsOn() const { return count > 0; }
};

// Parses "count:window:seconds:max" (count at least 1, max at least
// seconds) or "off"; false, with limits unchanged, for any other text.
bool ParseAccountLimits(const char* text, AccountLimits* limits);

// Where the counts live. Every call is safe from any thread.
class AccountStore {
 public:
  virtual ~AccountStore() = default;
  // The seconds a change for key is still held back (the refused try
  // grows the hold), or 0: go ahead. A negative number: the store cannot
  // answer now.
  virtual int Check(const std::string& key) = 0;
  // Counts a failed sign-on; the seconds of the hold it starts, else 0;
  // negative when the store cannot answer.
  virtual int RecordFailure(const std::string& key) = 0;
  // The password was changed: forgets key. False when the store cannot
  // answer.
  virtual bool RecordSuccess(const std::string& key) = 0;
  // A store shared by several gateways also keeps the per-source
  // penalties: the seconds left of source's penalty, or 0; and a failed
  // sign-on from source, with the seconds of the penalty it starts, or 0.
  // This process's own penalties are the Admission's.
  virtual int SourcePenalty(const std::string& /*source*/) { return 0; }
  virtual int RecordSourceFailure(const std::string& /*source*/) { return 0; }
  // Lines for the log since the last call (a store lost or back).
  virtual std::vector<std::string> TakeNotes() { return {}; }
  // Times the store failed and memory took over.
  virtual uint64_t GetFallbacks() { return 0; }
};

// The counts in this process's memory, at most maxTracked accounts (at the
// bound the forgotten ones go, then those without a hold in force).
class MemoryAccountStore : public AccountStore {
 public:
  static constexpr size_t kDefaultMaxTracked = 100000;
  // clock must outlive the store.
  MemoryAccountStore(const AccountLimits& limits, const Clock& clock,
                     size_t maxTracked = kDefaultMaxTracked);
  int Check(const std::string& key) override;
  int RecordFailure(const std::string& key) override;
  bool RecordSuccess(const std::string& key) override;
  size_t GetTrackedCount();

 private:
  struct Record {
    int failures = 0;
    int64_t firstFailureMs = 0;
    int64_t holdEndMs = 0;
    int holdSeconds = 0;  // the last hold's length; 0: never held
    int64_t forgetMs = 0;
  };
  void SetForget(Record* record) const;
  void MakeRoom(int64_t nowMs);

  AccountLimits limits_;
  const Clock& clock_;
  size_t maxTracked_;
  std::mutex mutex_;
  std::unordered_map<std::string, Record> records_;
};

// The key of an account in a store: its user ID, whatever the destination
// (see above).
std::string AccountKey(const std::string& user);

#endif  // TARPON_GATEWAY_ACCOUNT_LIMIT_H_
