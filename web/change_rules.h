// What tarpon-web checks before a change goes to the gateway, and how the
// gateway's answer becomes an HTTP status, a message and an outcome. No
// I/O: the server and the page both ask here.
#ifndef TARPON_WEB_CHANGE_RULES_H_
#define TARPON_WEB_CHANGE_RULES_H_

#include <string>
#include <vector>

#include "contract/host_field.h"
#include "contract/secret.h"
#include "gateway_client/gateway_exchange.h"
#include "web/outcome.h"
#include "web/password_rules.h"

// The longest user ID and password the host takes and the characters it
// carries (contract/host_field.h). Anything else (a blank, a sign that
// would start an option) never reaches the gateway's option line.
constexpr size_t kWebFieldMaxLength = kHostFieldLength;
// True when a (checked, upper-cased) user ID is one the host could hold:
// only such a one may reach a log.
bool PassesUserIdCheck(const std::string& user);

// One change as the form or the API gives it; the passwords are wiped by
// their type.
struct ChangeFields {
  std::string user;
  Secret currentPassword;
  Secret newPassword;
  bool hasConfirmation = false;  // the form has one, the API none
  Secret confirmation;
  std::string destination;  // "" for the default
  // The API's "destinations": every destination of one change, in order;
  // empty when the request names one (or none) in "destination".
  std::vector<std::string> destinations;
  // The page's hosts came back with none ticked.
  bool noDestination = false;
};

// The first problem that stops a change before the gateway: the rule a
// field broke (kNone for the confirmation's mismatch) and the message key
// (web/assets/i18n/*.json), "" when the fields may go.
struct FieldProblem {
  RuleFailure rule = RuleFailure::kNone;
  std::string messageKey;
  const char* field = "";  // the form's name of the field at fault
  // For kMissingClass and kMissingDigit: the index of the rules' required
  // entry the new password lacks.
  int missingEntry = -1;
};

// The user ID and the current password hold to the host's field rule, the
// new password to the destination's rules. The user ID is upper-cased in
// place, as the host keeps it.
FieldProblem CheckFields(ChangeFields* fields, const PasswordRules& rules);

// The engine's options for a checked change: " -u U -p P -np N -s D".
Secret GatewayOptions(const ChangeFields& fields,
                      const std::string& destination);

// The verdict for a gateway's answer: the outcome, the message key, and
// what a person or a program is shown. An unknown user ID and a wrong
// current password are shown alike (one message, one code, no host text),
// so that the page tells nobody which user IDs exist.
struct Verdict {
  Outcome outcome;
  std::string messageKey;
  bool showsHostText = true;
  int shownCode = -1;         // -1: the gateway's code as it came
  int retryAfterSeconds = 0;  // 0: no Retry-After
  const char* field = "";     // the form's field the message belongs to
};
Verdict JudgeAnswer(const GatewayAnswer& answer);

// The engine's text as a page or a log may show it: without surrounding
// blanks and blank lines, every byte but printable ASCII and line ends as
// "?".
std::string HostText(const std::string& engineText);

#endif  // TARPON_WEB_CHANGE_RULES_H_
