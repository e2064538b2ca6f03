// The gateway's metrics: what its loop, its engine thread and its TLS
// threads count, in one registry that a MetricsListener (-metrics) serves.
// Every member may be updated from any thread without a lock (see
// metrics/metrics_registry.h); the gateway updates them whether a listener
// runs or not.
#ifndef TARPON_GATEWAY_GATEWAY_METRICS_H_
#define TARPON_GATEWAY_GATEWAY_METRICS_H_

#include "blocklist/blocklist.h"
#include "events/event_sink.h"
#include "metrics/metrics_registry.h"

// The engine's return codes grouped as tarpon_exit_status groups them
// (contract/tarpon_rc.h): each group is one value of the label "outcome" of
// tarpons_sessions_total.
enum class SessionOutcome {
  kChanged,             // 0
  kInformation,         // 4: help or product information
  kRefusedByHost,       // 2001 to 2054: the host's verdict, exit 201 to 254
  kBadRequest,          // 14, 15, 1020: the client's options or passwords
  kNodeError,           // 8, 17, 18, 19, 1024: the SNA side failed
  kLocalUnavailable,    // 21
  kOther,               // any other code (exit status 255 and the like)
  kAccountHeld,         // 30: held back for its account, the host not asked
  kNewPasswordRefused,  // 31, 32: the new password refused, the host not
                        // asked
};
constexpr int kSessionOutcomes = 9;

SessionOutcome SessionOutcomeOf(int rc);
// The label value: "changed", "information", "refused_by_host",
// "bad_request", "node_error", "local_unavailable", "other",
// "account_held", "new_password_refused".
const char* SessionOutcomeName(SessionOutcome outcome);

// The buckets of tarpons_engine_run_seconds, in seconds: from half a
// millisecond (help, a refused option) to ten seconds (a slow host).
extern const double kEngineRunBuckets[14];

class GatewayMetrics {
 public:
  // Registers every metric, all at zero, tarpons_build_info with the
  // build's version, and the process's own (metrics/process_metrics.h).
  GatewayMetrics();
  GatewayMetrics(const GatewayMetrics&) = delete;
  GatewayMetrics& operator=(const GatewayMetrics&) = delete;

  // What a MetricsListener serves; lives as long as this object.
  const MetricsRegistry& registry() const { return registry_; }

  // Counts a session whose request the engine answered with rc.
  void CountSession(int rc) {
    sessions_[static_cast<int>(SessionOutcomeOf(rc))]->Increment();
  }

  // Counts a new password checked before the host: a refusal by its rule
  // (nothing for kNone).
  void CountNewPasswordRefusal(Refusal refusal) {
    if (refusal == Refusal::kCommon) newPasswordsRefusedCommon->Increment();
    if (refusal == Refusal::kSequence) newPasswordsRefusedSequence->Increment();
    if (refusal == Refusal::kContext) newPasswordsRefusedContext->Increment();
  }

  // Each pointer is set by the constructor and never null. Names as served.
  Gauge* connectionsOpen;             // tarpons_connections_open
  Gauge* connectionsAwaitingRequest;  // tarpons_connections_awaiting_request
  // tarpons_connections_refused_total{cap="per_source"|"startups"|"penalty"}
  Counter* refusedPerSource;
  Counter* refusedStartups;
  Counter* refusedPenalty;
  Counter* penaltiesStarted;  // tarpons_penalties_started_total
  Gauge* penaltiesInForce;    // tarpons_penalties_in_force
  // tarpons_tls_handshakes_total{result="completed"|"failed"}
  Counter* tlsHandshakesCompleted;
  Counter* tlsHandshakesFailed;
  Counter* proxyHeadersRefused;   // tarpons_proxy_headers_refused_total
  Counter* proxyHealthChecks;     // tarpons_proxy_health_checks_total
  Counter* logWriteFailures;      // tarpons_log_write_failures_total
  Histogram* engineRunSeconds;    // tarpons_engine_run_seconds
  Counter* accountChangesHeld;    // tarpons_account_changes_held_total
  Counter* accountHoldsStarted;   // tarpons_account_holds_started_total
  Counter* sharedStateFallbacks;  // tarpons_shared_state_fallbacks_total
  // tarpons_events_written_total, tarpons_events_delivered_total,
  // tarpons_event_retries_total, tarpons_events_given_up_total,
  // tarpons_events_dropped_total, tarpons_event_spool_depth and
  // tarpons_hook_run_seconds, for the event sink.
  EventMetrics events;
  // tarpons_new_passwords_refused_total{rule="common"|"sequence"|"context"}
  Counter* newPasswordsRefusedCommon;
  Counter* newPasswordsRefusedSequence;
  Counter* newPasswordsRefusedContext;

 private:
  void AddAccountMetrics();
  void AddEventMetrics();

  MetricsRegistry registry_;
  Counter* sessions_[kSessionOutcomes];  // tarpons_sessions_total{outcome}
};

#endif  // TARPON_GATEWAY_GATEWAY_METRICS_H_
