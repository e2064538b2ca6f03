#include "gateway/gateway_metrics.h"

#include <iterator>
#include <string>
#include <vector>

#include "contract/tarpon_rc.h"
#include "metrics/process_metrics.h"

#ifndef TARPON_VERSION
#error "TARPON_VERSION is not defined"
#endif

SessionOutcome SessionOutcomeOf(int rc) {
  switch (rc) {
    case TARPON_RC_OK:
      return SessionOutcome::kChanged;
    case TARPON_RC_INFORMATION:
      return SessionOutcome::kInformation;
    case TARPON_RC_BAD_OPTION:
    case TARPON_RC_NO_PASSWORD:
    case TARPON_RC_HOST_FORMAT_ERROR:
      return SessionOutcome::kBadRequest;
    case TARPON_RC_NODE_NOT_STARTED:
    case TARPON_RC_SNA_CALL_FAILED:
    case TARPON_RC_NO_CONTROL_BLOCK:
    case TARPON_RC_CONVERSION_FAILED:
    case TARPON_RC_HOST_REPLY_UNUSABLE:
      return SessionOutcome::kNodeError;
    case TARPON_RC_LOCAL_UNAVAILABLE:
      return SessionOutcome::kLocalUnavailable;
    case TARPON_RC_ACCOUNT_HELD:
      return SessionOutcome::kAccountHeld;
    case TARPON_RC_NEW_PASSWORD_COMMON:
    case TARPON_RC_NEW_PASSWORD_CONTEXT:
      return SessionOutcome::kNewPasswordRefused;
  }
  // The host's verdicts are the codes that exit as 201 to 254.
  int exitStatus = tarpon_exit_status(rc);
  if (rc > TARPON_RC_HOST_STATUS_BASE && exitStatus > 200 && exitStatus < 255) {
    return SessionOutcome::kRefusedByHost;
  }
  return SessionOutcome::kOther;
}

const char* SessionOutcomeName(SessionOutcome outcome) {
  static const char* const kNames[kSessionOutcomes] = {
      "changed",     "information",  "refused_by_host",
      "bad_request", "node_error",   "local_unavailable",
      "other",       "account_held", "new_password_refused"};
  return kNames[static_cast<int>(outcome)];
}

const double kEngineRunBuckets[14] = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                      0.025,  0.05,  0.1,    0.25,  0.5,
                                      1,      2.5,   5,      10};

GatewayMetrics::GatewayMetrics() {
  MetricsRegistry& r = registry_;
  std::vector<std::string> outcomes;
  for (int i = 0; i < kSessionOutcomes; ++i) {
    outcomes.push_back(SessionOutcomeName(static_cast<SessionOutcome>(i)));
  }
  CounterFamily* sessions = r.AddCounterFamily(
      "tarpons_sessions_total",
      "Requests the engine answered, by outcome (its return code grouped as "
      "the exit status groups it).",
      "outcome", outcomes);
  for (int i = 0; i < kSessionOutcomes; ++i) {
    sessions_[i] = sessions->Get(outcomes[i]);
  }
  connectionsOpen =
      r.AddGauge("tarpons_connections_open", "Client connections open now.");
  connectionsAwaitingRequest =
      r.AddGauge("tarpons_connections_awaiting_request",
                 "Client connections open now without a whole request.");
  CounterFamily* refused = r.AddCounterFamily(
      "tarpons_connections_refused_total",
      "Client connections refused, by the cap that refused them.", "cap",
      {"per_source", "startups", "penalty"});
  refusedPerSource = refused->Get("per_source");
  refusedStartups = refused->Get("startups");
  refusedPenalty = refused->Get("penalty");
  penaltiesStarted =
      r.AddCounter("tarpons_penalties_started_total",
                   "Penalties started against a client address.");
  penaltiesInForce = r.AddGauge("tarpons_penalties_in_force",
                                "Client addresses under a penalty now.");
  CounterFamily* handshakes = r.AddCounterFamily(
      "tarpons_tls_handshakes_total", "TLS handshakes with clients, by result.",
      "result", {"completed", "failed"});
  tlsHandshakesCompleted = handshakes->Get("completed");
  tlsHandshakesFailed = handshakes->Get("failed");
  proxyHeadersRefused = r.AddCounter(
      "tarpons_proxy_headers_refused_total",
      "Connections from a trusted balancer closed for a missing or invalid "
      "PROXY header.");
  proxyHealthChecks = r.AddCounter(
      "tarpons_proxy_health_checks_total",
      "PROXY version 2 LOCAL connections (balancer health checks) closed.");
  logWriteFailures =
      r.AddCounter("tarpons_log_write_failures_total",
                   "Log writes that failed; their lines were dropped.");
  engineRunSeconds = r.AddHistogram(
      "tarpons_engine_run_seconds", "Time the engine took for one request.",
      std::vector<double>(std::begin(kEngineRunBuckets),
                          std::end(kEngineRunBuckets)));
  AddAccountMetrics();
  AddEventMetrics();
  r.AddInfo("tarpons_build_info", "The gateway's version; always 1.", "version",
            TARPON_VERSION);
  AddProcessMetrics(&r);
}

const double kHookRunBuckets[12] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                    0.5,   1,    2.5,   5,    10,  30};

void GatewayMetrics::AddAccountMetrics() {
  MetricsRegistry& r = registry_;
  accountChangesHeld = r.AddCounter(
      "tarpons_account_changes_held_total",
      "Changes answered without the host while their account was on hold.");
  accountHoldsStarted =
      r.AddCounter("tarpons_account_holds_started_total",
                   "Holds started on an account after failed sign-ons.");
  sharedStateFallbacks = r.AddCounter("tarpons_shared_state_fallbacks_total",
                                      "Times the shared store failed and the "
                                      "gateway counted in its own store.");
  CounterFamily* newPasswords = r.AddCounterFamily(
      "tarpons_new_passwords_refused_total",
      "New passwords refused before the host was asked, by the rule that "
      "refused them.",
      "rule", {"common", "sequence", "context"});
  newPasswordsRefusedCommon = newPasswords->Get("common");
  newPasswordsRefusedSequence = newPasswords->Get("sequence");
  newPasswordsRefusedContext = newPasswords->Get("context");
}

void GatewayMetrics::AddEventMetrics() {
  MetricsRegistry& r = registry_;
  events.written = r.AddCounter("tarpons_events_written_total",
                                "Events written and synced to the spool.");
  events.delivered = r.AddCounter("tarpons_events_delivered_total",
                                  "Events every -on-event hook took.");
  events.retried = r.AddCounter(
      "tarpons_event_retries_total",
      "Deliveries of an event or a sync event tried again after a failure.");
  events.givenUp =
      r.AddCounter("tarpons_events_given_up_total",
                   "Events and sync events given up on after their last try.");
  events.dropped = r.AddCounter(
      "tarpons_events_dropped_total",
      "Events not written: the queue or the spool was full, or the disk "
      "failed.");
  events.spoolDepth =
      r.AddGauge("tarpons_event_spool_depth", "Events waiting in the spool.");
  events.hookSeconds =
      r.AddHistogram("tarpons_hook_run_seconds", "Time one run of a hook took.",
                     std::vector<double>(std::begin(kHookRunBuckets),
                                         std::end(kHookRunBuckets)));
}
