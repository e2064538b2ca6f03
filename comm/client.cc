#include "comm/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "comm/tls.h"
#include "trace/trace.h"

Client::Client(const Address& server, int deadlineSeconds)
    : serverAddress_(std::in_place, server) {
  TraceScope scope("Client::Client", TRACE_OFF);
  SetReceiveDeadline(deadlineSeconds);
  Open();
}

Client::Client(const std::vector<Address>& servers, int deadlineSeconds)
    : serverAddress_(std::in_place) {
  TraceScope scope("Client::Client(servers)", TRACE_OFF);
  SetReceiveDeadline(deadlineSeconds);
  if (servers.empty()) {
    state_ = STATE_ERROR;
    reason_ = REASON_INVALID_ADDRESS;
    return;
  }
  for (const Address& server : servers) {
    *serverAddress_ = server;
    if (Open() == COMM_OK || lastApiRc_ == ETIMEDOUT) return;
  }
}

Client::~Client() {
  TraceScope scope("Client::~Client", TRACE_OFF);
  serverAddress_.reset();
}

long Client::Open() {
  long result = 0;
  TraceScope scope("Client::Open", &result, TRACE_OFF);
  CloseSocket();
  if (CreateSocket(serverAddress_->GetFamily()) != COMM_OK) {
    result = COMM_FAILED;
    return result;
  }
  // A blocking connect gives up when the send timeout expires.
  bool inTime = receiveDeadlineMs_ == 0 || LimitConnectToDeadline();
  if (!inTime || connect(socket_, serverAddress_->GetSocketAddress(),
                         serverAddress_->GetSocketAddressLength()) != 0) {
    int error = inTime ? errno : ETIMEDOUT;
    if (error == EINPROGRESS || error == EAGAIN) error = ETIMEDOUT;
    result = Fail(REASON_CONNECT_FAILED, error);
    return result;
  }
  state_ = STATE_GOOD;
  return result;
}

long Client::StartTls(const TlsContext& context, const char* host) {
  long result = 0;
  TraceScope scope("Client::StartTls(context,host)", &result, TRACE_OFF);
  std::string error;
  std::unique_ptr<TlsSession> session =
      TlsSession::ForClient(context, socket_, host, &error);
  if (!session) {
    result = TlsFailed(error);
    return result;
  }
  // Non-blocking from here: the handshake waits within the deadline.
  UseTls(std::move(session));
  for (;;) {
    IoResult status = tls_->Handshake();
    if (status == IoResult::kOk) return result;
    if (status == IoResult::kFailed) break;
    if (!PollWithinDeadline(tls_->WantsWrite() ? POLLOUT : POLLIN)) {
      result = TlsFailed("no TLS handshake within the deadline");
      tls_.reset();
      return result;
    }
  }
  result = TlsFailed(tls_->Failure());
  tls_.reset();
  return result;
}

void Client::Print() const { Print(std::cout); }

void Client::Print(std::ostream& os) const {
  TraceScope scope("Client::Print", TRACE_OFF);
  os << "Client formatted dump \n";
  PrintConnectionLines(os);
  os << "Server's address is:" << std::endl;
  serverAddress_->Print(os);
}
