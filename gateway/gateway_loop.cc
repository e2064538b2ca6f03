#include "gateway/gateway_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>
#include <random>

#include "comm/tls.h"
#include "engine/tarpon.h"
#include "trace/trace.h"

namespace {

// The pause after an accept failed for want of descriptors or memory.
constexpr int kAcceptPauseMs = 100;
constexpr int kMaxEvents = 256;
constexpr int kPruneIntervalMs = 10000;
// The host's verdicts that count towards a penalty: unknown user (status
// 1) and wrong password (status 2).
constexpr int kBadUserCode = TARPON_RC_HOST_STATUS_BASE + 1;
constexpr int kBadPasswordCode = TARPON_RC_HOST_STATUS_BASE + 2;
// After this many sessions at once have all ended, the heap they used is
// handed back to the system.
constexpr size_t kTrimAfterSessions = 256;

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
// it (at most 15 characters and the NUL), without its formatted printing.
void DottedAddress(const in_addr& address, char* out) {
  const unsigned char* bytes =
      reinterpret_cast<const unsigned char*>(&address.s_addr);
  for (int i = 0; i < 4; ++i) {
    unsigned int value = bytes[i];
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    *out++ = i < 3 ? '.' : '\0';
  }
}

}  // namespace

int GatewayListener::AcceptWaiting(ExportClient& client, uint32_t* source) {
  int result = 0;
  TraceScope scope("GatewayListener::AcceptWaiting", &result, TRACE_OFF);
  sockaddr_in peer = {};
  socklen_t length = sizeof peer;
  int accepted = accept4(socket_, reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted < 0) {
    result = errno;
    return result;
  }
  client = {};
  static_assert(sizeof client.clientAddress >= INET_ADDRSTRLEN,
                "room for a dotted address");
  DottedAddress(peer.sin_addr, client.clientAddress);
  client.socket = htonl(static_cast<uint32_t>(accepted));
  *source = peer.sin_addr.s_addr;
  return result;
}

void GatewayListener::Fail(int error) {
  TraceScope scope("GatewayListener::Fail(error)", TRACE_OFF);
  state_ = STATE_ERROR;
  reason_ = REASON_ACCEPT_FAILED;
  RecordError(error);
}

GatewayLoop::GatewayLoop(GatewayListener& listener, const GatewayLimits& limits,
                         int timeoutSeconds, GatewayLog& log,
                         const TlsContext* tls)
    : listener_(listener),
      limits_(limits),
      timeoutSeconds_(timeoutSeconds),
      log_(log),
      tls_(tls),
      gate_(limits, std::random_device()()),
      penalties_(limits) {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (pipe2(signalPipe_, O_CLOEXEC | O_NONBLOCK) == 0) {
    signalPipeWrite = signalPipe_[1];
    Watch(signalPipe_[0], EPOLLIN, EPOLL_CTL_ADD);
  }
  int flags = fcntl(listener_.GetSocket(), F_GETFL);
  fcntl(listener_.GetSocket(), F_SETFL, flags | O_NONBLOCK);
  Watch(listener_.GetSocket(), EPOLLIN, EPOLL_CTL_ADD);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) SetHandler(signal, OnSignal);
}

GatewayLoop::~GatewayLoop() {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) SetHandler(signal, SIG_DFL);
  signalPipeWrite = -1;
  slots_.clear();
  for (int fd : signalPipe_) {
    if (fd >= 0) close(fd);
  }
  if (epoll_ >= 0) close(epoll_);
}

void GatewayLoop::Watch(int fd, uint32_t events, int operation) {
  epoll_event event = {};
  event.events = events;
  event.data.fd = fd;
  epoll_ctl(epoll_, operation, fd, &event);
}

void GatewayLoop::LogLine(const std::string& text) {
  trace_log() << GatewayTimeStamp() << text << std::endl;
}

bool GatewayLoop::Run() {
  if (epoll_ < 0 || signalPipe_[0] < 0) {
    listener_.Fail(errno);
    return false;
  }
  epoll_event events[kMaxEvents];
  while (!failed_ && !(stopping_ && slots_.empty())) {
    int count = epoll_wait(epoll_, events, kMaxEvents,
                           NextWaitMs(GatewaySession::NowMs()));
    if (count < 0 && errno != EINTR) {
      listener_.Fail(errno);
      return false;
    }
    // Signals first: a stop must not admit what is already queued. The pipe
    // is read only when it is ready, or when a signal cut the wait short.
    bool signalled = count < 0;
    for (int i = 0; i < count; ++i) {
      if (events[i].data.fd == signalPipe_[0]) signalled = true;
    }
    if (signalled) HandleSignals();
    bool acceptable = false;
    for (int i = 0; i < count; ++i) {
      int fd = events[i].data.fd;
      if (fd == listener_.GetSocket()) {
        acceptable = true;
      } else if (fd != signalPipe_[0]) {
        Step(fd);
      }
    }
    int64_t now = GatewaySession::NowMs();
    if (acceptPausedUntilMs_ != 0 && now >= acceptPausedUntilMs_) {
      acceptPausedUntilMs_ = 0;
      if (!stopping_) Watch(listener_.GetSocket(), EPOLLIN, EPOLL_CTL_MOD);
      acceptable = true;
    }
    if (acceptable && !stopping_ && acceptPausedUntilMs_ == 0) {
      AcceptWaiting();
    }
    ExpireSessions(GatewaySession::NowMs());
  }
  return !failed_;
}

int GatewayLoop::NextWaitMs(int64_t nowMs) const {
  int64_t next = nextPruneMs_ != 0 ? nextPruneMs_ : nowMs + kPruneIntervalMs;
  if (!deadlines_.empty() && deadlines_.begin()->first < next) {
    next = deadlines_.begin()->first;
  }
  if (acceptPausedUntilMs_ != 0 && acceptPausedUntilMs_ < next) {
    next = acceptPausedUntilMs_;
  }
  int64_t wait = next - nowMs;
  if (wait < 0) return 0;
  return wait > kPruneIntervalMs ? kPruneIntervalMs : static_cast<int>(wait);
}

// One connection per readiness of the listener: the epoll is level
// triggered, so a longer queue wakes the loop again, with the sessions'
// turn in between, and a lone connection costs no accept that finds none.
void GatewayLoop::AcceptWaiting() {
  ExportClient client;
  uint32_t source = 0;
  int error = listener_.AcceptWaiting(client, &source);
  if (error == 0) {
    Admit(client, source);
  } else if (error != EAGAIN && error != EWOULDBLOCK) {
    AcceptFailed(error);
  }
}

// Logs a failed accept and pauses accepting after a shortage, or ends the
// loop when the failure is not one that passes.
void GatewayLoop::AcceptFailed(int error) {
  if (!IsTransient(error)) {
    listener_.Fail(error);
    failed_ = true;
    return;
  }
  std::string text =
      std::string("TARPON SERVER accept failed (") + std::strerror(error) + ")";
  if (!IsShortage(error)) {
    LogLine(text + ", retrying");
    return;
  }
  LogLine(text + ", retrying in " + std::to_string(kAcceptPauseMs) + " ms");
  acceptPausedUntilMs_ = GatewaySession::NowMs() + kAcceptPauseMs;
  Watch(listener_.GetSocket(), 0, EPOLL_CTL_MOD);
}

void GatewayLoop::Admit(const ExportClient& client, uint32_t source) {
  const int socket = static_cast<int>(ntohl(client.socket));
  const int64_t now = GatewaySession::NowMs();
  std::string refusal;
  if (penalties_.IsPenalised(source, now)) {
    close(socket);
    return;
  }
  int& fromSource = startupsBySource_[source];
  if (fromSource >= limits_.perSource) {
    refusal = "too many connections without a request from this address (" +
              std::to_string(fromSource) + ")";
  } else if (gate_.Refuses(startups_)) {
    refusal = "too many connections without a request (" +
              std::to_string(startups_) + ")";
  }
  std::unique_ptr<TlsSession> tls;
  if (refusal.empty() && tls_ != nullptr) {
    tls = TlsSession::ForServer(*tls_, socket, &refusal);
  }
  if (!refusal.empty()) {
    if (fromSource == 0) startupsBySource_.erase(source);
    close(socket);
    LogLine(std::string("TARPON SERVER refused IP(") + client.clientAddress +
            "): " + refusal);
    return;
  }
  ++fromSource;
  ++startups_;
  Slot slot;
  slot.session =
      std::make_unique<GatewaySession>(client, timeoutSeconds_, true);
  if (tls) {
    slot.session->SetChannel(std::make_unique<TlsChannel>(std::move(tls)));
  }
  slot.source = source;
  slot.deadlineMs = slot.session->GetDeadlineMs();
  Slot& placed = slots_[socket] = std::move(slot);
  if (slots_.size() > peakSessions_) peakSessions_ = slots_.size();
  deadlines_.insert({placed.deadlineMs, socket});
  // The request is often there already: the session may end before it
  // needs watching.
  Step(socket);
}

void GatewayLoop::Step(int fd) {
  auto found = slots_.find(fd);
  if (found == slots_.end()) return;
  found->second.session->Step();
  Settle(fd, found->second);
}

// Brings the loop's books in line with the session after it moved.
void GatewayLoop::Settle(int fd, Slot& slot) {
  GatewaySession& session = *slot.session;
  if (slot.startup && !session.IsAwaitingRequest()) {
    slot.startup = false;
    --startups_;
    auto counted = startupsBySource_.find(slot.source);
    if (counted != startupsBySource_.end() && --counted->second <= 0) {
      startupsBySource_.erase(counted);
    }
  }
  if (session.IsEnded()) {
    trace_log() << session.TakeLogText();
    const int code = session.HasRun() ? session.GetReturnCode() : 0;
    if (code == kBadUserCode || code == kBadPasswordCode) {
      int seconds =
          penalties_.RecordFailure(slot.source, GatewaySession::NowMs());
      if (seconds > 0) {
        LogLine(std::string("TARPON SERVER penalty for IP(") +
                session.GetClientIpAddress() +
                "): " + std::to_string(limits_.penaltyCount) +
                " failed sign-ons, refused for " + std::to_string(seconds) +
                " seconds");
      }
    }
    trace_log() << std::flush;
    deadlines_.erase({slot.deadlineMs, fd});
    if (slot.watched) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    slots_.erase(fd);
    if (slots_.empty() && peakSessions_ >= kTrimAfterSessions) {
      malloc_trim(0);
      peakSessions_ = 0;
    }
    return;
  }
  if (!slot.watched || session.WantsWrite() != slot.writing) {
    slot.writing = session.WantsWrite();
    Watch(fd, slot.writing ? EPOLLOUT : EPOLLIN,
          slot.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
    slot.watched = true;
  }
  if (session.GetDeadlineMs() != slot.deadlineMs) {
    deadlines_.erase({slot.deadlineMs, fd});
    slot.deadlineMs = session.GetDeadlineMs();
    deadlines_.insert({slot.deadlineMs, fd});
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
    found->second.session->Expire();
    Settle(fd, found->second);
  }
  if (nowMs >= nextPruneMs_) {
    penalties_.Prune(nowMs);
    nextPruneMs_ = nowMs + kPruneIntervalMs;
  }
}

void GatewayLoop::HandleSignals() {
  char signals[16];
  ssize_t count;
  while ((count = read(signalPipe_[0], signals, sizeof signals)) > 0) {
    for (ssize_t i = 0; i < count; ++i) {
      if (signals[i] == SIGHUP) {
        trace_log().flush();
        if (log_.Reopen()) {
          LogLine("TARPON SERVER log reopened");
        } else {
          LogLine("TARPON SERVER cannot reopen the log; writing on");
        }
      } else {
        Stop();
      }
    }
  }
}

// Stops accepting and closes every session that has not had its engine run.
void GatewayLoop::Stop() {
  if (stopping_) return;
  stopping_ = true;
  epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_.GetSocket(), nullptr);
  listener_.CloseSocket();
  for (auto it = slots_.begin(); it != slots_.end();) {
    if (it->second.session->IsAwaitingRequest()) {
      deadlines_.erase({it->second.deadlineMs, it->first});
      if (it->second.watched) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, it->first, nullptr);
      }
      it = slots_.erase(it);
    } else {
      ++it;
    }
  }
}
