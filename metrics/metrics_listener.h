// An HTTP listener that serves a registry's metrics to a scraper: "GET
// /metrics" answers the registry's text (Content-Type "text/plain;
// version=0.0.4"); "GET /healthz" answers "ok" (the process lives);
// "GET /readyz" asks the readiness probe, when one is set, and answers 200
// "ready" or 503 "not ready: why" (also when the probe has not answered
// within readyDeadline; without a probe it is 404). Any other path is 404 and
// any other method 405. It runs in
// a thread of its own with its own event loop, so a scrape never waits for
// the gateway's loop nor the loop for a scrape.
//
// A bounded number of connections is served at once (more are closed as
// soon as they are accepted); a request's head and body are limited in
// size; and each connection has one deadline for reading its request and
// writing the answer, so a slow or silent client loses its connection and
// holds nothing for long. One request is answered per connection.
#ifndef TARPON_METRICS_METRICS_LISTENER_H_
#define TARPON_METRICS_METRICS_LISTENER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm/listen_address.h"

class MetricsRegistry;

struct MetricsListenerLimits {
  // Connections served at once; Prometheus keeps one per target.
  int maxConnections = 8;
  // The most bytes of a request's head (request line and header fields),
  // and, separately, of its body.
  size_t maxRequestBytes = 8192;
  // From a connection's acceptance to the end of its answer.
  std::chrono::milliseconds deadline{10000};
  // The longest /readyz waits for the readiness probe.
  std::chrono::milliseconds readyDeadline{3000};
};

// Asks whether the program can serve: it must call its argument once, from
// any thread, with the verdict and a few words (it may also never call it:
// /readyz then answers 503 at its deadline).
using ReadinessProbe = std::function<void(
    std::function<void(bool ready, const std::string& why)> answer)>;

class MetricsListener {
 public:
  // registry must outlive the listener; it is only rendered, from the
  // listener's thread.
  explicit MetricsListener(const MetricsRegistry* registry,
                           MetricsListenerLimits limits = {});
  // The probe /readyz asks; before Start. It is called on the listener's
  // thread and must not block.
  void SetReadinessProbe(ReadinessProbe probe) { probe_ = std::move(probe); }
  // Stops.
  ~MetricsListener();
  MetricsListener(const MetricsListener&) = delete;
  MetricsListener& operator=(const MetricsListener&) = delete;

  // Listens on address (ParseListenAddress's form) and starts the
  // listener's thread. False, with a one-line reason in *error ("bad
  // address ..." or "cannot listen on ...: Address already in use"), when
  // the text does not parse, the listener runs already, or the address
  // cannot be bound; nothing runs then. The thread blocks every signal, so
  // signals go to the gateway's own threads.
  bool Start(const std::string& address, std::string* error);

  // Closes the listening socket and every connection and joins the thread.
  // Does nothing when not running; Start may be called again afterwards.
  void Stop();

  // The port listened on (the system's choice for port 0); 0 when not
  // running.
  uint16_t port() const;

 private:
  struct Running;
  const MetricsRegistry* registry_;
  MetricsListenerLimits limits_;
  ReadinessProbe probe_;
  std::unique_ptr<Running> running_;
};

#endif  // TARPON_METRICS_METRICS_LISTENER_H_
