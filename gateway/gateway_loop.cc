#include "gateway/gateway_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

#include "comm/gateway_protocol.h"
#include "comm/net_block.h"
#include "comm/record_format.h"
#include "comm/server.h"
#include "comm/tls.h"
#include "contract/account_held.h"
#include "contract/error_text.h"
#include "contract/secret.h"
#include "contract/tarpon_rc.h"
#include "gateway/account_guard.h"
#include "gateway/engine_runner.h"
#include "gateway/gateway_events.h"
#include "gateway/service_notify.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

// The pause after an accept failed for want of descriptors or memory.
constexpr int kAcceptPauseMs = 100;
constexpr int kMaxEvents = 256;
// The most connections one turn of the loop accepts: the queue is emptied
// in batches, with the sessions' turn in between.
constexpr int kAcceptBatch = 64;
constexpr int kPruneIntervalMs = 10000;
// After this many sessions at once have all ended, the heap they used is
// handed back to the system.
constexpr size_t kTrimAfterSessions = 256;
// Requests that may wait for the engine; a request past them is not run.
// At some 100 µs to a few ms a request, the last would wait about a second.
constexpr size_t kEngineQueue = 1024;
// How long a connection accepted before SIGTERM may take to deliver its
// request.
constexpr int kStopGraceMs = 2000;
// After SIGTERM a request waiting for the engine may start only within
// this time; one still waiting then is answered without being run, so that
// no request runs long after the stop and no client is left without word.
constexpr int kStopRunMs = 5000;
// How long what a thread posted without a wake-up may wait for the loop.
constexpr int kLazyPostMs = 20;
// TLS steps that may wait for a thread; past them a step runs in the loop.
constexpr size_t kTlsQueue = 8192;
// How often the conversation the loop holds is looked at: one still
// running a tick later, or anything else for the loop to do, and the loop
// goes on on another thread.
constexpr auto kHoldTick = std::chrono::milliseconds(1);
// After a held conversation outlasted its tick, how long the loop holds
// none to that destination, and the most destinations so remembered.
constexpr int64_t kSlowHostMs = 1000;
constexpr size_t kMaxSlowDestinations = 1024;

}  // namespace

int ConversationsPerDestination(int conversations) {
  if (conversations <= 1) return 1;
  int reserved = conversations / 8 < 1 ? 1 : conversations / 8;
  return conversations - reserved;
}

namespace {

int TlsThreads() {
  unsigned int processors = std::thread::hardware_concurrency();
  return processors == 0 ? 2 : static_cast<int>(processors);
}

// The write end of the signal pipe, for the handler.
volatile sig_atomic_t signalPipeWrite = -1;

void OnSignal(int signal) {
  int saved = errno;
  char byte = static_cast<char>(signal);
  if (signalPipeWrite >= 0) {
    ssize_t ignored = write(signalPipeWrite, &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

void SetHandler(int signal, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}

// Failures that concern one connection or a passing shortage: the accept
// is tried again.
bool IsTransient(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EINTR:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

bool IsShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS ||
         error == ENOMEM;
}

// The dotted form of an IPv4 address in network order, as inet_ntop writes
// it, without its formatted printing.
std::string DottedAddress(const in_addr& address) {
  char text[INET_ADDRSTRLEN];
  char* out = text;
  const unsigned char* bytes =
      reinterpret_cast<const unsigned char*>(&address.s_addr);
  for (int i = 0; i < 4; ++i) {
    unsigned int value = bytes[i];
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    *out++ = i < 3 ? '.' : '\0';
  }
  return text;
}

}  // namespace

int GatewayListener::AcceptWaiting(Fd* accepted, sockaddr_storage* peer,
                                   std::string* address) {
  int result = 0;
  TraceScope scope("GatewayListener::AcceptWaiting", &result, TRACE_OFF);
  *peer = {};
  socklen_t length = sizeof *peer;
  int fd = accept4(socket_, reinterpret_cast<sockaddr*>(peer), &length,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    result = errno;
    return result;
  }
  accepted->Reset(fd);
  if (peer->ss_family == AF_INET) {
    *address = DottedAddress(reinterpret_cast<sockaddr_in*>(peer)->sin_addr);
  } else {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(peer)->sin6_addr, text,
              sizeof text);
    *address = text;
  }
  return result;
}

void GatewayListener::Fail(int error) {
  TraceScope scope("GatewayListener::Fail(error)", TRACE_OFF);
  Connection::Fail(REASON_ACCEPT_FAILED, error);
}

GatewayLoop::GatewayLoop(std::vector<GatewayListener*> listeners,
                         Admission& admission, GatewayLog& log,
                         std::unique_ptr<TlsContext> tls,
                         const LoopSettings& settings)
    : listeners_(std::move(listeners)),
      failedListener_(listeners_.front()),
      admission_(admission),
      log_(log),
      tls_(std::move(tls)),
      settings_(settings),
      ownMetrics_(settings.metrics == nullptr
                      ? std::make_unique<GatewayMetrics>()
                      : nullptr),
      metrics_(settings.metrics != nullptr ? settings.metrics
                                           : ownMetrics_.get()),
      clock_(admission.GetClock()),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      baton_(
          kHoldTick, epoll_.get(),
          [flags = trace_flags] {
            pthread_setname_np(pthread_self(), "tarpons-loop");
            set_trace_flags(flags);
          },
          [this] { TakeLoopOn(); }),
      // The engine traces when the gateway was started with -t.
      engine_(settings.conversations, kEngineQueue, inbox_,
              [flags = trace_flags] {
                pthread_setname_np(pthread_self(), "tarpons-engine");
                set_trace_flags(flags);
              }),
      tlsPool_(TlsThreads(), kTlsQueue, inbox_,
               [] { pthread_setname_np(pthread_self(), "tarpons-tls"); }) {
  engine_.SetRunningPerKey(
      static_cast<size_t>(ConversationsPerDestination(settings.conversations)));
  // The log is written from several threads: it must not flush standard
  // output from any of them.
  std::cout.flush();
  trace_log();
  std::clog.tie(nullptr);
  if (!SetUpDescriptors()) {
    setupError_ = errno;
    return;
  }
  signalPipeWrite = signalWrite_.get();
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) SetHandler(signal, OnSignal);
  // The event sink's lines are written by the loop, like every other.
  if (settings_.events != nullptr) {
    settings_.events->SetLog([this](const std::string& line) {
      inbox_.Post([this, line] {
        LogLine(line);
        trace_log().flush();
      });
    });
  }
}

// The signal pipe, the listeners made non-blocking, and what epoll
// watches; false, errno set, when any fails.
bool GatewayLoop::SetUpDescriptors() {
  int pipeFds[2] = {-1, -1};
  if (!epoll_ || !inbox_.IsReady() ||
      pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  signalRead_.Reset(pipeFds[0]);
  signalWrite_.Reset(pipeFds[1]);
  for (GatewayListener* listener : listeners_) {
    int flags = fcntl(listener->GetSocket(), F_GETFL);
    if (flags < 0 ||
        fcntl(listener->GetSocket(), F_SETFL, flags | O_NONBLOCK) != 0 ||
        !Watch(listener->GetSocket(), EPOLLIN, EPOLL_CTL_ADD)) {
      return false;
    }
  }
  return Watch(signalRead_.get(), EPOLLIN, EPOLL_CTL_ADD) &&
         Watch(inbox_.GetFd(), EPOLLIN, EPOLL_CTL_ADD);
}

void GatewayLoop::WriteSessionLog(GatewaySession* session) {
  std::string text = session->TakeLogText();
  if (text.empty()) return;
  log_.BeginOperation(session->GetOperation(), session->GetClientAddress());
  trace_log() << text;
  log_.EndOperation();
}

void GatewayLoop::AskReady(
    std::function<void(bool ready, const std::string& why)> answer) {
  inbox_.Post([this, answer = std::move(answer)] {
    // A stopping gateway takes no new clients: a balancer moves on.
    if (stopping_) return answer(false, "the gateway is stopping");
    // An option no engine knows, without passwords: refused (14, or 4
    // for the option alone) once the SNA node has started, before any host
    // is asked; a node that cannot start ends it sooner, with its own code.
    EngineRun run = RunGatewayRequest(" -tarpon-readiness-check");
    if (run.returnCode == TARPON_RC_BAD_OPTION ||
        run.returnCode == TARPON_RC_INFORMATION) {
      answer(true, "the loop answers and the SNA node starts");
    } else {
      answer(false, "the SNA node cannot be used (rc " +
                        std::to_string(run.returnCode) + ")");
    }
  });
}

GatewayLoop::~GatewayLoop() {
  if (settings_.events != nullptr) settings_.events->SetLog(nullptr);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) SetHandler(signal, SIG_DFL);
  signalPipeWrite = -1;
  std::clog.tie(&std::cout);
}

bool GatewayLoop::Watch(int fd, uint32_t events, int operation) {
  epoll_event event = {};
  event.events = events;
  event.data.fd = fd;
  return epoll_ctl(epoll_.get(), operation, fd, &event) == 0;
}

void GatewayLoop::LogLine(const std::string& text) {
  trace_log() << GatewayTimeStamp() << text << '\n';
}

void GatewayLoop::LogLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) LogLine(line);
}

void GatewayLoop::Refused(const std::string& address, RefusalKind kind,
                          const std::string& reason) {
  switch (kind) {
    case RefusalKind::kPenalty:
      metrics_->refusedPenalty->Increment();
      break;
    case RefusalKind::kPerSource:
      metrics_->refusedPerSource->Increment();
      break;
    case RefusalKind::kStartups:
      metrics_->refusedStartups->Increment();
      break;
    default:
      break;
  }
  LogLines(refusals_.Refuse(address, kind, reason, clock_.NowMs()));
}

void GatewayLoop::UpdateGauges() {
  metrics_->connectionsOpen->Set(static_cast<int64_t>(slots_.size()));
  metrics_->connectionsAwaitingRequest->Set(admission_.GetStartups());
  const uint64_t lost = log_.GetLostCount();
  if (lost > logLinesLost_) {
    metrics_->logWriteFailures->Increment(lost - logLinesLost_);
    logLinesLost_ = lost;
  }
}

void GatewayLoop::Fail(GatewayListener& listener, int error) {
  listener.Fail(error);
  failedListener_ = &listener;
  failed_ = true;
}

GatewayListener* GatewayLoop::ListenerOf(int fd) const {
  for (GatewayListener* listener : listeners_) {
    if (listener->GetSocket() == fd) return listener;
  }
  return nullptr;
}

bool GatewayLoop::WatchListeners(uint32_t events) {
  for (GatewayListener* listener : listeners_) {
    if (!Watch(listener->GetSocket(), events, EPOLL_CTL_MOD)) {
      Fail(*listener, errno);
      return false;
    }
  }
  return true;
}

bool GatewayLoop::Run() {
  if (setupError_ != 0) {
    Fail(*listeners_.front(), setupError_);
    return false;
  }
  TakeLoopOn();
  baton_.Run([this] { return Turn(); });
  log_.TakeOn();
  owner_.TakeOn();
  admission_.TakeOn();
  if (epollFailed_) return false;
  LogLines(refusals_.TakeAll(clock_.NowMs()));
  trace_log().flush();
  return !failed_;
}

bool GatewayLoop::Turn() {
  owner_.Check();
  if (failed_ || (stopping_ && slots_.empty())) return false;
  epoll_event events[kMaxEvents];
  // The turn's log lines go out together, before the loop sleeps.
  trace_log().flush();
  int count =
      epoll_wait(epoll_.get(), events, kMaxEvents, NextWaitMs(clock_.NowMs()));
  if (count < 0 && errno != EINTR) {
    Fail(*listeners_.front(), errno);
    epollFailed_ = true;
    return false;
  }
  // Signals first: a stop must not admit what is already queued. The pipe
  // is read only when it is ready, or when a signal cut the wait short.
  bool signalled = count < 0;
  for (int i = 0; i < count; ++i) {
    if (events[i].data.fd == signalRead_.get()) signalled = true;
  }
  if (signalled) HandleSignals();
  // What threads finished, woken or not, before anything new is let in.
  if (inbox_.HasPosted()) inbox_.RunPosted();
  std::vector<GatewayListener*> acceptable;
  for (int i = 0; i < count; ++i) {
    int fd = events[i].data.fd;
    if (GatewayListener* listener = ListenerOf(fd)) {
      acceptable.push_back(listener);
    } else if (fd == inbox_.GetFd()) {
      // Run above.
    } else if (fd != signalRead_.get()) {
      Step(fd);
    }
  }
  int64_t now = clock_.NowMs();
  if (acceptPausedUntilMs_ != 0 && now >= acceptPausedUntilMs_) {
    acceptPausedUntilMs_ = 0;
    if (!stopping_ && WatchListeners(EPOLLIN)) acceptable = listeners_;
  }
  for (GatewayListener* listener : acceptable) {
    if (stopping_ || failed_ || acceptPausedUntilMs_ != 0) break;
    AcceptWaiting(*listener);
  }
  ExpireSessions(clock_.NowMs());
  if (stopping_ && clock_.NowMs() >= stopDeadlineMs_) CloseAwaitingRequests();
  if (stopping_ && clock_.NowMs() >= abandonAtMs_) {
    AbandonConversations();
    if (abandoned_ > 0 && settings_.onAbandoned) {
      settings_.onAbandoned(abandoned_);
    }
    return false;
  }
  // Past a held conversation that lost the loop, the turn is another
  // thread's.
  if (held_.work && !HoldConversation()) return true;
  UpdateGauges();
  return true;
}

int GatewayLoop::NextWaitMs(int64_t nowMs) const {
  int64_t next = nextPruneMs_ != 0 ? nextPruneMs_ : nowMs + kPruneIntervalMs;
  if (!deadlines_.empty() && deadlines_.begin()->first < next) {
    next = deadlines_.begin()->first;
  }
  if (acceptPausedUntilMs_ != 0 && acceptPausedUntilMs_ < next) {
    next = acceptPausedUntilMs_;
  }
  if (refusals_.NextDueMs() < next) next = refusals_.NextDueMs();
  // The stop's grace counts once: past it, it would wake the loop at once
  // on every turn for the rest of the stop.
  if (stopping_ && stopDeadlineMs_ > nowMs && stopDeadlineMs_ < next) {
    next = stopDeadlineMs_;
  }
  if (stopping_ && abandonAtMs_ < next) next = abandonAtMs_;
  // What the engine finishes is posted without a wake-up.
  if (engine_.GetPending() > 0 && nowMs + kLazyPostMs < next) {
    next = nowMs + kLazyPostMs;
  }
  if (inbox_.HasPosted()) next = nowMs;
  int64_t wait = next - nowMs;
  if (wait < 0) return 0;
  return wait > kPruneIntervalMs ? kPruneIntervalMs : static_cast<int>(wait);
}

// Accepts until the kernel's queue is empty, in a bounded batch: the epoll
// is level triggered, so a longer queue wakes the loop again, with the
// sessions' turn in between.
void GatewayLoop::AcceptWaiting(GatewayListener& listener) {
  for (int accepted = 0; accepted < kAcceptBatch && !failed_; ++accepted) {
    Fd socket;
    sockaddr_storage peer;
    std::string address;
    int error = listener.AcceptWaiting(&socket, &peer, &address);
    if (error == EAGAIN || error == EWOULDBLOCK) return;
    if (error != 0) {
      AcceptFailed(listener, error);
      return;
    }
    Admit(std::move(socket), peer, address);
    // A lone client's conversation is to be held at the end of this turn:
    // a connection behind it makes the loop's descriptor readable, which
    // the baton's watch sees, so another accept here would only cost time.
    if (held_.work) return;
  }
}

// Logs a failed accept and pauses accepting after a shortage, or ends the
// loop when the failure is not one that passes.
void GatewayLoop::AcceptFailed(GatewayListener& listener, int error) {
  if (!IsTransient(error)) {
    Fail(listener, error);
    return;
  }
  std::string text =
      std::string("TARPON SERVER accept failed (") + ErrorText(error) + ")";
  if (!IsShortage(error)) {
    LogLine(text + ", retrying");
    return;
  }
  LogLine(text + ", retrying in " + std::to_string(kAcceptPauseMs) + " ms");
  acceptPausedUntilMs_ = clock_.NowMs() + kAcceptPauseMs;
  WatchListeners(0);
}

void GatewayLoop::Admit(Fd socket, const sockaddr_storage& peer,
                        const std::string& address) {
  const bool balancer =
      !settings_.proxyFrom.IsEmpty() && settings_.proxyFrom.Contains(peer);
  const SourceKey source = balancer ? SourceKey() : KeyOf(peer, address);
  Admission::Ticket ticket;
  Admission::Verdict verdict = balancer ? admission_.AdmitFromBalancer(&ticket)
                                        : admission_.Admit(source, &ticket);
  std::string refusal;
  RefusalKind kind = RefusalKind::kTls;
  if (verdict != Admission::Verdict::kAdmitted) {
    refusal = admission_.Describe(verdict, source);
    kind = verdict == Admission::Verdict::kPenalised ? RefusalKind::kPenalty
           : verdict == Admission::Verdict::kPerSourceCap
               ? RefusalKind::kPerSource
               : RefusalKind::kStartups;
  }
  std::unique_ptr<TlsSession> tls;
  if (refusal.empty() && tls_ != nullptr) {
    // Only a trusted front end resumes sessions: nobody else gets tickets.
    tls = TlsSession::ForServer(*tls_, socket.get(), &refusal, balancer);
  }
  if (!refusal.empty()) {
    Refused(address, kind, refusal);
    return;
  }
  const int fd = socket.get();
  Slot slot;
  slot.session = std::make_unique<GatewaySession>(
      std::move(socket), address, balancer ? 0 : Server::CountSession(),
      admission_.GetTimeoutMs(), admission_.GetMaxRequestLength(), clock_,
      balancer);
  slot.proxied = balancer;
  if (tls) {
    slot.session->SetChannel(std::move(tls));
    slot.tls = true;
  }
  slot.ticket = std::move(ticket);
  slot.source = source;
  slot.deadlineMs = slot.session->GetDeadlineMs();
  slots_[fd] = std::move(slot);
  if (slots_.size() > peakSessions_) peakSessions_ = slots_.size();
  deadlines_.insert({slots_[fd].deadlineMs, fd});
  // The request is often there already: the session may end before it
  // needs watching.
  Step(fd);
}

std::string GatewayLoop::UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(c));
  return text;
}

// An IPv4 address counts whole, an IPv6 one by its prefix.
SourceKey GatewayLoop::KeyOf(const sockaddr_storage& address,
                             const std::string& text) const {
  return address.ss_family == AF_INET
             ? text
             : SourcePrefixKey(address, settings_.ipv6PrefixLength);
}

bool GatewayLoop::AdmitProxiedClient(Slots::iterator found) {
  Slot& slot = found->second;
  GatewaySession& session = *slot.session;
  slot.proxied = false;
  slot.source = KeyOf(session.GetProxiedSource(), session.GetClientAddress());
  Admission::Ticket ticket;
  Admission::Verdict verdict = admission_.Admit(slot.source, &ticket);
  if (verdict == Admission::Verdict::kAdmitted) {
    slot.ticket = std::move(ticket);
    return true;
  }
  // A trusted front end hears why: its request is answered, not run.
  if (verdict == Admission::Verdict::kPenalised) {
    slot.penaltySeconds = admission_.GetPenaltySecondsLeft(slot.source);
    if (slot.penaltySeconds > 0) return true;
  }
  RefusalKind kind =
      verdict == Admission::Verdict::kPenalised      ? RefusalKind::kPenalty
      : verdict == Admission::Verdict::kPerSourceCap ? RefusalKind::kPerSource
                                                     : RefusalKind::kStartups;
  Refused(session.GetClientAddress(), kind,
          admission_.Describe(verdict, slot.source));
  Close(found);
  return false;
}

void GatewayLoop::AnswerPenalised(Slots::iterator found) {
  Slot& slot = found->second;
  EngineRun refused;
  refused.returnCode = TARPON_RC_ACCOUNT_HELD;
  refused.text =
      "\n" +
      SourceHeldText(slot.session->GetClientAddress(), slot.penaltySeconds) +
      "\n";
  refused.logText = "refused for " + std::to_string(slot.penaltySeconds) +
                    " seconds more after failed sign-ons\n";
  slot.session->Answer(refused);
  slot.penaltySeconds = 0;
  metrics_->refusedPenalty->Increment();
  if (slot.session->GetPhase() == GatewaySession::Phase::kSending) {
    StepNow(found);
  } else {
    Settle(found);
  }
}

void GatewayLoop::Step(int fd) {
  auto found = slots_.find(fd);
  if (found == slots_.end() || found->second.busy) return;
  StepNow(found);
}

// A plain session steps here; a TLS session's step goes to a TLS thread,
// or, when their queue is full, here too.
void GatewayLoop::StepNow(Slots::iterator found) {
  GatewaySession* session = found->second.session.get();
  if (found->second.tls && HandOver(
                               found, tlsPool_,
                               [session] {
                                 session->TakeOn();
                                 session->Step();
                                 return true;
                               },
                               [this, fd = found->first, session] {
                                 auto back = TakeBack(fd, session);
                                 if (back != slots_.end()) Settle(back);
                               })) {
    return;
  }
  session->Step();
  Settle(found);
}

bool GatewayLoop::HandOver(Slots::iterator found, WorkerPool& pool,
                           std::function<bool()> work,
                           std::function<void()> done, const std::string& key) {
  Slot& slot = found->second;
  if (!pool.Submit(std::move(work), std::move(done), key)) return false;
  slot.busy = true;
  deadlines_.erase({slot.deadlineMs, found->first});
  if (slot.registered && slot.events != 0) {
    // Level triggered: a watched socket would wake the loop while the
    // thread has it.
    slot.events = 0;
    if (!Watch(found->first, 0, EPOLL_CTL_MOD)) {
      LogLine("TARPON SERVER cannot unwatch session id(" +
              std::to_string(slot.session->GetId()) + "): " + ErrorText(errno));
    }
  }
  return true;
}

GatewayLoop::Slots::iterator GatewayLoop::TakeBack(
    int fd, const GatewaySession* session) {
  owner_.Check();
  auto found = slots_.find(fd);
  if (found == slots_.end() || found->second.session.get() != session) {
    return slots_.end();
  }
  found->second.busy = false;
  found->second.session->TakeOn();
  return found;
}

// A request that needs a host conversation goes to a conversation thread,
// which has the session until it comes back: there the reply starts out at
// once, without a turn of the loop in between, and what is left of it goes
// on here.
void GatewayLoop::RunEngine(Slots::iterator found) {
  GatewaySession* session = found->second.session.get();
  auto job = std::make_shared<ConversationJob>();
  job->session = session;
  // The new password is kept, wiped with the job, for the sync hooks only.
  job->run = std::make_shared<GatewayEngineRun>(
      session->GetRequest(),
      settings_.events != nullptr && settings_.events->HasSyncHooks(),
      session->IsProbe());
  job->start = std::chrono::steady_clock::now();
  // The options are processed here, once; a request that needs no
  // conversation is answered at once, behind no conversation.
  if (!job->run->Begin()) {
    AnswerAtOnce(found, job.get());
    return;
  }
  if (session->IsProbe()) {
    EndProbe(job->run.get());
    AnswerAtOnce(found, job.get());
    return;
  }
  job->destination = HostOf(*job->run);
  job->user = job->run->GetUser();
  job->source = found->second.source;
  job->owner = session->GetOwnerDevice();
  if (settings_.events != nullptr) {
    job->report.user = job->user;
    job->report.destination = job->run->GetNamedDestination();
    job->report.source = session->GetClientAddress();
    job->report.operation = session->GetOperation();
    job->report.parts = session->GetOperationParts();
    job->report.newPassword = job->run->TakeNewPassword();
  }
  const std::string destination = job->destination;
  // The reply starts out from the conversation's thread; from the loop's
  // own, once the conversation is over (see HoldConversation).
  job->held = MayHoldConversation(destination);
  std::function<bool()> work = [this, job] {
    return ConverseOnThread(job.get());
  };
  std::function<void()> done = [this, fd = found->first, job] {
    ConversationBack(fd, *job);
  };
  if (job->held) {
    // Held here at the end of the turn, the node started by Begin still
    // this thread's; the session stays watched unless the loop moves on.
    Slot& slot = found->second;
    slot.busy = true;
    deadlines_.erase({slot.deadlineMs, found->first});
    held_ = {std::move(work), std::move(done), destination, found->first};
    return;
  }
  job->run->HandOver();
  if (HandOver(found, engine_, std::move(work), std::move(done), destination)) {
    return;
  }
  session->Abandon("not run: " + std::to_string(kEngineQueue) +
                   " requests wait for the engine");
  Settle(found);
}

void GatewayLoop::AnswerAtOnce(Slots::iterator found, ConversationJob* job) {
  GatewaySession* session = job->session;
  session->Answer(job->run->Take());
  metrics_->engineRunSeconds->Observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                    job->start)
          .count());
  metrics_->CountSession(session->GetReturnCode());
  CountFailedSignOn(found->second);
  if (session->GetPhase() == GatewaySession::Phase::kSending) {
    StepNow(found);
  } else {
    Settle(found);
  }
}

// On the conversation's thread: true when the loop must step the session
// (see WorkerPool::Submit).
bool GatewayLoop::ConverseOnThread(ConversationJob* job) {
  // The log is the loop's alone: trace lines made here are kept and
  // written there when the session comes back.
  TraceLogToString keeper(&job->trace);
  GatewaySession* session = job->session;
  session->TakeOn();
  if (IsPastStopRun()) {
    EngineRun stopping;
    stopping.returnCode = TARPON_RC_LOCAL_UNAVAILABLE;
    stopping.text = "\nTARPON SERVER : stopping, not run.\n";
    stopping.logText = "not run: the gateway is stopping\n";
    session->Answer(stopping);
    return true;
  }
  // A trusted front end vouches for the owner's device of this user ID.
  const bool ownerDevice =
      !job->owner.empty() && UpperCase(job->owner) == job->user;
  EngineRun result = Converse(settings_.accounts, *job->run, job->user,
                              job->destination, job->source, ownerDevice);
  if (result.refused) {
    session->Abandon(result.logText);
    return true;
  }
  session->Answer(result);
  metrics_->engineRunSeconds->Observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                    job->start)
          .count());
  metrics_->CountSession(session->GetReturnCode());
  // A failed sign-on's penalty is the loop's to count before the client
  // hears of it, or its next try could come in first.
  if (job->held || Admission::IsFailedSignOn(session->GetReturnCode())) {
    // Its events once the loop has sent the answer.
    job->answered = std::move(result);
    job->toReport = true;
    return true;
  }
  session->Step();
  // The events are told after the answer started out, never before it.
  ReportEngineRun(settings_.events, &job->report, result);
  // A session that ended with its reply needs only closing: the loop's
  // next turn is soon enough.
  return !session->IsEnded();
}

void GatewayLoop::ConversationBack(int fd, ConversationJob& job) {
  if (!job.trace.empty()) trace_log() << job.trace << std::flush;
  GatewaySession* session = job.session;
  auto back = TakeBack(fd, session);
  if (back != slots_.end()) {
    CountFailedSignOn(back->second);
    if (job.held && session->GetPhase() == GatewaySession::Phase::kSending) {
      // As the conversation's thread would: no crossing to a TLS thread.
      session->Step();
      Settle(back);
    } else if (session->GetPhase() == GatewaySession::Phase::kSending) {
      StepNow(back);
    } else {
      Settle(back);
    }
  }
  if (job.toReport)
    ReportEngineRun(settings_.events, &job.report, job.answered);
}

void GatewayLoop::EndProbe(GatewayEngineRun* run) const {
  const std::string named = run->GetDestination();
  const std::string host =
      settings_.resolveHost
          ? settings_.resolveHost(named, run->GetSymbolicDestination())
          : named;
  if (host.empty()) {
    run->EndProbe(GATEWAY_RC_PROBE_UNKNOWN,
                  "the SNA node has no destination " +
                      (named.empty() ? run->GetSymbolicDestination() : named) +
                      "\n");
  } else {
    run->EndProbe(GATEWAY_RC_PROBE_KNOWN, "reaches " + host + "\n");
  }
}

std::string GatewayLoop::HostOf(const GatewayEngineRun& run) const {
  const std::string named = run.GetDestination();
  if (!settings_.resolveHost) return named;
  const std::string host =
      settings_.resolveHost(named, run.GetSymbolicDestination());
  return host.empty() ? named : host;
}

// On a conversation's thread: the conversation under the limit per
// account (none when accounts is null), its try reserved before and
// settled after.
EngineRun GatewayLoop::Converse(AccountGuard* accounts, GatewayEngineRun& run,
                                const std::string& user,
                                const std::string& host,
                                const std::string& source, bool ownerDevice) {
  if (accounts == nullptr) {
    run.Converse();
    return run.Take();
  }
  AccountGuard::Ticket ticket =
      accounts->Reserve(user, host, source, ownerDevice);
  if (!ticket.granted) return std::move(ticket.refusal);
  run.Converse();
  EngineRun result = run.Take();
  accounts->Settle(ticket, &result);
  return result;
}

bool GatewayLoop::MayHoldConversation(const std::string& destination) {
  if (held_.work || slots_.size() != 1 || engine_.GetPending() != 0 ||
      baton_.HasLateJob()) {
    return false;
  }
  auto slow = slowUntilMs_.find(destination);
  if (slow == slowUntilMs_.end()) return true;
  if (SteadyMs() < slow->second) return false;
  slowUntilMs_.erase(slow);
  return true;
}

bool GatewayLoop::HoldConversation() {
  HeldConversation held = std::move(held_);
  held_ = HeldConversation();
  lateFd_ = held.fd;
  const auto start = std::chrono::steady_clock::now();
  auto end = start;
  if (baton_.RunWatched([&held, &end] {
        held.work();
        end = std::chrono::steady_clock::now();
      })) {
    lateFd_ = -1;
    held.done();
    return true;
  }
  // The loop is another thread's now: only the inbox and the baton are
  // this thread's to touch. The loop is woken at once, to learn that the
  // conversation has ended. Its host counts as slow for a while when the
  // conversation itself outlasted the tick, not when another client came
  // for the loop meanwhile.
  const bool slow = end - start >= kHoldTick;
  inbox_.Post(
      [this, done = std::move(held.done),
       destination = std::move(held.destination), slow] {
        baton_.EndLateJob();
        if (slow) {
          if (slowUntilMs_.size() >= kMaxSlowDestinations) {
            slowUntilMs_.clear();
          }
          slowUntilMs_[destination] = SteadyMs() + kSlowHostMs;
        }
        done();
      },
      true);
  return false;
}

void GatewayLoop::TakeLoopOn() {
  log_.TakeOn();
  owner_.TakeOn();
  admission_.TakeOn();
  // The sessions no other thread has are the loop's (rare: the loop passes
  // only when a held conversation outlasts its watch).
  for (auto& [fd, slot] : slots_) {
    if (!slot.busy) slot.session->TakeOn();
  }
  if (lateFd_ < 0) return;
  auto late = slots_.find(lateFd_);
  lateFd_ = -1;
  if (late == slots_.end() || late->second.events == 0) return;
  late->second.events = 0;
  if (!Watch(late->first, 0, EPOLL_CTL_MOD)) {
    LogLine("TARPON SERVER cannot unwatch session id(" +
            std::to_string(late->second.session->GetId()) +
            "): " + ErrorText(errno));
  }
}

void GatewayLoop::CountFailedSignOn(const Slot& slot) {
  const GatewaySession& session = *slot.session;
  int seconds =
      admission_.Settle(slot.source, session.HasRun(), session.GetReturnCode());
  if (seconds > 0) {
    metrics_->penaltiesStarted->Increment();
    LogLine("TARPON SERVER penalty for IP(" + session.GetClientAddress() +
            "): " + std::to_string(admission_.GetLimits().penaltyCount) +
            " failed sign-ons, refused for " + std::to_string(seconds) +
            " seconds");
  }
}

// Brings the loop's books in line with the session after it moved: the
// startup is given back once the request is whole, a whole request goes to
// the engine, an ended session is closed, and the watch and the deadline
// follow the session.
void GatewayLoop::Settle(Slots::iterator found) {
  Slot& slot = found->second;
  GatewaySession& session = *slot.session;
  if (slot.proxied && session.IsProxied() && !AdmitProxiedClient(found)) {
    return;
  }
  if (slot.tls && !slot.handshakeCounted &&
      (session.IsHandshakeDone() || session.IsHandshakeFailed())) {
    slot.handshakeCounted = true;
    (session.IsHandshakeDone() ? metrics_->tlsHandshakesCompleted
                               : metrics_->tlsHandshakesFailed)
        ->Increment();
  }
  if (!session.IsAwaitingRequest()) slot.ticket.Release();
  if (session.GetPhase() == GatewaySession::Phase::kRunning) {
    if (slot.penaltySeconds > 0) {
      AnswerPenalised(found);
    } else {
      RunEngine(found);
    }
    return;
  }
  if (session.IsEnded()) {
    if (session.IsHealthCheck()) metrics_->proxyHealthChecks->Increment();
    if (session.IsProxyHeaderRefused()) {
      metrics_->proxyHeadersRefused->Increment();
    }
    WriteSessionLog(&session);
    Close(found);
    return;
  }
  if (stopping_ && session.IsAwaitingRequest() &&
      clock_.NowMs() >= stopDeadlineMs_) {
    Close(found);
    return;
  }
  const int fd = found->first;
  uint32_t wanted = session.WantsWrite() ? EPOLLOUT : EPOLLIN;
  if (slot.events != wanted) {
    if (!Watch(fd, wanted, slot.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD)) {
      LogLine("TARPON SERVER cannot watch session id(" +
              std::to_string(session.GetId()) + "): " + ErrorText(errno));
      WriteSessionLog(&session);
      Close(found);
      return;
    }
    slot.registered = true;
    slot.events = wanted;
  }
  deadlines_.erase({slot.deadlineMs, fd});
  slot.deadlineMs = session.GetDeadlineMs();
  deadlines_.insert({slot.deadlineMs, fd});
}

// The one way a session leaves the loop: unwatched, its deadline dropped,
// its startup given back and its socket closed with the slot.
void GatewayLoop::Close(Slots::iterator found) {
  const int fd = found->first;
  deadlines_.erase({found->second.deadlineMs, fd});
  if (found->second.registered) {
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  }
  slots_.erase(found);
  if (slots_.empty() && peakSessions_ >= kTrimAfterSessions) {
    malloc_trim(0);
    peakSessions_ = 0;
  }
}

void GatewayLoop::ExpireSessions(int64_t nowMs) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= nowMs) {
    int fd = deadlines_.begin()->second;
    auto found = slots_.find(fd);
    if (found == slots_.end()) {
      deadlines_.erase(deadlines_.begin());
      continue;
    }
    if (found->second.busy) {
      deadlines_.erase(deadlines_.begin());
      continue;
    }
    found->second.session->Expire();
    Settle(found);
  }
  LogLines(refusals_.TakeDue(nowMs));
  if (nowMs >= nextPruneMs_) {
    admission_.Prune();
    metrics_->penaltiesInForce->Set(
        static_cast<int64_t>(admission_.GetPenaltiesInForce()));
    nextPruneMs_ = nowMs + kPruneIntervalMs;
  }
}

void GatewayLoop::HandleSignals() {
  char signals[16];
  ssize_t count;
  while ((count = read(signalRead_.get(), signals, sizeof signals)) > 0) {
    for (ssize_t i = 0; i < count; ++i) {
      if (signals[i] == SIGHUP) {
        Reload();
      } else {
        Stop();
      }
    }
  }
}

// SIGHUP: the log file opened again (log rotation) and the TLS files read
// again. A TLS session holds its context, so the one replaced lives on
// until the last session on it ends.
void GatewayLoop::Reload() {
  NotifyReloading();
  trace_log().flush();
  if (log_.Reopen()) {
    LogLine("TARPON SERVER log reopened");
  } else {
    LogLine("TARPON SERVER cannot reopen the log; writing on");
  }
  if (!tls_) {
    NotifyReady("reloaded");
    return;
  }
  std::string error;
  std::unique_ptr<TlsContext> fresh = TlsContext::ServerFromEnvironment(&error);
  if (fresh) {
    tls_ = std::move(fresh);
    LogLine("TARPON SERVER TLS files reloaded");
  } else {
    LogLine("TARPON SERVER TLS files not reloaded (" +
            (error.empty() ? std::string("TLS is no longer set") : error) +
            "); the files in use stay");
  }
  NotifyReady("reloaded");
}

// Stops accepting and closes every session that has not had its engine run.
// Accepting stops at once. A connection already accepted (a balancer may
// have handed it over and cannot take it back) has a short grace to
// deliver its request, which is then served; what has none by then is
// closed.
void GatewayLoop::Stop() {
  if (stopping_) return;
  stopping_ = true;
  stopDeadlineMs_ = clock_.NowMs() + kStopGraceMs;
  stopRunByMs_ = SteadyMs() + kStopRunMs;
  abandonAtMs_ = clock_.NowMs() + settings_.stopSeconds * 1000LL;
  NotifyStopping();
  for (GatewayListener* listener : listeners_) {
    // What the kernel has queued was accepted by it already: taken now, it
    // has its grace rather than a reset.
    if (acceptPausedUntilMs_ == 0 && !failed_) AcceptWaiting(*listener);
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener->GetSocket(), nullptr);
    listener->CloseSocket();
  }
}

int64_t GatewayLoop::SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool GatewayLoop::IsPastStopRun() const {
  int64_t by = stopRunByMs_.load();
  return by != 0 && SteadyMs() >= by;
}

void GatewayLoop::AbandonConversations() {
  char code[record_format::kUserDataLength];
  record_format::EncodeReturnCode(TARPON_RC_LOCAL_UNAVAILABLE, code);
  static const char kText[] =
      "\nTARPON SERVER : stopping, the host did not answer in time; "
      "the change may or may not have been made.\n";
  const std::string reply =
      record_format::EncodeDataRecord(code, kText, sizeof kText - 1);
  for (auto& [fd, slot] : slots_) {
    if (!slot.busy) continue;
    // The session's thread waits for the host and writes nothing more: the
    // loop answers a plain connection itself; a TLS one closes unanswered.
    if (tls_ == nullptr) {
      ssize_t sent =
          send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      (void)sent;
    }
    trace_log() << GatewayTimeStamp() << "Session id(" << slot.session->GetId()
                << ") abandoned: the host did not answer before the stop"
                << std::endl;
    ++abandoned_;
  }
}

void GatewayLoop::CloseAwaitingRequests() {
  for (auto it = slots_.begin(); it != slots_.end();) {
    auto next = std::next(it);
    // A session with a thread is closed when it comes back.
    if (!it->second.busy && it->second.session->IsAwaitingRequest()) Close(it);
    it = next;
  }
}
