#include "comm/server.h"

#include <arpa/inet.h>

#include <cstring>
#include <iostream>

#include "trace/trace.h"

std::atomic<int32_t> Server::sessionCounter_{0};

Server::Server(const ExportClient& client) : clientAddress_(std::in_place) {
  TraceScope scope("Server::Server", TRACE_OFF);
  Open(client);
}

Server::~Server() {
  TraceScope scope("Server::~Server", TRACE_OFF);
  clientAddress_.reset();
}

long Server::Open(const ExportClient& client) {
  long result = 0;
  TraceScope scope("Server::Open(ExportClient)", &result, TRACE_OFF);
  CountSession();
  CloseSocket();
  int handle = static_cast<int32_t>(ntohl(client.socket));
  if (handle <= 0) {
    state_ = STATE_RESET;
    reason_ = REASON_INVALID_SOCKET;
    result = COMM_FAILED;
    return result;
  }
  socket_ = handle;
  // The record's text need not be terminated; never read past it.
  char text[sizeof client.clientAddress + 1];
  std::memcpy(text, client.clientAddress, sizeof client.clientAddress);
  text[sizeof client.clientAddress] = '\0';
  clientAddress_->SetIpAddress(text);
  state_ = STATE_GOOD;
  return result;
}

void Server::Print() const { Print(std::cout); }

void Server::Print(std::ostream& os) const {
  TraceScope scope("Server::Print", TRACE_OFF);
  PrintServerDump(os, *this, socket_, sessionCounter_.load(), *clientAddress_);
}

int32_t Server::CountSession() { return ++sessionCounter_; }

void PrintServerDump(std::ostream& os, const CommBase& status, int socket,
                     int sessionId, const Address& client) {
  os << "Server formatted dump \n";
  PrintConnectionLines(os, status, socket);
  os << "Session id  (if established) .......: " << sessionId << "\n\n"
     << "Client's address is:" << std::endl;
  client.Print(os);
}
