// The limit per account: the host's failed sign-ons (its "wrong current
// password", and "unknown user" alike, so that holds tell nothing about
// which user IDs exist) counted for each user ID at each host, the host
// the conversation reaches whatever name the request gave it, from every
// source together. A try is reserved before the host is asked, one in
// flight at a time, and granted only while a failure would keep the
// count within the limit (gateway/hold_policy.h): by default the host sees
// at most count failures since the last success the gateway saw, however
// long a guesser waits, and the user ID stays held until a success or an
// administrator's release. Once a change through the gateway has named
// the owner, the owner's device (the source that made it, or a device a
// trusted front end vouches for) keeps a try that strangers cannot use
// up.
//
// A store key is a keyed hash of user and host (AccountKeys), never the
// typed user ID; the clear USER@HOST is kept beside it, as its label, only
// once the host has recognised the user ID.
#ifndef TARPON_GATEWAY_ACCOUNT_LIMIT_H_
#define TARPON_GATEWAY_ACCOUNT_LIMIT_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "comm/clock.h"
#include "contract/thread_annotations.h"
#include "gateway/hold_policy.h"

// The limit's rule: by default two failures (below the revocation
// thresholds hosts commonly use, three or more in a row), held until a
// success or a release, one of the two kept for the owner.
struct AccountLimits {
  HoldPolicy policy = DefaultPolicy();
  bool IsOn() const { return policy.IsOn(); }
  static HoldPolicy DefaultPolicy() {
    HoldPolicy policy;
    policy.count = 2;
    policy.ownerTries = 1;
    return policy;
  }
};

// Parses -accountlimit: what ParseHoldPolicy reads (COUNT, COUNT:FORGET or
// COUNT:WINDOW:HOLD:MAX), or "off". The owner keeps one try of a count of
// two or more. False, limits unchanged, for any other text.
bool ParseAccountLimits(const char* text, AccountLimits* limits);

// One account's record in a store.
struct AccountRecord {
  HoldState hold;
  std::string label;  // "USER@HOST" once the host knew the user ID, else ""
  std::string owner;  // the tag of the source that last changed it
};

// A try for an account: the keyed hash of the user ID and host, the tag of
// the source it comes from, whether a trusted front end vouches for the
// owner's device, its weight in failures and its lease.
struct AccountTry {
  std::string key;
  std::string sourceTag;
  bool ownerDevice = false;
  int weight = 1;
  int64_t leaseMs = 0;
};

// The step of every store on one record: 0 when the try is granted (and
// reserved), else how long it is held back (kUntilCleared: until cleared).
// *started (unless null): the seconds of a hold that the lease of an
// earlier try, over unsettled, started as its failure (-1: until cleared),
// else 0.
int64_t ReserveAccountTry(const HoldPolicy& policy, AccountRecord* record,
                          const AccountTry& attempt, int64_t nowMs,
                          int* started = nullptr);
// Ends the try in flight. label: the clear name to keep once the host knew
// the user ID ("" otherwise); sourceTag becomes the owner on a change. The
// seconds of a hold it starts (-1: until cleared), else 0. *held (unless
// null) tells how strangers' tries fared: released by a change, or held
// back from now on while the owner's device keeps its try.
struct StrangersHold {
  bool released = false;
  int started = 0;  // seconds, -1 until cleared; 0: none
};
int SettleAccountTry(const HoldPolicy& policy, AccountRecord* record,
                     int64_t token, TryOutcome outcome,
                     const std::string& label, const std::string& sourceTag,
                     int64_t nowMs, StrangersHold* held = nullptr);

// An account held now, as a store lists it.
struct HeldAccount {
  std::string name;  // the label, else the key
  int64_t heldMs = 0;
  int failures = 0;
};

// Adds key's record to *held when it holds a stranger's try at nowMs
// (after bringing it to nowMs).
void AddIfHeld(const HoldPolicy& policy, const std::string& key,
               AccountRecord* record, int64_t nowMs,
               std::vector<HeldAccount>* held);

// Where the counts live. Every call is safe from any thread.
class AccountStore {
 public:
  struct Answer {
    int64_t heldMs = 0;     // Reserve: 0 granted, else the hold
    int64_t token = 0;      // Reserve: the granted try's, for its Settle
    int failures = 0;       // the record's count after the call
    int holdStarted = 0;    // a hold's seconds, -1 until cleared: what
                            // Settle's failure or, in Reserve, an earlier
                            // try's lease that ended unsettled started
    bool released = false;  // Settle: a change ended a hold (see above)
    int strangersHeld = 0;  // Settle: strangers held from now on (above)
    bool failed = false;    // the store could not answer
  };
  virtual ~AccountStore() = default;
  virtual Answer Reserve(const AccountTry& attempt) = 0;
  virtual Answer Settle(const std::string& key, int64_t token,
                        TryOutcome outcome, const std::string& label,
                        const std::string& sourceTag) = 0;
  // The accounts held now; an administrator's release of one by its
  // name (label) or key. False when no record matched or the store failed.
  virtual std::vector<HeldAccount> ListHeld() = 0;
  virtual bool Release(const std::string& name) = 0;
  // For a store that stands behind a shared one: the record's count, and
  // the count set to what the shared store counted.
  virtual int CountOf(const std::string& /*key*/) { return 0; }
  virtual bool Mirror(const std::string& /*key*/, int /*failures*/) {
    return true;
  }
  // A store shared by several gateways also keeps the per-source
  // penalties: the seconds left of source's penalty, or 0; and a failed
  // sign-on from source, with the seconds of the penalty it starts, or 0.
  // This process's own penalties are the Admission's.
  virtual int SourcePenalty(const std::string& /*source*/) { return 0; }
  virtual int RecordSourceFailure(const std::string& /*source*/) { return 0; }
  // Lines for the log since the last call (a store lost or back).
  virtual std::vector<std::string> TakeNotes() { return {}; }
  // Times the store failed and another took over.
  virtual uint64_t GetFallbacks() { return 0; }
};

// The counts in this process's memory, at most maxTracked accounts: at the
// bound the forgotten go; a new account finds no room only when every
// record still counts, and is then held (a full table never forgets a
// count).
class MemoryAccountStore : public AccountStore {
 public:
  static constexpr size_t kDefaultMaxTracked = 100000;
  // clock must outlive the store.
  MemoryAccountStore(const AccountLimits& limits, const Clock& clock,
                     size_t maxTracked = kDefaultMaxTracked);
  Answer Reserve(const AccountTry& attempt) override;
  Answer Settle(const std::string& key, int64_t token, TryOutcome outcome,
                const std::string& label,
                const std::string& sourceTag) override;
  std::vector<HeldAccount> ListHeld() override;
  bool Release(const std::string& name) override;
  int CountOf(const std::string& key) override;
  bool Mirror(const std::string& key, int failures) override;
  size_t GetTrackedCount();

 private:
  bool MakeRoom(int64_t nowMs) TARPON_REQUIRES(mutex_);

  HoldPolicy policy_;
  const Clock& clock_;
  size_t maxTracked_;
  Mutex mutex_;
  std::unordered_map<std::string, AccountRecord> records_
      TARPON_GUARDED_BY(mutex_);
};

// The keyed hash that stands for a user ID (and a source) wherever the
// host has not recognised it: HMAC-SHA-256 under a key of 32 bytes, the
// first 16 bytes in hex.
class AccountKeys {
 public:
  // A key of random bytes.
  AccountKeys();
  explicit AccountKeys(const std::string& key) : key_(key) {}
  // Reads the key file, or makes it (mode 0600) when it does not exist;
  // false with the reason in *why.
  bool Load(const std::string& path, std::string* why);
  std::string Hash(const std::string& text) const;
  // The store key of user at host.
  std::string Key(const std::string& user, const std::string& host) const {
    return Hash(user + "@" + host);
  }
  const std::string& GetKey() const { return key_; }

 private:
  std::string key_;
};

#endif  // TARPON_GATEWAY_ACCOUNT_LIMIT_H_
