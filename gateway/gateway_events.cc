#include "gateway/gateway_events.h"

#include <sys/stat.h>

#include <cstdlib>
#include <utility>

#include "contract/tarpon_rc.h"

namespace {

const char kHoldNote[] = "TARPON SERVER hold for user ";
const char kHeldFor[] = " held back for ";
const char kReleasedNote[] = " released by a change";

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

bool ReadReleaseNote(const std::string& note, std::string* user,
                     std::string* destination) {
  const size_t prefix = sizeof kHoldNote - 1;
  const size_t suffix = sizeof kReleasedNote - 1;
  if (note.size() <= prefix + suffix ||
      note.compare(0, prefix, kHoldNote) != 0 ||
      note.compare(note.size() - suffix, suffix, kReleasedNote) != 0) {
    return false;
  }
  const std::string named = note.substr(prefix, note.size() - prefix - suffix);
  const size_t at = named.find(" at ");
  if (at == std::string::npos || named.find(' ') != at) return false;
  *user = named.substr(0, at);
  *destination = named.substr(at + 4);
  return !user->empty() && !destination->empty() &&
         destination->find(' ') == std::string::npos;
}

void ReportEngineRun(EventSink* sink, EngineRunReport* report,
                     const EngineRun& run) {
  if (sink == nullptr || run.refused) return;
  if (IsHostAnswer(run.returnCode) && sink->HasEventHooks()) {
    sink->OnChange(report->user, report->destination, run.returnCode, run.text,
                   report->source, report->operation, report->parts);
  }
  for (const std::string& note : run.notes) {
    std::string user, destination;
    int seconds = 0;
    if (ReadHoldNote(note, &user, &destination, &seconds)) {
      sink->OnHold(user, destination, seconds, report->source,
                   report->operation);
    } else if (ReadReleaseNote(note, &user, &destination)) {
      sink->OnRelease(user, destination, kReleasedByChange, report->operation);
    }
  }
  if (run.returnCode == TARPON_RC_OK && !report->newPassword.empty()) {
    sink->OnSync(report->user, report->destination,
                 std::move(report->newPassword), report->operation);
  }
}

bool SpoolReleaseEvent(const EventSettings& settings, const std::string& name,
                       std::string* error) {
  struct stat status;
  if (settings.eventHooks.empty() &&
      stat(settings.spoolFolder.c_str(), &status) != 0) {
    return true;
  }
  const size_t at = name.find('@');
  const std::string user = name.substr(0, at);
  const std::string host =
      at == std::string::npos ? std::string() : name.substr(at + 1);
  return SpoolEventBeside(settings.spoolFolder, settings.spoolLimits,
                          ReleaseEvent(user, host, kReleasedByAdministrator),
                          error);
}
