#include "web/change_rules.h"

#include <cctype>

#include "comm/gateway_protocol.h"
#include "contract/account_held.h"
#include "contract/option_line.h"
#include "contract/secret.h"
#include "contract/tarpon_rc.h"

namespace {

// The message key of a field's problem; missing names the field's own.
const char* MessageKey(RuleFailure rule, const char* missing) {
  switch (rule) {
    case RuleFailure::kNone:
      return "";
    case RuleFailure::kMissing:
      return missing;
    case RuleFailure::kTooShort:
      return TARPON_MESSAGE_KEY("problemTooShort");
    case RuleFailure::kTooLong:
      return TARPON_MESSAGE_KEY("problemTooLong");
    case RuleFailure::kBadCharacter:
      return TARPON_MESSAGE_KEY("problemCharacters");
    case RuleFailure::kMissingClass:
      return TARPON_MESSAGE_KEY("problemMissingClass");
    case RuleFailure::kMissingDigit:
      return TARPON_MESSAGE_KEY("problemMissingDigit");
  }
  return TARPON_MESSAGE_KEY("badRequest");
}

FieldProblem Problem(const PasswordRules& rules, const std::string& value,
                     const char* field, const char* missing) {
  size_t entry = 0;
  RuleFailure rule = CheckAgainstRules(rules, value, &entry);
  if (rule == RuleFailure::kNone) return {};
  bool lacks =
      rule == RuleFailure::kMissingClass || rule == RuleFailure::kMissingDigit;
  return {rule, MessageKey(rule, missing), field,
          lacks ? static_cast<int>(entry) : -1};
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
  FieldProblem problem = Problem(hostField, fields->user, "user",
                                 TARPON_MESSAGE_KEY("problemNoUser"));
  if (problem.messageKey.empty()) {
    problem =
        Problem(hostField, fields->currentPassword.Text(), "currentPassword",
                TARPON_MESSAGE_KEY("problemNoCurrent"));
  }
  if (problem.messageKey.empty()) {
    problem = Problem(rules, fields->newPassword.Text(), "newPassword",
                      TARPON_MESSAGE_KEY("problemNoNew"));
  }
  if (problem.messageKey.empty() && fields->hasConfirmation &&
      fields->confirmation != fields->newPassword) {
    problem = {RuleFailure::kNone, TARPON_MESSAGE_KEY("problemMismatch"),
               "confirmation", -1};
  }
  return problem;
}

Secret GatewayOptions(const ChangeFields& fields,
                      const std::string& destination) {
  return Secret(option_line::Request(
      fields.user.c_str(), fields.currentPassword.c_str(),
      fields.newPassword.c_str(), destination.c_str(), nullptr));
}

Verdict JudgeAnswer(const GatewayAnswer& answer) {
  switch (answer.failure) {
    case GatewayFailure::kNone:
      break;
    case GatewayFailure::kUnreachable:
    case GatewayFailure::kTls:
      return {Outcome::kUnreachable, TARPON_MESSAGE_KEY("gatewayUnreachable")};
    case GatewayFailure::kClosed:
      return {Outcome::kUnavailable, TARPON_MESSAGE_KEY("gatewayClosed")};
    case GatewayFailure::kTimeout:
      return {Outcome::kTimeout, TARPON_MESSAGE_KEY("gatewayTimeout")};
  }
  if (answer.code == GATEWAY_RC_PROXY_REFUSED) {
    return {Outcome::kUnreachable, TARPON_MESSAGE_KEY("serviceSetUp")};
  }
  const int host = TARPON_RC_HOST_STATUS_BASE;
  switch (answer.code) {
    case TARPON_RC_OK:
    case host + 8:  // changed; persistent sign-on not allowed
      return {Outcome::kChanged, TARPON_MESSAGE_KEY("changed")};
    case TARPON_RC_BAD_OPTION:
    case TARPON_RC_NO_PASSWORD:
      return {Outcome::kInvalid, TARPON_MESSAGE_KEY("badRequest")};
    case host + 1:
    case host + 2:
      return {Outcome::kRefused, TARPON_MESSAGE_KEY("wrongCredentials"), false,
              host + 2};
    case TARPON_RC_ACCOUNT_HELD: {
      // The gateway's own line names the wait; a page says it plainly.
      int seconds = AccountHeldSeconds(HostText(answer.text));
      return {Outcome::kThrottled, TARPON_MESSAGE_KEY("accountHeld"), false, -1,
              seconds > 0 ? seconds : 60};
    }
    case TARPON_RC_NEW_PASSWORD_COMMON:
      return {Outcome::kRefused, "newPasswordCommon", true, -1, 0,
              "newPassword"};
    case TARPON_RC_NEW_PASSWORD_CONTEXT:
      return {Outcome::kRefused, "newPasswordContext", true, -1, 0,
              "newPassword"};
    case host + 3:
      return {Outcome::kRefused, TARPON_MESSAGE_KEY("expired")};
    case host + 4:
      return {Outcome::kRefused, TARPON_MESSAGE_KEY("notAcceptable")};
    default:
      break;
  }
  if (answer.code > host && answer.code < host + 100) {
    return {Outcome::kRefused, TARPON_MESSAGE_KEY("hostRefused")};
  }
  return {Outcome::kUnreachable, TARPON_MESSAGE_KEY("hostUnavailable")};
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
