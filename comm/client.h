// A Client connects to a server's Address when it is constructed. Callers
// test IsGood(): a failure leaves STATE_ERROR with REASON_SOCKET_FAILED or
// REASON_CONNECT_FAILED and the platform's error as last external API rc.
// The address is not tested first: an unusable one shows up as a failed
// connect. Connecting blocks until the platform answers, or, under a
// deadline, at most until the deadline; a connect cut short by it records
// ETIMEDOUT as last external API rc.
#ifndef TARPON_COMM_CLIENT_H_
#define TARPON_COMM_CLIENT_H_

#include <iosfwd>
#include <optional>
#include <vector>

#include "comm/address.h"
#include "comm/connection.h"

class TlsContext;

class Client : public Connection {
 public:
  // Copies server and connects to it. With deadlineSeconds above 0 the
  // connect and every later receive end within that many seconds from now
  // (see Connection::SetReceiveDeadline).
  explicit Client(const Address& server, int deadlineSeconds = 0);
  // Connects to each of servers in turn until one accepts, all within the
  // one deadline (deadlineSeconds as above), and stops early when a connect
  // ends with ETIMEDOUT (the deadline passed). The server address and the
  // state are then those of the last attempt, so a failure dumps the last
  // one. An empty list gives STATE_ERROR with REASON_INVALID_ADDRESS.
  Client(const std::vector<Address>& servers, int deadlineSeconds);
  ~Client() override;

  // Creates the socket and connects; 0, or 8 with the failure recorded.
  // A socket held from an earlier call is closed first.
  long Open();

  // Runs the TLS handshake as a client of host within the receive deadline
  // and then carries every record inside TLS (Connection::UseTls). The
  // server's chain must lead to a CA the context trusts and its certificate
  // must name host. 0, or 8 with STATE_ERROR and REASON_TLS_FAILED and the
  // reason in GetTlsFailure(): nothing has been sent then.
  long StartTls(const TlsContext& context, const char* host);

  void Print() const override;
  // "Client formatted dump", the connection lines and the server address.
  void Print(std::ostream& os) const override;

  const Address& GetServerAddress() const { return *serverAddress_; }

 private:
  // Optional so that the destructor can end it inside its own trace scope.
  std::optional<Address> serverAddress_;
};

#endif  // TARPON_COMM_CLIENT_H_
