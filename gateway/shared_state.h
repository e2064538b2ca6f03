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
#include <vector>

#include "comm/clock.h"
#include "gateway/account_limit.h"

struct redisContext;

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

// Redis with the memory of this process behind it. A failed or late
// command makes it count in memory, report it once (TakeNotes) and try the
// store again at most once a second; the first answer back is reported
// too. Counts made in memory meanwhile stay there.
class SharedAccountStore : public AccountStore {
 public:
  // penalties: the per-source penalties' count, window, first and longest
  // penalty (count 0: none shared).
  SharedAccountStore(const SharedStateAddress& address,
                     const AccountLimits& limits,
                     const AccountLimits& penalties, const Clock& clock);
  ~SharedAccountStore() override;
  SharedAccountStore(const SharedAccountStore&) = delete;
  SharedAccountStore& operator=(const SharedAccountStore&) = delete;

  int Check(const std::string& key) override;
  int RecordFailure(const std::string& key) override;
  bool RecordSuccess(const std::string& key) override;
  int SourcePenalty(const std::string& source) override;
  int RecordSourceFailure(const std::string& source) override;

  // The lines to log since the last call: the store lost or back.
  std::vector<std::string> TakeNotes() override;
  // Times the store failed and memory took over.
  uint64_t GetFallbacks() override;
  bool IsUsingStore();

 private:
  // Runs the script for op on key; its number, or -1 when the store did
  // not answer in time (then the context is dropped).
  long long Script(const char* op, const std::string& key,
                   const AccountLimits& limits);
  bool Connect(std::string* why);
  void Drop(const std::string& why);

  SharedStateAddress address_;
  AccountLimits limits_;
  AccountLimits penalties_;
  const Clock& clock_;
  MemoryAccountStore memory_;
  std::mutex mutex_;
  redisContext* context_ = nullptr;
  std::string sha_;
  bool down_ = false;  // reported down, not yet back
  int64_t nextTryMs_ = 0;
  uint64_t fallbacks_ = 0;
  std::vector<std::string> notes_;
};

#endif  // TARPON_GATEWAY_SHARED_STATE_H_
