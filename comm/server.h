// A Server adopts the socket of an accepted connection (an ExportClient from
// Listener::GetNewClient) and serves one session. An invalid handed-over
// socket leaves STATE_RESET with REASON_INVALID_SOCKET. The server closes
// the connection when destroyed.
//
// Every Server::Open, successful or not, counts one session for the
// process; the count is the session id. The count may be taken from any
// thread.
#ifndef TARPON_COMM_SERVER_H_
#define TARPON_COMM_SERVER_H_

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>

#include "comm/address.h"
#include "comm/connection.h"
#include "comm/export_client.h"

class Server : public Connection {
 public:
  explicit Server(const ExportClient& client);
  ~Server() override;

  // Counts a session and takes over the record's socket; 0, or 8 when the
  // socket is not valid. A socket held from an earlier call is closed first.
  long Open(const ExportClient& client);

  // The sessions counted so far in this process.
  int GetSessionId() const { return sessionCounter_.load(); }
  // Counts one more session for the process and returns the count: the
  // session's id, also for sessions served without a Server object.
  static int32_t CountSession();
  // The client's dotted-decimal address.
  const char* GetClientIpAddress() { return clientAddress_->GetIpAddress(); }

  void Print() const override;
  // "Server formatted dump", the connection lines, the session id and the
  // client address (in STATE_INIT, with the client's IP address, port 0).
  void Print(std::ostream& os) const override;

 private:
  std::optional<Address> clientAddress_;

  static std::atomic<int32_t> sessionCounter_;
};

// The Server dump of a session with this status, socket, id and client
// address: "Server formatted dump", the connection lines, the session id
// and the client address.
void PrintServerDump(std::ostream& os, const CommBase& status, int socket,
                     int sessionId, const Address& client);

#endif  // TARPON_COMM_SERVER_H_
