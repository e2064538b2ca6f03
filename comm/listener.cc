#include "comm/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>

#include "trace/trace.h"

Listener::Listener(const Address& address, int queueDepth, int bindRetryDelayMs)
    : bindRetryLimit_(DEFAULT_BIND_RETRY_LIMIT),
      bindRetryDelayMs_(bindRetryDelayMs > 0 ? bindRetryDelayMs : 0),
      listeningAddress_(std::in_place, address) {
  TraceScope scope("Listener::Listener(Address,queueDepth)", &socket_,
                   TRACE_OFF);
  if (listeningAddress_->IsUsable()) {
    Open(queueDepth);
  } else {
    state_ = STATE_ERROR;
    reason_ = REASON_INVALID_ADDRESS;
  }
}

Listener::~Listener() {
  TraceScope scope("Listener::~Listener", TRACE_OFF);
  listeningAddress_.reset();
}

long Listener::Open(int queueDepth) {
  long result = 0;
  TraceScope scope("Listener::Open", &result, TRACE_OFF);
  CloseSocket();
  if (CreateSocket(listeningAddress_->GetFamily()) != COMM_OK) {
    result = COMM_FAILED;
    return result;
  }
  if (SetSocketOptions() != COMM_OK) return result;
  if (Bind() != COMM_OK) return result;
  if (listen(socket_, queueDepth) != 0) {
    result = Fail(REASON_LISTEN_FAILED, errno);
    return result;
  }
  state_ = STATE_GOOD;
  return result;
}

long Listener::SetSocketOptions() {
  long result = 0;
  TraceScope scope("Listener::SetSocketOptions", &result, TRACE_OFF);
  if (SetOneOption(SO_KEEPALIVE, SOL_SOCKET) != COMM_OK) {
    result = Fail(REASON_SET_SOCKET_OPTION_KEEPALIVE_FAILED, errno);
  } else if (SetOneOption(SO_REUSEADDR, SOL_SOCKET) != COMM_OK) {
    // Reuse lets a restarted server bind while connections of its previous
    // run linger; a port held by a live listener still fails the bind.
    result = Fail(REASON_SET_SOCKET_OPTION_REUSEADDR_FAILED, errno);
  } else if (listeningAddress_->GetFamily() == AF_INET6 &&
             SetOneOption(IPV6_V6ONLY, IPPROTO_IPV6) != COMM_OK) {
    // IPv6 only, whatever the system's default: a listener on the same
    // port for IPv4 may then be opened beside this one.
    result = Fail(REASON_SET_SOCKET_OPTION_REUSEADDR_FAILED, errno);
  }
  return result;
}

long Listener::Bind() {
  long result = 0;
  TraceScope scope("Listener::Bind", &result, TRACE_OFF);
  const sockaddr* address = listeningAddress_->GetSocketAddress();
  socklen_t length = listeningAddress_->GetSocketAddressLength();
  int rc = bind(socket_, address, length);
  int error = rc == 0 ? 0 : errno;
  bindAttempts_ = 1;
  for (int repeats = 0;
       rc != 0 && error == EADDRINUSE && repeats < bindRetryLimit_; ++repeats) {
    if (bindRetryDelayMs_ > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(bindRetryDelayMs_));
    }
    rc = bind(socket_, address, length);
    error = rc == 0 ? 0 : errno;
    ++bindAttempts_;
  }
  if (rc != 0) result = Fail(REASON_LISTENER_BIND_FAILED, error);
  return result;
}

long Listener::GetNewClient(ExportClient& client) {
  long result = 0;
  TraceScope scope("Listener::GetNewClient", &result, TRACE_OFF);
  Address peer;
  // Room for a peer of either family.
  socklen_t length = sizeof(sockaddr_storage);
  int accepted = NO_SOCKET;
  if (state_ != STATE_GOOD) {
    result = COMM_FAILED;
    return result;
  }
  do {
    accepted = accept(socket_, peer.GetSocketAddress(), &length);
  } while (accepted < 0 && errno == EINTR);
  if (accepted < 0) {
    result = Fail(REASON_ACCEPT_FAILED, errno);
    accepted = NO_SOCKET;
  }
  client.socket = htonl(static_cast<uint32_t>(accepted));
  peer.GetIpAddress(client.clientAddress, sizeof client.clientAddress);
  return result;
}

void Listener::Print() const { Print(std::cout); }

void Listener::Print(std::ostream& os) const {
  os << "Listener formatted dump \n";
  PrintConnectionLines(os);
  os << std::endl;
  listeningAddress_->Print(os);
}
