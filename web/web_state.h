// What tarpon-web's connections and its exchange threads share, split by
// who may touch it:
//
//   WebConfig   read-only once Start has filled it: any thread reads it
//               (web_shared.h).
//   WebShared   shared with the exchange pools: every member is safe from
//               any thread (web_shared.h).
//   LoopState   the event loop's alone: reached through WebState::Loop(),
//               which checks the calling thread in checking builds.
//
// A Peer is a connection as the loop counts it.
#ifndef TARPON_WEB_WEB_STATE_H_
#define TARPON_WEB_WEB_STATE_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "contract/thread_owner.h"
#include "metrics/metrics_listener.h"
#include "web/idempotency.h"
#include "web/readiness.h"
#include "web/web_admission.h"
#include "web/web_shared.h"

// Loads a certificate chain and its key for HTTPS; a key its group or
// others may read is refused. Null with a one-line reason.
std::shared_ptr<boost::asio::ssl::context> LoadServerTls(
    const WebSettings& settings, std::string* error);

class Peer;

// The event loop's alone.
struct LoopState {
  explicit LoopState(const WebLimits& limits)
      : admission({limits.maxConnections, limits.perSource}) {}

  ThreadOwner owner{"tarpon-web's loop state"};
  boost::asio::io_context io{1};
  std::shared_ptr<boost::asio::ssl::context> tls;  // SIGHUP replaces it
  IdempotencyStore idempotency{IdempotencyStore::Limits()};
  WebAdmission admission;
  std::set<Peer*> peers;
  bool stopping = false;
  bool tornDown = false;  // the loop is gone: no timer may be touched
  std::vector<boost::asio::ip::tcp::acceptor> acceptors;
  std::optional<boost::asio::ip::tcp::acceptor> redirect;
  boost::asio::signal_set stopSignals{io, SIGINT, SIGTERM};
  boost::asio::signal_set reloadSignal{io, SIGHUP};
  boost::asio::steady_timer stopTimer{io};
  // /readyz: the last verdict and when it came; while a probe is under
  // way, the answers that wait for it.
  ReadyVerdict ready;
  std::chrono::steady_clock::time_point readyAt;
  bool probing = false;
  std::vector<std::function<void(const ReadyVerdict&)>> readyWaiting;

  // After a connection's end, and at the stop: the stop's timer ends once
  // no connection is left.
  void PeerGone() {
    if (stopping && !tornDown && peers.empty()) stopTimer.cancel();
  }
};

// The members are declared so that whatever a connection refers to is
// destroyed after it: the pools (declared last, destroyed first) join their
// threads, whose jobs hold connections; the event loop's destruction then
// destroys the connections still queued in it; the TLS contexts, the
// counts, the metrics and the settings outlive both.
class WebState {
 public:
  explicit WebState(WebSettings settings);

  // Read-only for all but Start.
  const WebConfig& config() const { return config_; }
  WebConfig& ConfigForStart() { return config_; }
  WebShared& shared() { return shared_; }
  // The loop's state; the caller must be the loop's thread.
  LoopState& Loop() {
    loop_.owner.Check();
    return loop_;
  }
  // Makes the calling thread the loop's (the one that runs it, or that
  // destroys what is left of it); the previous owner must be done with it.
  LoopState& TakeOnLoop() {
    loop_.owner.TakeOn();
    return loop_;
  }
  // The pool of the destination a request names; an unknown or missing
  // name, which is answered without an exchange, the first one's.
  boost::asio::thread_pool& PoolFor(const std::string& destination);
  // Ends the pools' jobs (each within the gateway exchange's timeout).
  void JoinPools();
  // /readyz, on the loop's thread: answer gets the verdict on the loop's
  // thread, at once when the last is under a second old, else when the
  // probe (one at a time, on a thread of its own, within
  // kReadinessDeadlineSeconds) ends.
  void AskReadiness(std::function<void(const ReadyVerdict&)> answer);

 private:
  WebConfig config_;
  WebShared shared_;

 public:
  // Serves shared_'s registry: declared after it, so destroyed before it.
  std::unique_ptr<MetricsListener> metricsListener;

 private:
  LoopState loop_;
  std::map<std::string, std::unique_ptr<boost::asio::thread_pool>> pools_;
  boost::asio::thread_pool readinessPool_{1};
};

// A connection as the caps count it: from its acceptance to its
// destruction, under its source's key ("" for a balancer's connection
// before its PROXY header names the client). Loop thread only.
class Peer {
 public:
  Peer(WebState* state, const std::string& source);
  virtual ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // SIGTERM: close if nothing is under way, else answer and close.
  virtual void Stopping() = 0;
  // The stop's grace has passed: answer what is left, close the rest.
  virtual void StopDeadline() = 0;
  // Chosen to give way to a newcomer while idle: closes at once.
  virtual void Displace() = 0;

 protected:
  // Counts the connection under source from now on; false, counted as
  // before, when that source has no room.
  bool Recount(const std::string& source) {
    return state_->Loop().admission.Move(this, source);
  }
  // No request under way (true) or one is (false).
  void SetIdle(bool idle) { state_->Loop().admission.SetIdle(this, idle); }

  WebState* state_;
};

#endif  // TARPON_WEB_WEB_STATE_H_
