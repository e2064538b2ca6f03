#include "web/change_service.h"

#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cctype>
#include <iostream>
#include <nlohmann/json.hpp>
#include <utility>

#include "comm/gateway_protocol.h"
#include "comm/proxy_header.h"
#include "contract/secret.h"
#include "contract/tarpon_rc.h"
#include "web/http_rules.h"
#include "web/problem_details.h"

namespace {

// "destinations": 1 to kMaxDestinations strings, in place of
// "destination", never beside it.
bool ReadDestinations(const nlohmann::json& document, ChangeFields* fields) {
  if (!document.contains("destinations")) return true;
  const nlohmann::json& list = document["destinations"];
  if (document.contains("destination") || !list.is_array() || list.empty() ||
      list.size() > kMaxDestinations) {
    return false;
  }
  for (const nlohmann::json& item : list) {
    if (!item.is_string()) return false;
    fields->destinations.push_back(item.get<std::string>());
  }
  return true;
}

// Reads the fields of a JSON body; false when it is no object of strings
// where strings are due. The parsed copies of the passwords are wiped.
bool ReadJson(std::string_view body, ChangeFields* fields) {
  nlohmann::json document =
      nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  bool ok = document.is_object();
  const std::pair<const char*, std::string*> keys[] = {
      {"user", &fields->user},
      {"currentPassword", fields->currentPassword.Writable()},
      {"newPassword", fields->newPassword.Writable()},
      {"destination", &fields->destination},
  };
  for (const auto& [key, value] : keys) {
    if (!ok || !document.contains(key)) continue;
    nlohmann::json& item = document[key];
    if (!item.is_string()) {
      ok = false;
      continue;
    }
    std::string& text = item.get_ref<std::string&>();
    *value = text;
    WipeSecret(&text);
  }
  return ok && ReadDestinations(document, fields);
}

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

// Each part after its length, so that no two lists of parts run together.
void AppendPart(const std::string& part, std::string* out) {
  const uint32_t length = static_cast<uint32_t>(part.size());
  for (int shift = 24; shift >= 0; shift -= 8) {
    *out += static_cast<char>((length >> shift) & 0xFF);
  }
  *out += part;
}

}  // namespace

std::string ApiProblem(const ChangePage& page, const std::string& tag,
                       int status, const std::string& key, int code,
                       const std::string& hostText) {
  const Texts& texts = page.catalogue().TextsOf(tag);
  return ProblemJson(ProblemOf(key), status,
                     Text(texts, key) + " " + Text(texts, key + "Next"), code,
                     hostText);
}

ChangeAnswer EnglishProblem(int status, const char* reasonName,
                            const std::string& detail) {
  ChangeAnswer answer;
  answer.status = status;
  answer.contentType = kProblemMediaType;
  answer.body = ProblemJson(ProblemOf(reasonName), status, detail, -1, "");
  return answer;
}

ChangeService::ChangeService(const WebConfig& config, WebShared* shared,
                             Exchange exchange)
    : config_(config), shared_(shared), exchange_(std::move(exchange)) {
  if (RAND_bytes(digestKey_.data(), static_cast<int>(digestKey_.size())) != 1) {
    // No randomness: the digests still tell requests apart, unkeyed.
    digestKey_.fill(0);
  }
}

int ChangeService::DefaultExchange(const GatewayRequest& request,
                                   GatewayAnswer* answer) {
  return ExchangeWithGateway(request, answer);
}

bool ChangeService::ReadFields(std::string_view body, bool api,
                               ChangeFields* fields, std::string* formKey) {
  fields->hasConfirmation = !api;
  if (api) return ReadJson(body, fields);
  // The page's hosts to change: ticked boxes, after a blank that says
  // the boxes were there.
  std::vector<std::string> ticked;
  if (!DecodeForm(body,
                  {{"user", &fields->user},
                   {"currentPassword", fields->currentPassword.Writable()},
                   {"newPassword", fields->newPassword.Writable()},
                   {"confirmation", fields->confirmation.Writable()},
                   {"destination", &fields->destination},
                   {"idempotencyKey", formKey}},
                  "destinations", &ticked, kMaxDestinations + 1)) {
    return false;
  }
  std::vector<std::string> names;
  for (const std::string& name : ticked) {
    if (!name.empty()) names.push_back(name);
  }
  fields->noDestination = !ticked.empty() && names.empty();
  if (names.size() == 1) fields->destination = names.front();
  if (names.size() > 1) fields->destinations = EachOnce(names);
  return true;
}

std::string ChangeService::RequestDigest(const ChangeJob& job) const {
  Secret parts;
  const ChangeFields& fields = job.fields;
  AppendPart(Upper(fields.user), parts.Writable());
  AppendPart(config_.DestinationOf(fields.destination), parts.Writable());
  for (const std::string& name : fields.destinations) {
    AppendPart(name, parts.Writable());
  }
  AppendPart(fields.currentPassword.Text(), parts.Writable());
  AppendPart(fields.newPassword.Text(), parts.Writable());
  AppendPart(fields.confirmation.Text(), parts.Writable());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), digestKey_.data(), static_cast<int>(digestKey_.size()),
       reinterpret_cast<const unsigned char*>(parts.Text().data()),
       parts.size(), digest, &length);
  return std::string(reinterpret_cast<char*>(digest), length);
}

std::optional<ChangeAnswer> ChangeService::Repeated(
    const std::string& key, ChangeJob* job, IdempotencyStore* store) const {
  if (key.empty()) return std::nullopt;
  if (!IsIdempotencyKey(key)) {
    if (!job->api) return std::nullopt;
    return EnglishProblem(
        400, reason::kBadIdempotencyKey,
        "An Idempotency-Key is 1 to 255 visible ASCII characters.");
  }
  IdempotencyStore::Answer first;
  switch (store->Begin(key, RequestDigest(*job),
                       std::chrono::steady_clock::now(), &job->idempotencySlot,
                       &first)) {
    case IdempotencyStore::Found::kNew:
      return std::nullopt;
    case IdempotencyStore::Found::kResume:
      // What the first request changed is reported, not changed again.
      job->earlier = ChangedIn(first.body);
      return std::nullopt;
    case IdempotencyStore::Found::kReplay: {
      // A first answer of 200: the host knew the user ID.
      shared_->audit.Replay(
          job->operation, job->client,
          first.status == 200 ? Upper(job->fields.user)
                              : config_.devices.Hidden(job->fields.user),
          config_.DestinationOf(job->fields.destination), first.status);
      ChangeAnswer replay;
      replay.status = first.status;
      replay.contentType = first.contentType;
      replay.body = std::move(first.body);
      replay.replayed = true;
      return replay;
    }
    case IdempotencyStore::Found::kReused:
      if (!job->api) return std::nullopt;
      return EnglishProblem(422, reason::kIdempotencyKeyReused,
                            "This Idempotency-Key was used for another "
                            "request; send each change with a key of its own.");
    case IdempotencyStore::Found::kInFlight:
      break;
  }
  if (!job->api) {
    // The page posted twice: the first answer went to the first post.
    return Refusal(false, job->language, Outcome::kUnavailable,
                   TARPON_MESSAGE_KEY("gatewayTimeout"));
  }
  ChangeAnswer busy = EnglishProblem(
      409, reason::kIdempotencyKeyInFlight,
      "The first change with this Idempotency-Key is still under way; ask "
      "again in a moment.");
  busy.retryAfter = "1";
  return busy;
}

void ChangeService::Remember(const ChangeJob& job, const ChangeAnswer& answer,
                             IdempotencyStore* store) const {
  if (job.idempotencySlot.empty()) return;
  bool keep = job.outcome == Outcome::kChanged ||
              job.outcome == Outcome::kRefused || job.unfinished;
  IdempotencyStore::Answer kept;
  if (keep) {
    kept.status = answer.status;
    kept.contentType = answer.contentType;
    kept.body = answer.body;
    kept.unfinished = job.unfinished;
  }
  store->Finish(job.idempotencySlot, keep, std::move(kept),
                std::chrono::steady_clock::now());
}

ChangeAnswer ChangeService::Refusal(bool api, const std::string& language,
                                    Outcome outcome,
                                    const std::string& key) const {
  shared_->Count(outcome);
  ChangeAnswer answer;
  answer.status = OutcomeStatus(outcome);
  if (api) {
    answer.contentType = kProblemMediaType;
    answer.body =
        ApiProblem(config_.page, language, answer.status, key, -1, "");
    return answer;
  }
  answer.status = 200;  // as Run has it for the page
  PageResult result;
  result.shown = true;
  result.outcome = outcome;
  result.messageKey = key;
  answer.contentType = "text/html; charset=utf-8";
  answer.body = config_.page.Render(language, "", "", result);
  return answer;
}

ChangeService::Checked ChangeService::Check(
    ChangeJob* job, const std::string& destination) const {
  const WebSettings& settings = config_.settings;
  Checked checked;
  checked.destination = destination;
  for (const auto& [name, label] : settings.destinations) {
    checked.offered = checked.offered || name == checked.destination;
  }
  // The reason a program is told comes from field.rule.
  checked.field =
      CheckFields(&job->fields, settings.RulesFor(checked.destination));
  if (job->fields.noDestination) {
    checked.field = {RuleFailure::kNone, TARPON_MESSAGE_KEY("problemNoHost"),
                     "destinations"};
  }
  checked.problem = checked.field.messageKey;
  if (checked.problem.empty() && !checked.offered) {
    checked.problem = TARPON_MESSAGE_KEY("problemDestination");
  }
  return checked;
}

Verdict ChangeService::AskGateway(const ChangeJob& job,
                                  const std::string& destination,
                                  GatewayAnswer* answer, int* code) const {
  const WebSettings& settings = config_.settings;
  GatewayRequest request;
  request.host = settings.gatewayHost;
  request.service = settings.gatewayService;
  request.options = GatewayOptions(job.fields, destination);
  request.timeoutSeconds = settings.timeoutSeconds;
  request.tls = config_.gatewayTls.get();
  if (settings.proxyHeader) {
    // The owner's device, known by its cookie, is vouched for.
    const bool owner =
        config_.devices.Vouches(job.cookies, job.fields.user, NowSeconds());
    request.prelude =
        EncodeProxyV2(job.source, job.destination,
                      owner ? Upper(job.fields.user) : std::string(),
                      job.operation, job.parts);
  }
  *code = exchange_(request, answer);
  size_t cause = static_cast<size_t>(answer->failure);
  if (cause > 0 && cause < shared_->metrics.gatewayErrors.size()) {
    shared_->metrics.gatewayErrors[cause]->Increment();
  }
  if (answer->failure == GatewayFailure::kNone &&
      answer->code == GATEWAY_RC_PROXY_REFUSED &&
      !shared_->proxyRefusalLogged.exchange(true)) {
    WebNotice(
        "the gateway refused the PROXY header: start tarpons with "
        "-proxy-from naming this server's address, or start tarpon-web "
        "with -proxy-header off");
  }
  return JudgeAnswer(*answer);
}

void ChangeService::Record(const ChangeJob& job, const std::string& destination,
                           Outcome outcome, int code) const {
  shared_->Count(outcome);
  shared_->metrics.latency->Observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                    job.began)
          .count());
  // In clear only once the host has recognised the user ID: a password
  // typed into the user field is never kept.
  const int host = TARPON_RC_HOST_STATUS_BASE;
  const bool recognised =
      code == TARPON_RC_OK || (code > host + 1 && code < host + 100);
  shared_->audit.Change(
      job.operation, job.client,
      recognised ? job.fields.user : config_.devices.Hidden(job.fields.user),
      destination, outcome, code);
}

ChangeAnswer ChangeService::Run(ChangeJob* job) const {
  if (job->operation.empty()) job->operation = NewOperationId();
  if (!job->fields.destinations.empty()) return RunMany(job);
  Checked checked = Check(job, config_.DestinationOf(job->fields.destination));
  Verdict verdict{Outcome::kInvalid, checked.problem};
  GatewayAnswer answer;
  int code = TARPON_RC_BAD_OPTION;
  if (checked.problem.empty()) {
    verdict = AskGateway(*job, checked.destination, &answer, &code);
  }
  job->outcome = verdict.outcome;
  Record(*job, checked.offered ? checked.destination : kNotAUserId,
         verdict.outcome, code);
  // Only the host's words are shown as the host's answer.
  std::string hostText =
      code == GATEWAY_RC_PROXY_REFUSED || !verdict.showsHostText
          ? std::string()
          : HostText(answer.text);
  if (verdict.shownCode >= 0) code = verdict.shownCode;
  ChangeAnswer out = Compose(*job, checked, verdict, code, hostText);
  if (verdict.outcome == Outcome::kChanged) {
    out.setCookie = config_.devices.Issue(job->fields.user, NowSeconds());
  }
  return out;
}

ChangeAnswer ChangeService::Compose(const ChangeJob& job,
                                    const Checked& checked,
                                    const Verdict& verdict, int code,
                                    const std::string& hostText) const {
  ChangeAnswer out;
  out.afterExchange = true;
  const bool changed = verdict.outcome == Outcome::kChanged;
  // The page answers 200 with the verdict in it: a browser's console would
  // report any other status of a page as an error. The API carries it.
  out.status = job.api ? OutcomeStatus(verdict.outcome) : 200;
  if (job.api && verdict.outcome == Outcome::kUnavailable) {
    out.retryAfter = std::to_string(config_.settings.limits.retryAfterSeconds);
  }
  if (job.api && verdict.retryAfterSeconds > 0) {
    out.retryAfter = std::to_string(verdict.retryAfterSeconds);
  }
  if (job.api && changed) {
    out.contentType = "application/json";
    out.body = config_.page.ApiAnswer(job.language, changed, code, hostText,
                                      verdict.messageKey);
  } else if (job.api) {
    // A change refused here shows no code: none came from the gateway.
    out.contentType = kProblemMediaType;
    out.body = ApiProblem(config_.page, job.language,
                          OutcomeStatus(verdict.outcome), verdict.messageKey,
                          checked.problem.empty() ? code : -1, hostText);
  } else {
    PageResult result;
    result.shown = true;
    result.outcome = verdict.outcome;
    result.messageKey = verdict.messageKey;
    result.hostText = hostText;
    result.field =
        *checked.field.field != '\0' ? checked.field.field : verdict.field;
    result.account = job.fields.user;
    result.missingEntry = checked.field.missingEntry;
    out.contentType = "text/html; charset=utf-8";
    out.body = config_.page.Render(job.language, changed ? "" : job.fields.user,
                                   checked.destination, result);
  }
  return out;
}
