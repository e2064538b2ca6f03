#include "gateway/new_password_gate.h"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "blocklist/blocklist.h"
#include "contract/tarpon_rc.h"
#include "contract/thread_annotations.h"
#include "gateway/gateway_metrics.h"

#ifndef TARPON_DEFAULT_BLOCKLIST
#error "TARPON_DEFAULT_BLOCKLIST is not defined"
#endif

const char kDefaultBlocklist[] = TARPON_DEFAULT_BLOCKLIST;

namespace {

// The product's own name is a context word wherever it runs.
constexpr char kProductName[] = "TARPON";

// What SetNewPasswordCheck put in force. The checker and the service's
// name are swapped whole (std::atomic_load and std::atomic_store on the
// shared pointers); the settings are read only by a reload, under the
// lock.
std::shared_ptr<const PasswordChecker> checkInForce;
std::shared_ptr<const std::string> serviceInForce;
Mutex settingsLock;
NewPasswordSettings settingsInForce TARPON_GUARDED_BY(settingsLock);
std::atomic<GatewayMetrics*> metricsInForce{nullptr};

std::string ListSummary(const PasswordChecker& checker) {
  uint64_t entries = 0;
  for (const auto& list : checker.GetLists()) entries += list->GetCount();
  return std::to_string(checker.GetLists().size()) + " lists, " +
         std::to_string(entries) + " entries, " +
         std::to_string(checker.GetSiteWordCount()) + " site words";
}

}  // namespace

std::vector<std::string> ListsToLoad(const NewPasswordSettings& settings) {
  if (settings.listsOff) return {};
  if (!settings.lists.empty()) return settings.lists;
  if (access(settings.defaultList.c_str(), F_OK) != 0) return {};
  return {settings.defaultList};
}

std::shared_ptr<const PasswordChecker> LoadNewPasswordCheck(
    const NewPasswordSettings& settings, std::string* error) {
  std::vector<std::shared_ptr<const BlocklistFile>> lists;
  for (const std::string& path : ListsToLoad(settings)) {
    auto file = BlocklistFile::Open(path, error);
    if (file == nullptr) return nullptr;
    lists.push_back(std::move(file));
  }
  std::vector<std::string> words;
  for (const std::string& path : settings.wordFiles) {
    if (!ReadWords(path, &words, error)) return nullptr;
  }
  return std::make_shared<const PasswordChecker>(std::move(lists),
                                                 std::move(words));
}

void SetNewPasswordCheck(std::shared_ptr<const PasswordChecker> checker,
                         const NewPasswordSettings& settings,
                         GatewayMetrics* metrics) {
  {
    MutexLock lock(&settingsLock);
    settingsInForce = settings;
  }
  metricsInForce.store(metrics);
  std::atomic_store(&serviceInForce,
                    std::make_shared<const std::string>(settings.service));
  std::atomic_store(&checkInForce, std::move(checker));
}

std::shared_ptr<const PasswordChecker> GetNewPasswordCheck() {
  return std::atomic_load(&checkInForce);
}

std::string ReloadNewPasswordCheck() {
  MutexLock lock(&settingsLock);
  if (GetNewPasswordCheck() == nullptr) return "";
  std::string error;
  auto fresh = LoadNewPasswordCheck(settingsInForce, &error);
  if (fresh == nullptr) {
    return "TARPON SERVER new-password lists not reloaded (" + error +
           "); the lists in use stay";
  }
  std::string summary = ListSummary(*fresh);
  std::atomic_store(&checkInForce, std::move(fresh));
  return "TARPON SERVER new-password lists reloaded: " + summary;
}

NewPasswordRefusal RefusalFor(const CheckResult& result) {
  switch (result.refusal) {
    case Refusal::kNone:
      break;
    case Refusal::kCommon:
      return {TARPON_RC_NEW_PASSWORD_COMMON,
              "TARPON SERVER E0031 : new password refused: it is on the list "
              "of common passwords; choose a password that is not on the "
              "list of common passwords"};
    case Refusal::kSequence:
      return {TARPON_RC_NEW_PASSWORD_COMMON,
              "TARPON SERVER E0031 : new password refused: it is " +
                  result.why +
                  "; choose a password that is not a run or a sequence such "
                  "as AAAAAAAA, 12345678 or QWERTYUI"};
    case Refusal::kContext:
      return {TARPON_RC_NEW_PASSWORD_CONTEXT,
              "TARPON SERVER E0032 : new password refused: it contains " +
                  result.why +
                  "; choose a password that does not contain the user ID, "
                  "the host's name or the service's name"};
  }
  return {};
}

NewPasswordRefusal CheckNewPassword(
    const std::string& user, const std::string& newPassword,
    const std::vector<std::string>& destinations) {
  std::shared_ptr<const PasswordChecker> checker = GetNewPasswordCheck();
  if (checker == nullptr) return {};
  std::vector<ContextWord> context = {{user, "the user ID"},
                                      {kProductName, "the service's name"}};
  for (const std::string& name : destinations) {
    context.push_back({name, "the destination's name"});
  }
  std::shared_ptr<const std::string> service =
      std::atomic_load(&serviceInForce);
  if (service != nullptr) context.push_back({*service, "the service's name"});
  CheckResult result = checker->Check(newPassword, context);
  GatewayMetrics* metrics = metricsInForce.load();
  if (metrics != nullptr) metrics->CountNewPasswordRefusal(result.refusal);
  return RefusalFor(result);
}
