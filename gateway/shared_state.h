// The counts of the limit per account in Redis, so that any number of
// gateways, balanced in any way, give one allowance; and the fallback to
// this gateway's own memory while the store is down or slow.
//
// Each account is one hash under "<prefix>account:USER", and
// each client source's penalty one under "<prefix>source:ADDRESS", updated
// by one server-side script (one round trip, atomic, the server's clock),
// that expires by itself when it would be forgotten.
#ifndef TARPON_GATEWAY_SHARED_STATE_H_
#define TARPON_GATEWAY_SHARED_STATE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "comm/clock.h"
#include "contract/thread_annotations.h"
#include "gateway/account_limit.h"

struct redisContext;
struct redisReply;

// Where the store is: "redis://HOST[:PORT][/DB]", HOST a name, an IPv4
// address or a bracketed IPv6 address.
struct SharedStateAddress {
  std::string host;
  int port = 6379;
  int database = 0;
  std::string password;  // from the password file; empty: none
  std::string prefix = "tarpon:";
  // The most a command may take before the store counts as down.
  int deadlineMs = 50;
};

// Parses text into *address (host, port, database); false for any other
// text, *address unchanged.
bool ParseSharedStateUrl(const std::string& text, SharedStateAddress* address);

// Reads the password file's first line into address->password; false with
// the reason in *why.
bool ReadSharedStatePassword(const std::string& path,
                             SharedStateAddress* address, std::string* why);

// The key of the keyed hashes (gateway/account_limit.h AccountKeys) that
// every gateway of the store shares: the one kept in the store, or key,
// which the store then keeps, when there is none yet. False with the
// reason in *why when the store does not answer.
bool ShareAccountKey(const SharedStateAddress& address, std::string* key,
                     std::string* why);

// Redis with this gateway's own store behind it (its state file, or
// memory). A failed or late command makes it count in the local store,
// report it once (TakeNotes) and try Redis again at most once a second;
// the first answer back is reported too. While Redis is away each failure
// counted locally weighs as many as the gateways that share the store, so
// that together they stay within the limit; the local store keeps the
// count Redis last gave, and Redis takes the local count back (at least
// it) when it answers again.
class SharedAccountStore : public AccountStore {
 public:
  // penalties: the per-source penalties' rule (off: none shared). local
  // and clock must outlive the store; gateways at least 1.
  SharedAccountStore(const SharedStateAddress& address,
                     const AccountLimits& limits, const HoldPolicy& penalties,
                     AccountStore& local, int gateways, const Clock& clock);
  ~SharedAccountStore() override;
  SharedAccountStore(const SharedAccountStore&) = delete;
  SharedAccountStore& operator=(const SharedAccountStore&) = delete;

  // A try granted by the local store has a negative token.
  Answer Reserve(const AccountTry& attempt) override;
  Answer Settle(const std::string& key, int64_t token, TryOutcome outcome,
                const std::string& label,
                const std::string& sourceTag) override;
  std::vector<HeldAccount> ListHeld() override;
  bool Release(const std::string& name) override;
  int SourcePenalty(const std::string& source) override;
  int RecordSourceFailure(const std::string& source) override;

  // The lines to log since the last call: the store lost or back.
  std::vector<std::string> TakeNotes() override;
  // Times the store failed and the local one took over.
  uint64_t GetFallbacks() override;
  bool IsUsingStore();
  // See ShareAccountKey.
  bool ShareKey(std::string* key, std::string* why);

 private:
  // Runs the script's op on key (under the prefix) with the policy and
  // args; false when the store did not answer in time (then the context
  // is dropped).
  bool Script(const std::string& key, const HoldPolicy& policy,
              const std::vector<std::string>& args, redisReply** reply)
      TARPON_REQUIRES(mutex_);
  // The same, for an answer of integers: false unless it is one.
  bool Numbers(const std::string& key, const HoldPolicy& policy,
               const std::vector<std::string>& args,
               std::vector<long long>* numbers) TARPON_REQUIRES(mutex_);
  bool Connect(std::string* why) TARPON_REQUIRES(mutex_);
  void Drop(const std::string& why) TARPON_REQUIRES(mutex_);
  std::vector<std::string> Keys() TARPON_REQUIRES(mutex_);

  SharedStateAddress address_;
  HoldPolicy policy_;
  HoldPolicy penalties_;
  AccountStore& local_;
  int gateways_;
  const Clock& clock_;
  Mutex mutex_;
  redisContext* context_ TARPON_GUARDED_BY(mutex_) = nullptr;
  std::string sha_ TARPON_GUARDED_BY(mutex_);
  bool down_ TARPON_GUARDED_BY(mutex_) = false;  // reported, not yet back
  int64_t nextTryMs_ TARPON_GUARDED_BY(mutex_) = 0;
  uint64_t fallbacks_ TARPON_GUARDED_BY(mutex_) = 0;
  std::vector<std::string> notes_ TARPON_GUARDED_BY(mutex_);
  // The counts made locally while Redis was away, for it to take back.
  std::unordered_map<std::string, int> owed_ TARPON_GUARDED_BY(mutex_);
};

#endif  // TARPON_GATEWAY_SHARED_STATE_H_
