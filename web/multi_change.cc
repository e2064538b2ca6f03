#include "web/multi_change.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "comm/gateway_protocol.h"
#include "contract/tarpon_rc.h"
#include "web/change_service.h"
#include "web/host_table.h"
#include "web/problem_details.h"

namespace {

constexpr auto kReplace = nlohmann::json::error_handler_t::replace;

int64_t NowSecondsOf() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool SparesTheRest(const Verdict& verdict) {
  return verdict.outcome == Outcome::kThrottled ||
         verdict.messageKey == "wrongCredentials";
}

std::vector<std::string> EachOnce(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names) {
    if (std::find(out.begin(), out.end(), name) == out.end()) {
      out.push_back(name);
    }
  }
  return out;
}

Overall OverallOf(const std::vector<DestinationResult>& results) {
  const auto changed =
      std::count_if(results.begin(), results.end(),
                    [](const DestinationResult& r) { return r.Changed(); });
  if (changed == 0) return Overall::kNoneChanged;
  return static_cast<size_t>(changed) == results.size()
             ? Overall::kAllChanged
             : Overall::kPartlyChanged;
}

const char* OverallName(Overall overall) {
  switch (overall) {
    case Overall::kAllChanged:
      return "all_changed";
    case Overall::kPartlyChanged:
      return "partly_changed";
    case Overall::kNoneChanged:
      break;
  }
  return "none_changed";
}

nlohmann::json ResultsJson(const std::vector<DestinationResult>& results) {
  nlohmann::json list = nlohmann::json::array();
  for (const DestinationResult& result : results) {
    nlohmann::json item = {{"destination", result.destination},
                           {"changed", result.Changed()},
                           {"code", nullptr},
                           {"reason", nullptr}};
    if (result.asked || result.earlier) item["code"] = result.code;
    if (!result.asked && !result.earlier) {
      item["reason"] = reason::kNotTried;
    } else if (!result.Changed()) {
      item["reason"] = ProblemOf(result.verdict.messageKey).reason;
    }
    list.push_back(std::move(item));
  }
  return list;
}

std::vector<DestinationResult> ChangedIn(const std::string& body) {
  std::vector<DestinationResult> out;
  nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
  if (!answer.is_object() || !answer.contains("results") ||
      !answer["results"].is_array()) {
    return out;
  }
  for (const nlohmann::json& item : answer["results"]) {
    if (!item.is_object() || item.value("changed", false) != true ||
        !item.contains("destination") || !item["destination"].is_string()) {
      continue;
    }
    DestinationResult result;
    result.destination = item["destination"].get<std::string>();
    result.earlier = true;
    result.verdict = {Outcome::kChanged, "changed"};
    result.code = item.contains("code") && item["code"].is_number_integer()
                      ? item["code"].get<int>()
                      : 0;
    out.push_back(std::move(result));
  }
  return out;
}

// The change service's part for several destinations: its members live
// here, beside the rules they follow.

ChangeAnswer ChangeService::RunMany(ChangeJob* job) const {
  std::vector<DestinationResult> results;
  for (const std::string& name : EachOnce(job->fields.destinations)) {
    Checked checked = Check(job, name);
    if (!checked.problem.empty()) {
      // One destination's rule refuses the password for all of them.
      job->outcome = Outcome::kInvalid;
      Record(*job, checked.offered ? name : kNotAUserId, job->outcome,
             TARPON_RC_BAD_OPTION);
      ChangeAnswer out =
          Compose(*job, checked, {Outcome::kInvalid, checked.problem},
                  TARPON_RC_BAD_OPTION, "");
      nlohmann::json body = nlohmann::json::parse(out.body, nullptr, false);
      if (body.is_object()) body["destination"] = name;
      if (body.is_object()) out.body = body.dump(-1, ' ', false, kReplace);
      return out;
    }
    DestinationResult result;
    result.destination = name;
    for (const DestinationResult& before : job->earlier) {
      if (before.destination == name) result = before;
    }
    results.push_back(std::move(result));
  }
  job->parts = static_cast<int>(
      std::count_if(results.begin(), results.end(),
                    [](const DestinationResult& r) { return !r.earlier; }));
  AskEach(*job, &results);
  return ComposeMany(job, results);
}

void ChangeService::Ask(const ChangeJob& job, DestinationResult* result) const {
  GatewayAnswer answer;
  int code = TARPON_RC_BAD_OPTION;
  result->verdict = AskGateway(job, result->destination, &answer, &code);
  result->asked = true;
  Record(job, result->destination, result->verdict.outcome, code);
  if (code != GATEWAY_RC_PROXY_REFUSED && result->verdict.showsHostText) {
    result->hostText = HostText(answer.text);
  }
  result->code =
      result->verdict.shownCode >= 0 ? result->verdict.shownCode : code;
}

// The first destination not yet changed alone, then, unless its verdict
// spares them, the others at once, each on a thread of its own (at most
// kMaxDestinations - 1): none waits for another's pool.
void ChangeService::AskEach(const ChangeJob& job,
                            std::vector<DestinationResult>* results) const {
  std::vector<DestinationResult*> pending;
  for (DestinationResult& result : *results) {
    if (!result.earlier) pending.push_back(&result);
  }
  if (pending.empty()) return;
  Ask(job, pending.front());
  if (SparesTheRest(pending.front()->verdict)) return;
  std::vector<std::thread> others;
  for (size_t i = 1; i < pending.size(); ++i) {
    try {
      others.emplace_back(
          [this, &job, result = pending[i]] { Ask(job, result); });
    } catch (const std::system_error&) {
      Ask(job, pending[i]);  // no thread to be had: in turn
    }
  }
  for (std::thread& other : others) other.join();
}

ChangeAnswer ChangeService::ComposeMany(
    ChangeJob* job, const std::vector<DestinationResult>& results) const {
  const Overall overall = OverallOf(results);
  shared_->metrics.multiChanges[static_cast<size_t>(overall)]->Increment();
  // The verdict that speaks for all when none changed: the first asked
  // destination's.
  const DestinationResult* lead = &results.front();
  for (const DestinationResult& result : results) {
    if (result.asked) {
      lead = &result;
      break;
    }
  }
  job->outcome = overall == Overall::kAllChanged      ? Outcome::kChanged
                 : overall == Overall::kPartlyChanged ? Outcome::kRefused
                                                      : lead->verdict.outcome;
  job->unfinished = overall == Overall::kPartlyChanged;
  ChangeAnswer out;
  out.afterExchange = true;
  if (overall != Overall::kNoneChanged) {
    out.setCookie = config_.devices.Issue(job->fields.user, NowSecondsOf());
  }
  if (!job->api) {
    PageResult result;
    result.shown = true;
    result.outcome = job->outcome;
    result.messageKey = OverallKey(results);
    result.hosts = results;
    result.ticked = Unchanged(results);
    out.contentType = "text/html; charset=utf-8";
    out.body = config_.page.Render(
        job->language, overall == Overall::kAllChanged ? "" : job->fields.user,
        "", result);
    return out;
  }
  ManyApiAnswer(*job, overall, *lead, &out);
  nlohmann::json body = nlohmann::json::parse(out.body, nullptr, false);
  body["results"] = ResultsJson(results);
  out.body = body.dump(-1, ' ', false, kReplace);
  return out;
}

void ChangeService::ManyApiAnswer(const ChangeJob& job, Overall overall,
                                  const DestinationResult& lead,
                                  ChangeAnswer* out) const {
  const Verdict& verdict = lead.verdict;
  out->status = overall == Overall::kAllChanged ? 200
                : overall == Overall::kPartlyChanged
                    ? 422
                    : OutcomeStatus(verdict.outcome);
  if (overall == Overall::kAllChanged) {
    out->contentType = "application/json";
    out->body =
        config_.page.ApiAnswer(job.language, true, lead.code, "", "changed");
    return;
  }
  out->contentType = kProblemMediaType;
  if (overall == Overall::kPartlyChanged) {
    out->body =
        ApiProblem(config_.page, job.language, 422, "partlyChanged", -1, "");
    return;
  }
  if (verdict.retryAfterSeconds > 0) {
    out->retryAfter = std::to_string(verdict.retryAfterSeconds);
  } else if (verdict.outcome == Outcome::kUnavailable) {
    out->retryAfter = std::to_string(config_.settings.limits.retryAfterSeconds);
  }
  out->body = ApiProblem(config_.page, job.language, out->status,
                         verdict.messageKey, lead.code, lead.hostText);
}
