// What the limit per account needs at a start, in one place: the key of
// its keyed hashes, this gateway's own store (the state file, or memory)
// and the store shared with other gateways (Redis), and the line that says
// where the counts live. Also the administrator's -held and -release.
#ifndef TARPON_GATEWAY_ACCOUNT_SETUP_H_
#define TARPON_GATEWAY_ACCOUNT_SETUP_H_

#include <memory>
#include <ostream>
#include <string>

#include "gateway/account_limit.h"
#include "gateway/hold_policy.h"
#include "gateway/shared_state.h"

// The state file a gateway uses when none is named, when its folder is
// there (the package makes it).
inline constexpr char kDefaultStateFolder[] = "/var/lib/tarpon";
inline constexpr char kDefaultStateFile[] = "/var/lib/tarpon/tarpons.state";

struct AccountSettings {
  AccountLimits limits;
  std::string stateFile;  // empty: the default, when its folder is there;
                          // "off": memory
  std::string keyFile;    // empty: the state file's name and ".key"
  bool shared = false;
  SharedStateAddress sharedAddress;
  int gateways = 2;  // that share the store, for its spells away
};

class AccountSetup {
 public:
  // Opens the stores; false with the reason in *why (a state file named
  // but not usable, a key file not readable).
  bool Open(const AccountSettings& settings, const HoldPolicy& penalties,
            std::string* why);
  AccountStore& GetStore();
  const AccountKeys& GetKeys() const { return keys_; }
  // Where the counts live: "in /var/lib/tarpon/tarpons.state",
  // "in redis://HOST:PORT/DB, else in ...", "in memory".
  std::string Describe() const;
  bool IsInMemory() const { return file_ == nullptr; }

 private:
  AccountKeys keys_;
  std::unique_ptr<AccountStore> memory_;
  std::unique_ptr<AccountStore> file_;
  std::unique_ptr<SharedAccountStore> shared_;
  std::string where_;
};

// The state file a start uses: the named one ("off": none), else the
// default when its folder is there, else "" (memory).
std::string ChooseStateFile(const AccountSettings& settings);

class CheckReport;

// -check's lines on the limit per account: holds that end by time, where
// the counts live (memory, the state file opened, the shared store asked),
// and what each gateway grants while the shared store is away.
void CheckAccountSettings(const AccountSettings& settings, CheckReport* report);

// tarpons -held: one line per held account ("NAME failures N held for S
// seconds" or "... held until released"); tarpons -release NAME: the
// line that says what was released, and the name released ("ALICE@HOSTA",
// or "#" and a key) in *released unless it is null. The exit code's 0 when
// it worked.
int ListHeldAccounts(AccountStore& store, std::ostream& out);
int ReleaseAccount(AccountStore& store, const AccountKeys& keys,
                   const std::string& name, std::ostream& out,
                   std::string* released = nullptr);

#endif  // TARPON_GATEWAY_ACCOUNT_SETUP_H_
