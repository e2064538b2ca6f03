#include "gateway/gateway_events.h"

#include <cstdlib>

#include "contract/secret.h"
#include "contract/tarpon_rc.h"
#include "engine/request_account.h"

namespace {

const char kHoldNote[] = "TARPON SERVER hold for user ";
const char kHeldFor[] = "changes held back for ";

}  // namespace

bool IsHostAnswer(int rc) {
  return rc == TARPON_RC_OK || rc == TARPON_RC_HOST_FORMAT_ERROR ||
         (rc > TARPON_RC_HOST_STATUS_BASE && tarpon_exit_status(rc) > 200 &&
          tarpon_exit_status(rc) < 255);
}

bool ReadHoldNote(const std::string& note, std::string* user,
                  std::string* destination, int* seconds) {
  const size_t prefix = sizeof kHoldNote - 1;
  if (note.compare(0, prefix, kHoldNote) != 0) return false;
  size_t at = note.find(" at ", prefix);
  size_t after = at == std::string::npos ? at : note.find(' ', at + 4);
  size_t held = note.find(kHeldFor);
  // A hold that only a success or a release ends: -1.
  const bool untilCleared =
      note.find("held back until a success or a release") != std::string::npos;
  if (after == std::string::npos ||
      (held == std::string::npos && !untilCleared)) {
    return false;
  }
  long value =
      untilCleared
          ? -1
          : std::strtol(note.c_str() + held + sizeof kHeldFor - 1, nullptr, 10);
  if (value == 0 || value < -1 || value > 86400 * 366) return false;
  *user = note.substr(prefix, at - prefix);
  *destination = note.substr(at + 4, after - at - 4);
  *seconds = static_cast<int>(value);
  return !user->empty() && !destination->empty();
}

void ReportEngineRun(EventSink* sink, const std::string& options,
                     const EngineRun& run, const std::string& source,
                     int sessionId) {
  if (sink == nullptr || run.refused) return;
  const std::string operation = std::to_string(sessionId);
  if (IsHostAnswer(run.returnCode) && sink->HasEventHooks()) {
    RequestAccount account;
    if (read_request_account(options.c_str(), &account)) {
      sink->OnChange(account.user, account.destination, run.returnCode,
                     run.text, source, operation);
    }
  }
  for (const std::string& note : run.notes) {
    std::string user, destination;
    int seconds = 0;
    if (ReadHoldNote(note, &user, &destination, &seconds)) {
      sink->OnHold(user, destination, seconds, source);
    }
  }
  if (run.returnCode == TARPON_RC_OK && sink->HasSyncHooks()) {
    RequestAccount account;
    std::string password;
    if (read_request_new_password(options.c_str(), &account, &password)) {
      sink->OnSync(account.user, account.destination, &password, operation);
    }
    WipeSecret(&password);
  }
}
