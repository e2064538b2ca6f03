// The gateway's event loop: one thread that accepts connections, keeps
// every session going while it waits for its client, and runs the engine
// for one whole request at a time.
//
// The engine runs in the loop's thread. Its state is process-wide (the
// trace switch and depth, the captured standard output, the node), and so
// is the trace that every comm operation opens; a second thread running
// the loop beside the engine would share that state unguarded. An engine
// run takes milliseconds, while the kernel queues new connections (backlog
// SOMAXCONN) and holds arriving bytes meanwhile, so nothing is lost by the
// wait.
#ifndef TARPON_GATEWAY_GATEWAY_LOOP_H_
#define TARPON_GATEWAY_GATEWAY_LOOP_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "comm/export_client.h"
#include "comm/listener.h"
#include "gateway/gateway_limits.h"
#include "gateway/gateway_log.h"
#include "gateway/gateway_session.h"

class TlsContext;

// The gateway's Listener, which also accepts without waiting and without
// taking a failed accept as the end.
class GatewayListener : public Listener {
 public:
  using Listener::Listener;
  // Accepts one waiting connection into client and *source (the peer's
  // IPv4 address in network byte order); 0, or the platform's error
  // (EAGAIN when none waits), which leaves the listener as it was.
  int AcceptWaiting(ExportClient& client, uint32_t* source);
  // An accept failure that ends the service: STATE_ERROR with
  // REASON_ACCEPT_FAILED and the error.
  void Fail(int error);
};

class GatewayLoop {
 public:
  // listener must be good and stay alive while the loop runs; log is the
  // buffer behind trace_log(), reopened on SIGHUP. With tls, which must
  // outlive the loop, every connection is served inside TLS and nothing
  // else.
  GatewayLoop(GatewayListener& listener, const GatewayLimits& limits,
              int timeoutSeconds, GatewayLog& log,
              const TlsContext* tls = nullptr);
  ~GatewayLoop();
  GatewayLoop(const GatewayLoop&) = delete;
  GatewayLoop& operator=(const GatewayLoop&) = delete;

  // Serves until SIGTERM or SIGINT (true: accepting stops, sessions whose
  // engine has run finish their reply, the rest are closed) or until an
  // accept fails for good (false: the listener holds the failure).
  bool Run();

 private:
  struct Slot {
    std::unique_ptr<GatewaySession> session;
    uint32_t source = 0;
    bool startup = true;   // counted against the startup caps
    bool watched = false;  // registered with epoll
    bool writing = false;
    int64_t deadlineMs = 0;
  };

  void AcceptWaiting();
  void AcceptFailed(int error);
  void Admit(const ExportClient& client, uint32_t source);
  void Step(int fd);
  void Settle(int fd, Slot& slot);
  void ExpireSessions(int64_t nowMs);
  void HandleSignals();
  void Stop();
  int NextWaitMs(int64_t nowMs) const;
  void Watch(int fd, uint32_t events, int operation);
  void LogLine(const std::string& text);

  GatewayListener& listener_;
  GatewayLimits limits_;
  int timeoutSeconds_;
  GatewayLog& log_;
  const TlsContext* tls_;
  StartupGate gate_;
  SourcePenalties penalties_;
  int epoll_ = -1;
  int signalPipe_[2] = {-1, -1};
  std::unordered_map<int, Slot> slots_;
  std::unordered_map<uint32_t, int> startupsBySource_;
  int startups_ = 0;
  size_t peakSessions_ = 0;
  std::set<std::pair<int64_t, int>> deadlines_;
  int64_t acceptPausedUntilMs_ = 0;
  int64_t nextPruneMs_ = 0;
  bool stopping_ = false;
  bool failed_ = false;
};

#endif  // TARPON_GATEWAY_GATEWAY_LOOP_H_
