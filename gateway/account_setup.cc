#include "gateway/account_setup.h"

#include <unistd.h>

#include <cctype>

#include "gateway/account_db.h"
#include "gateway/server_check.h"

std::string ChooseStateFile(const AccountSettings& settings) {
  if (settings.stateFile == "off") return std::string();
  if (!settings.stateFile.empty()) return settings.stateFile;
  if (access(kDefaultStateFolder, W_OK) == 0) return kDefaultStateFile;
  return std::string();
}

bool AccountSetup::Open(const AccountSettings& settings,
                        const HoldPolicy& penalties, std::string* why) {
  const std::string path = ChooseStateFile(settings);
  if (!path.empty()) {
    const std::string keyFile =
        settings.keyFile.empty() ? path + ".key" : settings.keyFile;
    if (!keys_.Load(keyFile, why)) return false;
    file_ =
        FileAccountStore::Open(path, settings.limits, WallClock::Get(), why);
    if (file_ == nullptr) return false;
    where_ = "in " + path;
  } else {
    memory_ =
        std::make_unique<MemoryAccountStore>(settings.limits, WallClock::Get());
    where_ = "in memory (a restart forgets them: name -state-file)";
  }
  if (settings.shared) {
    const SharedStateAddress& address = settings.sharedAddress;
    std::string key = keys_.GetKey();
    std::string unshared;
    if (ShareAccountKey(address, &key, &unshared)) keys_ = AccountKeys(key);
    AccountStore& local = file_ != nullptr ? *file_ : *memory_;
    shared_ = std::make_unique<SharedAccountStore>(
        address, settings.limits, penalties, local, settings.gateways,
        WallClock::Get());
    where_ = "in redis://" + address.host + ":" + std::to_string(address.port) +
             "/" + std::to_string(address.database) + ", else " + where_;
  }
  return true;
}

AccountStore& AccountSetup::GetStore() {
  if (shared_ != nullptr) return *shared_;
  return file_ != nullptr ? *file_ : *memory_;
}

std::string AccountSetup::Describe() const { return where_; }

int ListHeldAccounts(AccountStore& store, std::ostream& out) {
  for (const HeldAccount& held : store.ListHeld()) {
    const int seconds = HeldSeconds(held.heldMs);
    out << held.name << " failures " << held.failures << " held "
        << (seconds < 0 ? std::string("until released")
                        : "for " + std::to_string(seconds) + " seconds")
        << "\n";
  }
  return 0;
}

int ReleaseAccount(AccountStore& store, const AccountKeys& keys,
                   const std::string& name, std::ostream& out,
                   std::string* releasedName) {
  if (!name.empty() && name[0] == '#') {
    const bool released = store.Release(name.substr(1));
    out << (released ? "released " : "not held: ") << name << "\n";
    if (released && releasedName != nullptr) *releasedName = name;
    return released ? 0 : 1;
  }
  const size_t at = name.find('@');
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  bool released = store.Release(upper);
  if (at != std::string::npos) {
    released =
        store.Release(keys.Key(upper.substr(0, at), upper.substr(at + 1))) ||
        released;
  }
  out << (released ? "released " : "not held: ") << upper << "\n";
  if (released && releasedName != nullptr) *releasedName = upper;
  return released ? 0 : 1;
}

namespace {

void CheckStateFile(const AccountSettings& settings, CheckReport* report) {
  const std::string path = ChooseStateFile(settings);
  if (path.empty()) {
    report->Warn(
        "account limit: counts in memory, which a restart forgets: "
        "name -state-file, or make " +
        std::string(kDefaultStateFolder));
    return;
  }
  // A check makes nothing: a file not there yet is made at start.
  if (access(path.c_str(), F_OK) != 0) {
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : path.substr(0, slash);
    if (access(folder.empty() ? "/" : folder.c_str(), W_OK) == 0) {
      report->Ok("account limit: state file " + path + ": made at start in " +
                 folder);
    } else {
      report->Fail("account limit: state file " + path +
                   ": cannot be made in " + folder);
    }
    return;
  }
  std::string why;
  auto store =
      FileAccountStore::Open(path, settings.limits, WallClock::Get(), &why);
  if (store == nullptr) {
    report->Fail("account limit: state file " + why);
    return;
  }
  report->Ok("account limit: state file " + path + " opens, " +
             std::to_string(store->ListHeld().size()) + " user IDs held");
}

void CheckSharedStore(const AccountSettings& settings, CheckReport* report) {
  const SharedStateAddress& address = settings.sharedAddress;
  const std::string where = "redis://" + address.host + ":" +
                            std::to_string(address.port) + "/" +
                            std::to_string(address.database);
  AccountKeys keys;
  std::string key = keys.GetKey();
  std::string why;
  if (!ShareAccountKey(address, &key, &why)) {
    report->Warn("shared state " + where + ": does not answer (" + why +
                 "): each gateway counts alone, granting a " +
                 std::to_string(settings.gateways) + "th of the limit");
    return;
  }
  const HoldPolicy& policy = settings.limits.policy;
  const std::string away = "while it is away each of the " +
                           std::to_string(settings.gateways) +
                           " gateways (-shared-gateways) counts a failure as " +
                           std::to_string(settings.gateways);
  if (policy.count - policy.ownerTries < settings.gateways) {
    report->Warn("shared state " + where + ": answers; " + away +
                 ", so that only owners' devices may try then");
  } else {
    report->Ok("shared state " + where + ": answers; " + away);
  }
}

}  // namespace

void CheckAccountSettings(const AccountSettings& settings,
                          CheckReport* report) {
  const HoldPolicy& policy = settings.limits.policy;
  if (!policy.IsOn()) return;
  if (policy.IsTimed()) {
    report->Warn("account limit " + FormatHoldPolicy(policy) +
                 ": holds end by time, after which a guesser has " +
                 std::to_string(policy.count) +
                 " more tries: unless the host forgets failures as fast, "
                 "use -accountlimit " +
                 std::to_string(policy.count));
  }
  CheckStateFile(settings, report);
  if (settings.shared) CheckSharedStore(settings, report);
}
