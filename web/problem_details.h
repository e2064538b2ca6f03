// The API's answers other than 200: problem details (RFC 9457) as
// application/problem+json, each with a stable reason a program can act
// on. The reasons are listed here once; docs/openapi.json lists the same
// (the API test compares them).
//
//   {"type": "https://tarpon.invalid/problems/too_long",
//    "title": "A value is too long", "status": 400,
//    "detail": "The host takes at most 8 characters. Shorten ...",
//    "reason": "too_long"}
//
// "type" is the reason under a fixed prefix: one URI per reason, as the
// RFC would have it, on a domain that can never resolve, so nobody fetches
// it; "reason" carries the same word without the prefix. "code" is the
// engine's return code when the gateway answered (or 100 when it did not),
// absent for a request refused here; "hostText" is the host's own words
// when there are any to show.
#ifndef TARPON_WEB_PROBLEM_DETAILS_H_
#define TARPON_WEB_PROBLEM_DETAILS_H_

#include <string>
#include <vector>

namespace reason {
// Refused here, before the gateway.
constexpr char kMissingField[] = "missing_field";
constexpr char kTooShort[] = "too_short";
constexpr char kTooLong[] = "too_long";
constexpr char kBadCharacter[] = "bad_character";
constexpr char kMissingCase[] = "missing_case";
constexpr char kMissingDigit[] = "missing_digit";
constexpr char kUnknownDestination[] = "unknown_destination";
constexpr char kMalformedJson[] = "malformed_json";
constexpr char kCrossSite[] = "cross_site";
constexpr char kTooLarge[] = "too_large";
constexpr char kUnsupportedMediaType[] = "unsupported_media_type";
constexpr char kMethodNotAllowed[] = "method_not_allowed";
constexpr char kNotFound[] = "not_found";
// Idempotency-Key: not 1 to 255 visible characters; the same key with
// another user or destination; the same key's change still under way.
constexpr char kBadIdempotencyKey[] = "bad_idempotency_key";
constexpr char kIdempotencyKeyReused[] = "idempotency_key_reused";
constexpr char kIdempotencyKeyInFlight[] = "idempotency_key_in_flight";
// The host's or the gateway's verdict.
constexpr char kCredentialsNotAccepted[] = "credentials_not_accepted";
constexpr char kPasswordExpired[] = "password_expired";
constexpr char kNewPasswordNotAccepted[] = "new_password_not_accepted";
// The gateway's own refusal of the new password, the host not asked: a
// common one (a list, a run, a sequence), or one holding the user ID or a
// name of the host or the service.
constexpr char kNewPasswordCommon[] = "new_password_common";
constexpr char kNewPasswordContext[] = "new_password_context";
constexpr char kHostRefused[] = "host_refused";  // any other refusal
constexpr char kAccountThrottled[] = "account_throttled";
constexpr char kRequestRefused[] = "request_refused";  // by the gateway
// A change to several destinations that some took and others did not.
constexpr char kPartlyChanged[] = "partly_changed";
// No verdict.
constexpr char kSourceThrottled[] = "source_throttled";
constexpr char kGatewayUnreachable[] = "gateway_unreachable";
constexpr char kGatewayMisconfigured[] = "gateway_misconfigured";
constexpr char kGatewayTimeout[] = "gateway_timeout";
constexpr char kHostUnreachable[] = "host_unreachable";
constexpr char kStopping[] = "stopping";
// A destination of several that was not asked: the first one's host said
// the current password is not right, or the account is held.
constexpr char kNotTried[] = "not_tried";
}  // namespace reason

// Every reason above, in the order of kProblems (web/outcome.h).
const std::vector<std::string>& AllReasons();

// The reason and title of a verdict's message key (web/assets/i18n), or
// of one of the reasons above given as itself, from kProblems
// (web/outcome.h). A text that is neither is a fault of the code: a debug
// build stops at it; a release build answers request_refused.
struct ProblemKind {
  const char* reason;
  const char* title;  // short, English, the same for every answer
};
ProblemKind ProblemOf(const std::string& messageKeyOrReason);

constexpr char kProblemMediaType[] = "application/problem+json";
constexpr char kProblemTypePrefix[] = "https://tarpon.invalid/problems/";

// The problem's JSON text. code < 0 leaves "code" out, an empty hostText
// "hostText".
std::string ProblemJson(const ProblemKind& kind, int status,
                        const std::string& detail, int code,
                        const std::string& hostText);

#endif  // TARPON_WEB_PROBLEM_DETAILS_H_
