// A change to several destinations in one request (the API's
// "destinations"): each destination's outcome, the first one's verdict that
// spares the others a try, and the answer's "results".
//
// The order: every destination's rules are checked first (one refusal
// refuses all, before any host is asked); then the first destination is
// asked alone, and when its host says that the user ID or the current
// password is not right, or the gateway holds the account's changes back,
// the others are not asked at all: a wrong password costs one failed
// sign-on, not one per host. Otherwise the others are asked at once.
#ifndef TARPON_WEB_MULTI_CHANGE_H_
#define TARPON_WEB_MULTI_CHANGE_H_

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "web/change_rules.h"

// The most destinations one request may name.
constexpr size_t kMaxDestinations = 16;

// One destination's part of a change to several.
struct DestinationResult {
  std::string destination;
  bool asked = false;    // false: not asked (the first's verdict spared it)
  bool earlier = false;  // changed by an earlier request with the same key
  Verdict verdict{Outcome::kInvalid, ""};
  int code = -1;  // the code shown; -1: none
  std::string hostText;

  bool Changed() const { return verdict.outcome == Outcome::kChanged; }
};

// True when the first destination's verdict would be the others' too: the
// user ID or the current password is not right, or the account is held.
bool SparesTheRest(const Verdict& verdict);

// The names in order, each once.
std::vector<std::string> EachOnce(const std::vector<std::string>& names);

enum class Overall { kAllChanged, kPartlyChanged, kNoneChanged };
Overall OverallOf(const std::vector<DestinationResult>& results);
// The metric's label and the audit log's word of an overall outcome.
const char* OverallName(Overall overall);

// [{"destination", "changed", "code", "reason"}...]: "code" null for a
// destination not asked, "reason" null for one changed ("not_tried" for
// one not asked).
nlohmann::json ResultsJson(const std::vector<DestinationResult>& results);

// The destinations an earlier answer (its body, as ResultsJson made its
// "results") lists as changed, with their codes.
std::vector<DestinationResult> ChangedIn(const std::string& body);

#endif  // TARPON_WEB_MULTI_CHANGE_H_
