#include "web/change_rules.h"

#include <cctype>

#include "comm/gateway_protocol.h"
#include "contract/account_held.h"
#include "contract/option_line.h"
#include "contract/secret.h"
#include "contract/tarpon_rc.h"

void ClearSecret(std::string* text) { WipeSecret(text); }

ChangeFields::~ChangeFields() {
  ClearSecret(&currentPassword);
  ClearSecret(&newPassword);
  ClearSecret(&confirmation);
}

namespace {

// The message key of a field's problem; missing names the field's own.
const char* MessageKey(RuleFailure rule, const char* missing) {
  switch (rule) {
    case RuleFailure::kNone:
      return "";
    case RuleFailure::kMissing:
      return missing;
    case RuleFailure::kTooShort:
      return "problemTooShort";
    case RuleFailure::kTooLong:
      return "problemTooLong";
    case RuleFailure::kBadCharacter:
      return "problemCharacters";
    case RuleFailure::kMissingClass:
      return "problemMissingClass";
  }
  return "badRequest";
}

FieldProblem Problem(const PasswordRules& rules, const std::string& value,
                     const char* field, const char* missing) {
  RuleFailure rule = CheckAgainstRules(rules, value);
  if (rule == RuleFailure::kNone) return {};
  return {rule, MessageKey(rule, missing), field};
}

}  // namespace

bool PassesUserIdCheck(const std::string& user) {
  return CheckAgainstRules(PasswordRules::HostField(), user) ==
         RuleFailure::kNone;
}

FieldProblem CheckFields(ChangeFields* fields, const PasswordRules& rules) {
  for (char& c : fields->user) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  static const PasswordRules hostField = PasswordRules::HostField();
  FieldProblem problem =
      Problem(hostField, fields->user, "user", "problemNoUser");
  if (problem.messageKey.empty()) {
    problem = Problem(hostField, fields->currentPassword, "currentPassword",
                      "problemNoCurrent");
  }
  if (problem.messageKey.empty()) {
    problem =
        Problem(rules, fields->newPassword, "newPassword", "problemNoNew");
  }
  if (problem.messageKey.empty() && fields->hasConfirmation &&
      fields->confirmation != fields->newPassword) {
    problem = {RuleFailure::kNone, "problemMismatch", "confirmation"};
  }
  return problem;
}

std::string GatewayOptions(const ChangeFields& fields,
                           const std::string& destination) {
  return option_line::Request(
      fields.user.c_str(), fields.currentPassword.c_str(),
      fields.newPassword.c_str(), destination.c_str(), nullptr);
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kChanged:
      return "changed";
    case Outcome::kInvalid:
      return "invalid";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kForbidden:
      return "forbidden";
    case Outcome::kTooLarge:
      return "too_large";
    case Outcome::kUnsupported:
      return "unsupported";
    case Outcome::kUnreachable:
      return "unreachable";
    case Outcome::kUnavailable:
      return "unavailable";
    case Outcome::kTimeout:
      return "timeout";
    case Outcome::kThrottled:
      return "throttled";
  }
  return "unknown";
}

int OutcomeStatus(Outcome outcome) {
  switch (outcome) {
    case Outcome::kChanged:
      return 200;
    case Outcome::kInvalid:
      return 400;
    case Outcome::kRefused:
      return 422;
    case Outcome::kForbidden:
      return 403;
    case Outcome::kTooLarge:
      return 413;
    case Outcome::kUnsupported:
      return 415;
    case Outcome::kUnreachable:
      return 502;
    case Outcome::kUnavailable:
      return 503;
    case Outcome::kTimeout:
      return 504;
    case Outcome::kThrottled:
      return 429;
  }
  return 500;
}

Verdict JudgeAnswer(const GatewayAnswer& answer) {
  switch (answer.failure) {
    case GatewayFailure::kNone:
      break;
    case GatewayFailure::kUnreachable:
    case GatewayFailure::kTls:
      return {Outcome::kUnreachable, "gatewayUnreachable"};
    case GatewayFailure::kClosed:
      return {Outcome::kUnavailable, "gatewayClosed"};
    case GatewayFailure::kTimeout:
      return {Outcome::kTimeout, "gatewayTimeout"};
  }
  if (answer.code == GATEWAY_RC_PROXY_REFUSED) {
    return {Outcome::kUnreachable, "serviceSetUp"};
  }
  const int host = TARPON_RC_HOST_STATUS_BASE;
  switch (answer.code) {
    case TARPON_RC_OK:
    case host + 8:  // changed; persistent sign-on not allowed
      return {Outcome::kChanged, "changed"};
    case TARPON_RC_BAD_OPTION:
    case TARPON_RC_NO_PASSWORD:
      return {Outcome::kInvalid, "badRequest"};
    case host + 1:
    case host + 2:
      return {Outcome::kRefused, "wrongCredentials", false, host + 2};
    case TARPON_RC_ACCOUNT_HELD: {
      // The gateway's own line names the wait; a page says it plainly.
      int seconds = AccountHeldSeconds(HostText(answer.text));
      return {Outcome::kThrottled, "accountHeld", false, -1,
              seconds > 0 ? seconds : 60};
    }
    case TARPON_RC_NEW_PASSWORD_COMMON:
      return {Outcome::kRefused, "newPasswordCommon", true, -1, 0,
              "newPassword"};
    case TARPON_RC_NEW_PASSWORD_CONTEXT:
      return {Outcome::kRefused, "newPasswordContext", true, -1, 0,
              "newPassword"};
    case host + 3:
      return {Outcome::kRefused, "expired"};
    case host + 4:
      return {Outcome::kRefused, "notAcceptable"};
    default:
      break;
  }
  if (answer.code > host && answer.code < host + 100) {
    return {Outcome::kRefused, "hostRefused"};
  }
  return {Outcome::kUnreachable, "hostUnavailable"};
}

std::string HostText(const std::string& engineText) {
  size_t begin = engineText.find_first_not_of(" \r\n\t");
  if (begin == std::string::npos) return "";
  size_t end = engineText.find_last_not_of(" \r\n\t");
  std::string text = engineText.substr(begin, end - begin + 1);
  // Only printable ASCII and line ends reach a page or a log.
  for (char& c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n') || u > 0x7E) c = '?';
  }
  return text;
}
