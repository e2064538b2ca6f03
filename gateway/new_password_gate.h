// The gateway's check of every new password before any host is asked:
// against the password lists (-blocklist, the packaged list by default),
// the words of its context (the user ID, the destination's names, the
// service's name, -blockwords) and runs and sequences. A refused change is
// answered with its own code and one line, and no conversation is held,
// so no failed sign-on is counted.
//
// The checker in force is process-wide: the gateway loads it at start
// (SetNewPasswordCheck) and again on SIGHUP (ReloadNewPasswordCheck);
// requests on any thread take it (GetNewPasswordCheck) and keep what they
// took for the check, so that a reload never pulls a list from under one.
#ifndef TARPON_GATEWAY_NEW_PASSWORD_GATE_H_
#define TARPON_GATEWAY_NEW_PASSWORD_GATE_H_

#include <memory>
#include <string>
#include <vector>

#include "blocklist/blocklist.h"

class Counter;
class GatewayMetrics;

// The list the package installs, loaded when no -blocklist names one and
// the file is there.
extern const char kDefaultBlocklist[];

// What the command line asks for.
struct NewPasswordSettings {
  std::vector<std::string> lists;      // -blocklist FILE, in order
  bool listsOff = false;               // -blocklist off: no list at all
  std::vector<std::string> wordFiles;  // -blockwords FILE
  std::string service;                 // -S: one of the context's words
  // Where the packaged list is looked for; kDefaultBlocklist normally.
  std::string defaultList = kDefaultBlocklist;
};

// The lists that settings name: those given, or the default list when it
// exists and none is given, or none with listsOff.
std::vector<std::string> ListsToLoad(const NewPasswordSettings& settings);

// A checker of the lists and words settings name, each file opened and
// checked whole; nullptr with one line in *error naming the file at fault.
std::shared_ptr<const PasswordChecker> LoadNewPasswordCheck(
    const NewPasswordSettings& settings, std::string* error);

// Puts checker in force (nullptr: no check at all) with settings to reload
// it from, and metrics to count refusals in (may be null). Any thread.
void SetNewPasswordCheck(std::shared_ptr<const PasswordChecker> checker,
                         const NewPasswordSettings& settings,
                         GatewayMetrics* metrics);
std::shared_ptr<const PasswordChecker> GetNewPasswordCheck();

// Loads again from the settings last set; on failure the checker in force
// stays. The line to log either way ("TARPON SERVER ...").
std::string ReloadNewPasswordCheck();

// The refusal of a change: its code (TARPON_RC_NEW_PASSWORD_COMMON or
// TARPON_RC_NEW_PASSWORD_CONTEXT) and its line, or code 0 when the new
// password passes or no checker is in force. destinations are the names
// the request's destination goes by. Counts a refusal in the metrics set.
struct NewPasswordRefusal {
  int code = 0;
  std::string line;
};
NewPasswordRefusal CheckNewPassword(
    const std::string& user, const std::string& newPassword,
    const std::vector<std::string>& destinations);

// The refusal's line for a result (refusal not kNone).
NewPasswordRefusal RefusalFor(const CheckResult& result);

#endif  // TARPON_GATEWAY_NEW_PASSWORD_GATE_H_
