// tarpon-web's change, without HTTP: the fields read from a form or a JSON
// body, the Idempotency-Key's step, the rules check, the exchange with the
// gateway, the metrics and the audit line, and the answer as a status, a
// media type and a body. The session (web_session.h) turns the answer into
// HTTP; a test hands the service an exchange of its own.
//
// Threads: Run runs in an exchange pool; ReadFields, Repeated, Remember
// and Refusal on the event loop (the idempotency store is the loop's).
#ifndef TARPON_WEB_CHANGE_SERVICE_H_
#define TARPON_WEB_CHANGE_SERVICE_H_

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway_client/gateway_exchange.h"
#include "web/change_rules.h"
#include "web/idempotency.h"
#include "web/multi_change.h"
#include "web/web_shared.h"

// One change on its way: what the request gave and what the answer needs.
struct ChangeJob {
  bool api = false;
  std::string language;
  std::string client;  // the browser's address, as text
  sockaddr_storage source = {};
  sockaddr_storage destination = {};
  ChangeFields fields;
  std::chrono::steady_clock::time_point began;
  std::string idempotencySlot;  // "" without a key
  std::string cookies;          // the request's Cookie header
  // This change's identifier in the audit log (and its JSON lines), the
  // gateway's log (sent in the PROXY header) and the events
  // (NewOperationId).
  std::string operation;
  // How many destinations the operation asks, when several: the gateway
  // hands their events on as one.
  int parts = 0;
  Outcome outcome = Outcome::kInvalid;
  // A change to several destinations: what an earlier request with the
  // same Idempotency-Key changed, and whether this one's answer leaves
  // destinations for a retry with the key to finish.
  std::vector<DestinationResult> earlier;
  bool unfinished = false;
};

// An answer as the session sends it. afterExchange: the change's own
// answer, whose header fields come in the order the exchange's answer has
// always had them (Retry-After, then Content-Type).
struct ChangeAnswer {
  int status = 200;
  std::string contentType;
  std::string body;
  std::string retryAfter;  // "" for none
  bool replayed = false;   // Idempotent-Replayed: true
  std::string setCookie;   // the owner device's cookie, after a change
  bool afterExchange = false;
};

// The API's answer to a change that was not made, in language tag: the
// problem of the verdict's message key, its text and next step as the
// detail. code < 0 when none is shown.
std::string ApiProblem(const ChangePage& page, const std::string& tag,
                       int status, const std::string& key, int code,
                       const std::string& hostText);

// A problem the catalogue has no text for: detail in English.
ChangeAnswer EnglishProblem(int status, const char* reasonName,
                            const std::string& detail);

class ChangeService {
 public:
  using Exchange =
      std::function<int(const GatewayRequest& request, GatewayAnswer* answer)>;

  // config and shared outlive the service. A random key of its own binds
  // each Idempotency-Key to its request.
  ChangeService(const WebConfig& config, WebShared* shared,
                Exchange exchange = DefaultExchange);

  // Reads a JSON body (api) or a form into *fields; the form's hidden key
  // goes to *formKey. False when the body is malformed. The parsed copies
  // of the passwords are wiped.
  static bool ReadFields(std::string_view body, bool api, ChangeFields* fields,
                         std::string* formKey);

  // A change with an Idempotency-Key: the answer given here (the first
  // answer again, or why not), or none when the change is to run. A key
  // is bound to a keyed digest of the whole request (user ID, destination,
  // every password): the same key with another request is refused for the
  // API (the page's hidden key is its own: the change runs without it).
  std::optional<ChangeAnswer> Repeated(const std::string& key, ChangeJob* job,
                                       IdempotencyStore* store) const;
  // The rules check, the exchange, the metrics, the audit line and the
  // answer; job->outcome is set.
  ChangeAnswer Run(ChangeJob* job) const;
  // A verdict of the host's is kept for the job's key; any other outcome
  // frees the key for a retry.
  void Remember(const ChangeJob& job, const ChangeAnswer& answer,
                IdempotencyStore* store) const;
  // A request refused before any change: counted, as a problem for the
  // API, as the page with the message for a person.
  ChangeAnswer Refusal(bool api, const std::string& language, Outcome outcome,
                       const std::string& key) const;

  static int DefaultExchange(const GatewayRequest& request,
                             GatewayAnswer* answer);

 private:
  struct Checked {
    std::string destination;
    bool offered = false;
    FieldProblem field;
    std::string problem;  // the message key that stops the change, or ""
  };
  Checked Check(ChangeJob* job, const std::string& destination) const;
  Verdict AskGateway(const ChangeJob& job, const std::string& destination,
                     GatewayAnswer* answer, int* code) const;
  void Record(const ChangeJob& job, const std::string& destination,
              Outcome outcome, int code) const;
  // The change to several destinations (web/multi_change.cc).
  ChangeAnswer RunMany(ChangeJob* job) const;
  void Ask(const ChangeJob& job, DestinationResult* result) const;
  void AskEach(const ChangeJob& job,
               std::vector<DestinationResult>* results) const;
  ChangeAnswer ComposeMany(ChangeJob* job,
                           const std::vector<DestinationResult>& results) const;
  void ManyApiAnswer(const ChangeJob& job, Overall overall,
                     const DestinationResult& lead, ChangeAnswer* out) const;
  ChangeAnswer Compose(const ChangeJob& job, const Checked& checked,
                       const Verdict& verdict, int code,
                       const std::string& hostText) const;
  std::string RequestDigest(const ChangeJob& job) const;

  const WebConfig& config_;
  WebShared* shared_;
  Exchange exchange_;
  std::array<unsigned char, 32> digestKey_;
};

#endif  // TARPON_WEB_CHANGE_SERVICE_H_
