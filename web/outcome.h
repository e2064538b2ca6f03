// tarpon-web's outcomes and the problems it tells a program of, as typed
// tables in one place: each outcome's metric label and HTTP status, and
// each problem reason's title with the message keys (web/assets/i18n) that
// lead to it. The tables are constexpr, so that a message key written in
// the code is checked against them when it compiles (TARPON_MESSAGE_KEY),
// and an outcome's row against its place.
//
// The tables have internal linkage (a copy in each file that reads them),
// as the reason constants of problem_details.h have: a table shared by
// every file would name another file's copy of a constant.
//
// Adding a reason is one row of kProblems (and its constant in
// problem_details.h, its texts in every catalogue, its name in
// docs/openapi.json).
#ifndef TARPON_WEB_OUTCOME_H_
#define TARPON_WEB_OUTCOME_H_

#include <array>
#include <cstddef>

#include "web/problem_details.h"

// Outcomes, as counted and logged.
enum class Outcome {
  kChanged,      // 200
  kInvalid,      // 400: refused before the host
  kRefused,      // 422: the host refused
  kForbidden,    // 403: a cross-site post
  kTooLarge,     // 413
  kUnsupported,  // 415
  kUnreachable,  // 502: no gateway, TLS failed, or a node failure
  kUnavailable,  // 503: closed without answering
  kTimeout,      // 504
  kThrottled,    // 429: the gateway holds the account's changes back
};

struct OutcomeRow {
  Outcome outcome;
  const char* label;  // the metric's label and the audit log's word
  int status;         // the API's HTTP status
};

// One row per outcome, in the enum's order.
constexpr OutcomeRow kOutcomes[] = {
    {Outcome::kChanged, "changed", 200},
    {Outcome::kInvalid, "invalid", 400},
    {Outcome::kRefused, "refused", 422},
    {Outcome::kForbidden, "forbidden", 403},
    {Outcome::kTooLarge, "too_large", 413},
    {Outcome::kUnsupported, "unsupported", 415},
    {Outcome::kUnreachable, "unreachable", 502},
    {Outcome::kUnavailable, "unavailable", 503},
    {Outcome::kTimeout, "timeout", 504},
    {Outcome::kThrottled, "throttled", 429},
};
constexpr size_t kOutcomeCount = sizeof kOutcomes / sizeof *kOutcomes;

const char* OutcomeName(Outcome outcome);
int OutcomeStatus(Outcome outcome);

// A problem reason, its title (short, English, the same for every answer)
// and the message keys that lead to it (unused places null).
struct ProblemRow {
  const char* reason;
  const char* title;
  std::array<const char*, 4> keys;
};

constexpr ProblemRow kProblems[] = {
    // Refused here, before the gateway.
    {reason::kMissingField,
     "A field is missing",
     {"problemNoUser", "problemNoCurrent", "problemNoNew", "problemNoHost"}},
    {reason::kTooShort, "A value is too short", {"problemTooShort"}},
    {reason::kTooLong, "A value is too long", {"problemTooLong"}},
    {reason::kBadCharacter,
     "A value has a character the host cannot take",
     {"problemCharacters"}},
    {reason::kMissingCase,
     "The new password lacks a character its rules require",
     {"problemMissingClass"}},
    {reason::kMissingDigit,
     "The new password lacks a digit its rules require",
     {"problemMissingDigit"}},
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
    // The host's or the gateway's verdict.
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
    {reason::kPartlyChanged,
     "Some destinations took the new password and others did not",
     {"partlyChanged"}},
    // No verdict.
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
    {reason::kNotTried,
     "The destination was not asked: another's verdict applies to it",
     {"notTried"}},
};

// The message keys of the page's own verdicts, which no problem answers:
// the API's 200 and the page's confirmation check.
constexpr const char* kPageOnlyKeys[] = {"changed", "problemMismatch"};

namespace outcome_detail {

static constexpr bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

static constexpr bool OutcomesInOrder() {
  for (size_t i = 0; i < kOutcomeCount; ++i) {
    if (static_cast<size_t>(kOutcomes[i].outcome) != i) return false;
  }
  return true;
}
static_assert(OutcomesInOrder(), "kOutcomes lists every outcome in order");

template <bool kKnown>
static constexpr const char* Known(const char* key) {
  static_assert(kKnown, "a message key with no row in web/outcome.h");
  return key;
}

}  // namespace outcome_detail

// True when a row of kProblems, or kPageOnlyKeys, names key.
static constexpr bool IsMessageKey(const char* key) {
  for (const ProblemRow& row : kProblems) {
    for (const char* known : row.keys) {
      if (known != nullptr && outcome_detail::SameText(known, key)) return true;
    }
  }
  for (const char* known : kPageOnlyKeys) {
    if (outcome_detail::SameText(known, key)) return true;
  }
  return false;
}

// A message key written in the code: a literal that the tables above know,
// or the build fails.
#define TARPON_MESSAGE_KEY(literal) \
  (outcome_detail::Known<IsMessageKey(literal)>(literal))

#endif  // TARPON_WEB_OUTCOME_H_
