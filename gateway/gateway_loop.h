// The gateway's event loop: one thread that accepts connections, keeps
// every session going while it waits for its client, and runs the engine
// for one whole request at a time.
//
// Who is let in, and for how long, is the Admission's to say: the loop asks
// it for every connection and tells it when a request is whole and how a
// session ended. The loop owns the sessions (each owns its socket) and the
// descriptors it watches; a session leaves the loop through one teardown.
//
// The engine runs in the loop's thread. Its state is process-wide (the
// trace switch and depth, the captured standard output, the node), and so
// is the trace that every comm operation opens. The kernel queues new
// connections (backlog SOMAXCONN) and holds arriving bytes while it runs.
#ifndef TARPON_GATEWAY_GATEWAY_LOOP_H_
#define TARPON_GATEWAY_GATEWAY_LOOP_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "comm/fd.h"
#include "comm/listener.h"
#include "gateway/admission.h"
#include "gateway/gateway_log.h"
#include "gateway/gateway_session.h"

class TlsContext;

// The gateway's Listener, which also accepts without waiting and without
// taking a failed accept as the end.
class GatewayListener : public Listener {
 public:
  using Listener::Listener;
  // Accepts one waiting connection, non-blocking, into *accepted, with the
  // peer's dotted address in *address and as a number in network byte
  // order in *source; 0, or the platform's error (EAGAIN when none
  // waits), which leaves the listener as it was.
  int AcceptWaiting(Fd* accepted, std::string* address, uint32_t* source);
  // An accept failure that ends the service: STATE_ERROR with
  // REASON_ACCEPT_FAILED and the error.
  void Fail(int error);
};

class GatewayLoop {
 public:
  // listener must be good and, like admission, log and tls, outlive the
  // loop; log is the buffer behind trace_log(), reopened on SIGHUP. With
  // tls every connection is served inside TLS and nothing else.
  GatewayLoop(GatewayListener& listener, Admission& admission, GatewayLog& log,
              const TlsContext* tls = nullptr);
  ~GatewayLoop();
  GatewayLoop(const GatewayLoop&) = delete;
  GatewayLoop& operator=(const GatewayLoop&) = delete;

  // Serves until SIGTERM or SIGINT (true: accepting stops, sessions whose
  // engine has run finish their reply, the rest are closed) or until an
  // accept or the loop's own machinery fails for good (false: the listener
  // holds the failure).
  bool Run();

 private:
  struct Slot {
    std::unique_ptr<GatewaySession> session;
    Admission::Ticket ticket;  // held while the request is awaited
    uint32_t source = 0;
    uint32_t events = 0;  // what epoll watches for; 0: not registered
    int64_t deadlineMs = 0;
  };
  using Slots = std::unordered_map<int, Slot>;

  void AcceptWaiting();
  void AcceptFailed(int error);
  void Admit(Fd socket, const std::string& address, uint32_t source);
  void Step(int fd);
  void Settle(Slots::iterator slot);
  void Close(Slots::iterator slot);
  void ExpireSessions(int64_t nowMs);
  void HandleSignals();
  void Stop();
  int NextWaitMs(int64_t nowMs) const;
  bool Watch(int fd, uint32_t events, int operation);
  void LogLine(const std::string& text);

  GatewayListener& listener_;
  Admission& admission_;
  GatewayLog& log_;
  const TlsContext* tls_;
  const Clock& clock_;
  Fd epoll_;
  Fd signalRead_;
  Fd signalWrite_;
  // The error that kept the constructor from setting the loop up, or 0.
  int setupError_ = 0;
  Slots slots_;
  size_t peakSessions_ = 0;
  std::set<std::pair<int64_t, int>> deadlines_;
  int64_t acceptPausedUntilMs_ = 0;
  int64_t nextPruneMs_ = 0;
  bool stopping_ = false;
  bool failed_ = false;
};

#endif  // TARPON_GATEWAY_GATEWAY_LOOP_H_
