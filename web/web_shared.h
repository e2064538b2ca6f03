// What tarpon-web's connections and its exchange threads share, and the
// loop does not own: the read-only configuration and what is safe from any
// thread. No Asio, no Beast: the change service includes it.
//
//   WebConfig   read-only once Start has filled it: any thread reads it.
//   WebShared   shared with the exchange pools: every member is safe from
//               any thread (atomic metrics; the audit log behind a lock).
#ifndef TARPON_WEB_WEB_SHARED_H_
#define TARPON_WEB_WEB_SHARED_H_

#include <array>
#include <atomic>
#include <iostream>
#include <memory>
#include <string>

#include "comm/tls.h"
#include "contract/thread_annotations.h"
#include "logs/json_log.h"
#include "metrics/metrics_registry.h"
#include "web/change_page.h"
#include "web/device_cookie.h"
#include "web/outcome.h"
#include "web/web_settings.h"

// tarpon-web's metrics, each outcome's counter at the outcome's index.
// Updates from any thread.
struct WebMetrics {
  explicit WebMetrics(MetricsRegistry* registry);

  std::array<Counter*, kOutcomeCount> changes = {};
  // By GatewayFailure; kNone has none.
  std::array<Counter*, 5> gatewayErrors = {};
  // Changes to several destinations, by overall outcome: all_changed,
  // partly_changed, none_changed.
  std::array<Counter*, 3> multiChanges = {};
  Histogram* latency;
  Gauge* connections;
  Counter* refusedConnections;
};

// The audit log: one line a change (and one a replayed answer), whole,
// from any thread. A user ID that fails the host's check is written as
// "(not-a-user-id)": such a text may be a password typed into the wrong
// field.
//
// With kJson each line is an object (logs/json_log.h) with the same
// fields, event "change" or "replay" and the request's operation.
class AuditLog {
 public:
  explicit AuditLog(std::ostream* out) : out_(out) {}

  // Before any line is written.
  void SetFormat(LogFormat format) { format_ = format; }

  // "<time> change client=C user=U destination=D outcome=O code=N
  // operation=X" (without " operation=X" when operation is "")
  void Change(const std::string& operation, const std::string& client,
              const std::string& user, const std::string& destination,
              Outcome outcome, int code) TARPON_EXCLUDES(lock_);
  // "<time> replay client=C user=U destination=D status=S": the answer
  // kept for an Idempotency-Key went out again, without a change.
  void Replay(const std::string& operation, const std::string& client,
              const std::string& user, const std::string& destination,
              int status) TARPON_EXCLUDES(lock_);

 private:
  void Write(const std::string& line) TARPON_EXCLUDES(lock_);

  LogFormat format_ = LogFormat::kText;
  Mutex lock_;
  std::ostream* out_ TARPON_GUARDED_BY(lock_);
};

// tarpon-web's other lines, on standard error: "tarpon-web: text", or
// with kJson an object with event "notice" and text as its message.
// SetWebLogFormat comes before the first line.
void SetWebLogFormat(LogFormat format);
void WebNotice(const std::string& text);

// A new request's operation identifier, unique in the process and, with
// its random part, across restarts: "5f1c9a0e7b2d4c86-000001".
std::string NewOperationId();

// What the audit log shows in place of a user ID (or a destination) that
// fails the check.
extern const char kNotAUserId[];

// A file's whole text; "" with *error set when it cannot be read.
std::string ReadAsset(const std::string& path, std::string* error);

// Read-only once Start has filled it.
struct WebConfig {
  // Reads the page, its catalogues and the static files of
  // settings.assets; false with the reason.
  bool LoadAssets(std::string* error);
  // The destination a change names, the first one's for "".
  const std::string& DestinationOf(const std::string& named) const;

  WebSettings settings;
  ChangePage page;
  std::string script, style, icon, openapi;
  // -logo's file and its media type, "" without one.
  std::string logo, logoType;
  std::string destinations;  // with their labels and rules, as JSON
  std::string healthy = "ok\n";
  std::unique_ptr<TlsContext> gatewayTls;  // clients' contexts: any thread
  DeviceCookies devices;                   // the owner devices' cookies
};

// Shared with the exchange pools.
struct WebShared {
  // The audit log's lines go to auditOut, which outlives this.
  explicit WebShared(std::ostream* auditOut = &std::cout) : audit(auditOut) {}
  void Count(Outcome outcome) {
    size_t index = static_cast<size_t>(outcome);
    if (index < metrics.changes.size()) metrics.changes[index]->Increment();
  }

  MetricsRegistry registry;
  WebMetrics metrics{&registry};
  AuditLog audit;
  std::atomic<bool> proxyRefusalLogged{false};
};

#endif  // TARPON_WEB_WEB_SHARED_H_
