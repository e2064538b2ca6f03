#include "web/problem_details.h"

#include <nlohmann/json.hpp>

namespace {

// One row per reason: the message keys that lead to it (the verdicts of
// change_rules.cc and the server's own refusals), its title.
struct Row {
  const char* reason;
  const char* title;
  std::vector<const char*> keys;
};

const Row kRows[] = {
    {reason::kMissingField,
     "A field is missing",
     {"problemNoUser", "problemNoCurrent", "problemNoNew"}},
    {reason::kTooShort, "A value is too short", {"problemTooShort"}},
    {reason::kTooLong, "A value is too long", {"problemTooLong"}},
    {reason::kBadCharacter,
     "A value has a character the host cannot take",
     {"problemCharacters"}},
    {reason::kMissingCase,
     "The new password lacks a character its rules require",
     {"problemMissingClass"}},
    {reason::kUnknownDestination,
     "The destination is not offered here",
     {"problemDestination"}},
    {reason::kMalformedJson, "The request could not be read", {"malformed"}},
    {reason::kCrossSite, "The request came from another site", {"crossSite"}},
    {reason::kTooLarge, "The request is too large", {"tooLarge"}},
    {reason::kUnsupportedMediaType,
     "The request's media type is not application/json",
     {"mediaType"}},
    {reason::kMethodNotAllowed, "The method is not allowed here", {}},
    {reason::kNotFound, "There is nothing at this path", {}},
    {reason::kBadIdempotencyKey, "The Idempotency-Key is malformed", {}},
    {reason::kIdempotencyKeyReused,
     "The Idempotency-Key was used for another change",
     {}},
    {reason::kIdempotencyKeyInFlight,
     "The change with this Idempotency-Key is still under way",
     {}},
    {reason::kCredentialsNotAccepted,
     "The user ID or the current password is not right",
     {"wrongCredentials"}},
    {reason::kPasswordExpired, "The current password has expired", {"expired"}},
    {reason::kNewPasswordNotAccepted,
     "The host does not accept the new password",
     {"notAcceptable"}},
    {reason::kNewPasswordCommon,
     "The new password is too common",
     {"newPasswordCommon"}},
    {reason::kNewPasswordContext,
     "The new password contains the user ID or a name of the service",
     {"newPasswordContext"}},
    {reason::kHostRefused, "The host refused the change", {"hostRefused"}},
    {reason::kAccountThrottled,
     "Changes for this user ID are held back for a while",
     {"accountHeld"}},
    {reason::kRequestRefused,
     "The gateway refused the request",
     {"badRequest"}},
    {reason::kSourceThrottled,
     "The gateway closed without answering",
     {"gatewayClosed"}},
    {reason::kGatewayUnreachable,
     "The gateway cannot be reached",
     {"gatewayUnreachable"}},
    {reason::kGatewayMisconfigured,
     "The gateway does not trust this server's PROXY header",
     {"serviceSetUp"}},
    {reason::kGatewayTimeout,
     "The gateway did not answer in time",
     {"gatewayTimeout"}},
    {reason::kHostUnreachable,
     "The host could not be reached",
     {"hostUnavailable"}},
    {reason::kStopping,
     "The service stopped before the change ended",
     {"stopping"}},
};

}  // namespace

const std::vector<std::string>& AllReasons() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> names;
    for (const Row& row : kRows) names.push_back(row.reason);
    return names;
  }();
  return all;
}

ProblemKind ProblemOf(const std::string& messageKeyOrReason) {
  for (const Row& row : kRows) {
    if (messageKeyOrReason == row.reason) return {row.reason, row.title};
    for (const char* key : row.keys) {
      if (messageKeyOrReason == key) return {row.reason, row.title};
    }
  }
  return {reason::kRequestRefused, "The request was refused"};
}

std::string ProblemJson(const ProblemKind& kind, int status,
                        const std::string& detail, int code,
                        const std::string& hostText) {
  nlohmann::json problem = {
      {"type", std::string(kProblemTypePrefix) + kind.reason},
      {"title", kind.title},
      {"status", status},
      {"detail", detail},
      {"reason", kind.reason},
  };
  if (code >= 0) problem["code"] = code;
  if (!hostText.empty()) problem["hostText"] = hostText;
  return problem.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
