// The gateway's event loop: one thread at a time (below) accepts
// connections, keeps every session going while it waits for its client,
// and begins each request.
//
// Who is let in, and for how long, is the Admission's to say: the loop asks
// it for every connection and tells it when a request is whole and how a
// session ended. The loop owns the sessions (each owns its socket) and the
// descriptors it watches; a session leaves the loop through one teardown.
//
// The loop never waits. It processes each request's options itself and
// answers at once one that needs no host conversation (help, a refused
// option); the host conversations run beside it on threads of their own,
// several at once, at most a share of them for any one destination, fed by
// a bounded queue; a session waits for them without counting as a
// connection without a request. A lone client's conversation the loop's
// thread holds itself, at the end of its turn, sparing it the crossing to
// another thread and back; should that conversation outlast a tick or
// anything else come for the loop meanwhile, the loop goes on on another
// thread at once (LoopBaton), and that destination's conversations go to
// the threads for a while. TLS sessions take their
// steps (the handshake, the records' encryption) on a pool of threads, one
// for each processor. While a session is with a thread the loop leaves it
// alone (unwatched, without a deadline); the thread hands it back through
// the loop's inbox.
#ifndef TARPON_GATEWAY_GATEWAY_LOOP_H_
#define TARPON_GATEWAY_GATEWAY_LOOP_H_

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "comm/fd.h"
#include "comm/listener.h"
#include "comm/net_block.h"
#include "contract/thread_owner.h"
#include "gateway/account_guard.h"
#include "gateway/admission.h"
#include "gateway/engine_runner.h"
#include "gateway/gateway_events.h"
#include "gateway/gateway_log.h"
#include "gateway/gateway_metrics.h"
#include "gateway/gateway_session.h"
#include "gateway/loop_baton.h"
#include "gateway/refusal_log.h"
#include "gateway/worker_pool.h"

class EventSink;
class TlsContext;

// The gateway's Listener, which also accepts without waiting and without
// taking a failed accept as the end.
class GatewayListener : public Listener {
 public:
  using Listener::Listener;
  // Accepts one waiting connection, non-blocking, into *accepted, with the
  // peer's address in *peer and as text (IPv6 in its standard form) in
  // *address; 0, or the platform's error (EAGAIN when none waits), which
  // leaves the listener as it was.
  int AcceptWaiting(Fd* accepted, sockaddr_storage* peer, std::string* address);
  // An accept failure that ends the service: STATE_ERROR with
  // REASON_ACCEPT_FAILED and the error.
  void Fail(int error);
};

// The most host conversations -conversations allows at once, and how many
// run at once without it: hosts that answer in tens to hundreds of
// milliseconds keep that many busy at a few hundred requests a second.
constexpr int kMaxConversations = 1024;
constexpr int kDefaultConversations = 64;

// The most conversations one destination holds at once out of all of
// them: seven eighths, and always one fewer than all, so that a host that
// stops answering leaves the rest to the others.
int ConversationsPerDestination(int conversations);

// How the loop reads its connections' sources.
struct LoopSettings {
  // Host conversations at once.
  int conversations = kDefaultConversations;
  // After SIGTERM, conversations still with a host this long are answered
  // "stopping" (over plain connections) and abandoned: the loop ends, and
  // GetAbandoned says how many.
  int stopSeconds = 15;
  // Called on the loop's thread once a stop abandoned conversations, with
  // their count: their threads never end, so the process must end there
  // (it does not return). Null: the loop ends and GetAbandoned says so.
  std::function<void(int)> onAbandoned;
  // The bits of an IPv6 source that the caps and penalties count as one
  // client (a client commonly holds a whole /64).
  int ipv6PrefixLength = 64;
  // The balancers whose connections begin with a PROXY header; no other
  // connection is ever read as one.
  NetBlockList proxyFrom;
  // What the loop counts; null: a set of the loop's own, served nowhere.
  GatewayMetrics* metrics = nullptr;
  // The limit per account that every request runs under; null: none.
  AccountGuard* accounts = nullptr;
  // The host a conversation reaches, for the limit per account and each
  // host's share of the conversations; null: the partner LU as named.
  HostResolver resolveHost;
  // Where each run's events go (gateway/gateway_events.h); null: nowhere.
  EventSink* events = nullptr;
};

class GatewayLoop {
 public:
  // listeners must be good and, like admission and log, outlive the loop;
  // log is the buffer behind trace_log(), reopened on SIGHUP. With tls
  // every connection is served inside TLS and nothing else; SIGHUP reads
  // its files again (new handshakes use them, sessions under way finish on
  // the old ones; files that fail leave the old ones in use).
  GatewayLoop(std::vector<GatewayListener*> listeners, Admission& admission,
              GatewayLog& log, std::unique_ptr<TlsContext> tls = nullptr,
              const LoopSettings& settings = LoopSettings());
  ~GatewayLoop();
  // The conversations a stop abandoned (see LoopSettings::stopSeconds):
  // their threads still wait for the host, so the process must end
  // without joining them.
  int GetAbandoned() const { return abandoned_; }
  GatewayLoop(const GatewayLoop&) = delete;
  GatewayLoop& operator=(const GatewayLoop&) = delete;

  // Serves until SIGTERM or SIGINT (true: accepting stops, connections
  // already accepted have two seconds to deliver their request and are
  // served, the rest are closed) or until an
  // accept or the loop's own machinery fails for good (false: the listener
  // of GetFailedListener() holds the failure).
  bool Run();
  // /readyz, from any thread while the loop lives: answer is called on
  // the loop's thread, once it takes up the question, with whether the
  // engine could start the SNA node for a request that changes nothing,
  // and a few words. A loop that does not turn never calls it.
  void AskReady(std::function<void(bool ready, const std::string& why)> answer);
  // The listener that holds the failure that ended Run().
  GatewayListener& GetFailedListener() const { return *failedListener_; }
  // Takes a connection accepted from peer (address: the peer as text) as
  // the loop takes each one its listeners accept: admitted or refused, then
  // served by Run(). socket must be connected and non-blocking.
  void Admit(Fd socket, const sockaddr_storage& peer,
             const std::string& address);

 private:
  struct Slot {
    std::unique_ptr<GatewaySession> session;
    Admission::Ticket ticket;  // held while the request is awaited
    SourceKey source;
    bool registered = false;  // known to epoll
    uint32_t events = 0;      // what epoll watches for
    bool tls = false;         // the session steps on the TLS threads
    bool proxied = false;     // admitted as a balancer's, client unknown
    bool handshakeCounted = false;
    bool busy = false;  // a thread has the session
    // A balancer's client under a penalty: its request is answered with
    // the seconds left, never run.
    int penaltySeconds = 0;
    int64_t deadlineMs = 0;  // in deadlines_ while not busy
  };
  using Slots = std::unordered_map<int, Slot>;

  void AcceptWaiting(GatewayListener& listener);
  void AcceptFailed(GatewayListener& listener, int error);
  // Ends the loop for good with error, held by listener.
  void Fail(GatewayListener& listener, int error);
  GatewayListener* ListenerOf(int fd) const;
  // Watches (events EPOLLIN) or unwatches (0) every listener; false when
  // epoll refused.
  bool WatchListeners(uint32_t events);
  // After a balancer's PROXY header: admits the client it names, or
  // refuses it (false, the slot closed).
  bool AdmitProxiedClient(Slots::iterator slot);
  // A penalised client of a balancer: its request answered, never run.
  void AnswerPenalised(Slots::iterator slot);
  SourceKey KeyOf(const sockaddr_storage& address,
                  const std::string& text) const;
  void Step(int fd);
  void StepNow(Slots::iterator slot);
  void Settle(Slots::iterator slot);
  // Hands the session to a thread: the TLS pool for its next step, or the
  // engine for its request. False when that queue is full.
  bool HandOver(Slots::iterator slot, WorkerPool& pool,
                std::function<bool()> work, std::function<void()> done,
                const std::string& key = std::string());
  // The session is back from its thread.
  Slots::iterator TakeBack(int fd, const GatewaySession* session);
  // A request's engine run: its options here, its conversation on a
  // conversation thread (or held on this one), its answer back here.
  struct ConversationJob {
    GatewaySession* session = nullptr;
    std::shared_ptr<GatewayEngineRun> run;
    std::chrono::steady_clock::time_point start;
    std::string user, destination, source, owner;
    EngineRunReport report;  // for the events (none without a sink)
    // An answer the loop sends, whose events it tells afterwards.
    EngineRun answered;
    bool toReport = false;
    std::string trace;  // the conversation thread's trace lines
    bool held = false;  // held on the loop's thread
  };
  bool SetUpDescriptors();
  void RunEngine(Slots::iterator slot);
  void AnswerAtOnce(Slots::iterator slot, ConversationJob* job);
  bool ConverseOnThread(ConversationJob* job);
  void ConversationBack(int fd, ConversationJob& job);
  // Whether the loop may hold a conversation to destination itself: the
  // session is the loop's only one, no conversation runs, and the
  // destination's host has not lately answered too slowly for it.
  bool MayHoldConversation(const std::string& destination);
  // The host a run's conversation reaches (see LoopSettings).
  // Writes the session's log text, marked as its operation's.
  void WriteSessionLog(GatewaySession* session);
  // A probe's request, processed: ended with what the node knows of its
  // destination.
  void EndProbe(GatewayEngineRun* run) const;
  std::string HostOf(const GatewayEngineRun& run) const;
  static EngineRun Converse(AccountGuard* accounts, GatewayEngineRun& run,
                            const std::string& user, const std::string& host,
                            const std::string& source, bool ownerDevice);
  static std::string UpperCase(std::string text);
  // At the end of a turn: holds the conversation kept for the loop. False
  // when the loop went on on another thread meanwhile.
  bool HoldConversation();
  // One turn of the loop; false when the loop has ended.
  bool Turn();
  // On a thread that takes the loop on.
  void TakeLoopOn();
  // Tells the admission how the engine answered the session's client.
  void CountFailedSignOn(const Slot& slot);
  void Close(Slots::iterator slot);
  void ExpireSessions(int64_t nowMs);
  void HandleSignals();
  void Reload();
  void Stop();
  void CloseAwaitingRequests();
  // Past the stop's time: answers and abandons the conversations left.
  void AbandonConversations();
  int NextWaitMs(int64_t nowMs) const;
  bool Watch(int fd, uint32_t events, int operation);
  void LogLine(const std::string& text);
  void LogLines(const std::vector<std::string>& lines);
  // Counts a refusal of kind in the metrics and logs it, bounded.
  void Refused(const std::string& address, RefusalKind kind,
               const std::string& reason);
  // The gauges, at the end of a turn.
  void UpdateGauges();

  std::vector<GatewayListener*> listeners_;
  GatewayListener* failedListener_;
  Admission& admission_;
  GatewayLog& log_;
  std::unique_ptr<TlsContext> tls_;
  LoopSettings settings_;
  std::unique_ptr<GatewayMetrics> ownMetrics_;
  GatewayMetrics* metrics_;
  uint64_t logLinesLost_ = 0;
  const Clock& clock_;
  Fd epoll_;
  Fd signalRead_;
  Fd signalWrite_;
  // The error that kept the constructor from setting the loop up, or 0.
  int setupError_ = 0;
  Slots slots_;
  LoopInbox inbox_;
  // Refused connections are logged once an address, then summarised.
  RefusalLog refusals_;
  size_t peakSessions_ = 0;
  std::set<std::pair<int64_t, int>> deadlines_;
  int64_t acceptPausedUntilMs_ = 0;
  int64_t nextPruneMs_ = 0;
  bool stopping_ = false;
  int64_t stopDeadlineMs_ = 0;
  // When requests stop starting after SIGTERM, on the steady clock; 0
  // before. Read by the engine's thread.
  std::atomic<int64_t> stopRunByMs_{0};
  int64_t abandonAtMs_ = 0;
  int abandoned_ = 0;
  static int64_t SteadyMs();
  bool IsPastStopRun() const;
  bool failed_ = false;
  bool epollFailed_ = false;
  // The conversation the loop holds at the end of its turn (no work: none).
  struct HeldConversation {
    std::function<bool()> work;
    std::function<void()> done;
    std::string destination;
    int fd = -1;
  };
  HeldConversation held_;
  // The session of a held conversation that outlasted its watch, watched
  // still until the loop's next holder unwatches it; -1: none.
  int lateFd_ = -1;
  // Destinations whose held conversation outlasted its watch, and until
  // when (steady clock) the loop holds none of theirs.
  std::unordered_map<std::string, int64_t> slowUntilMs_;
  // The loop's state is the thread's that holds the loop (LoopBaton): it
  // takes the loop, the admission and the log on when the loop passes.
  ThreadOwner owner_{"the gateway loop"};
  LoopBaton baton_;
  // Last, so that their threads end before the sessions they may hold.
  WorkerPool engine_;
  WorkerPool tlsPool_;
};

#endif  // TARPON_GATEWAY_GATEWAY_LOOP_H_
