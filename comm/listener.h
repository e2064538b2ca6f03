// A Listener creates, configures, binds and listens on a socket for an
// Address when it is constructed, and then accepts one connection per call
// of GetNewClient. Callers test IsGood() after construction; a failure
// leaves STATE_ERROR with REASON_INVALID_ADDRESS (no socket is made),
// REASON_SOCKET_FAILED, REASON_SET_SOCKET_OPTION_KEEPALIVE_FAILED,
// REASON_SET_SOCKET_OPTION_REUSEADDR_FAILED, REASON_LISTENER_BIND_FAILED or
// REASON_LISTEN_FAILED. After a failed accept the listener stays in
// STATE_ERROR for good and GetNewClient returns 8 at once.
//
// The socket has the address's family. An IPv6 listener takes IPv6 only
// (IPV6_V6ONLY), so that an IPv4 listener can share its port: for both
// families on one port open two listeners, e.g. on Address(port, "::") and
// Address(port, static_cast<uint32_t>(INADDR_ANY)).
//
// A port held by another listening socket is tried 1 + DEFAULT_BIND_RETRY_LIMIT
// (21) times, with a pause between attempts that the constructor is given.
#ifndef TARPON_COMM_LISTENER_H_
#define TARPON_COMM_LISTENER_H_

#include <iosfwd>
#include <optional>

#include "comm/address.h"
#include "comm/connection.h"
#include "comm/export_client.h"

class Listener : public Connection {
 public:
  // The pause between bind attempts unless the constructor says otherwise.
  static constexpr int DEFAULT_BIND_RETRY_DELAY_MS = 100;
  // How many times a bind is repeated while the port is in use.
  static constexpr int DEFAULT_BIND_RETRY_LIMIT = 20;

  // Copies address and, when it is usable, opens with the queue depth as
  // listen backlog, pausing bindRetryDelayMs milliseconds (0: none) between
  // bind attempts.
  Listener(const Address& address, int queueDepth,
           int bindRetryDelayMs = DEFAULT_BIND_RETRY_DELAY_MS);
  ~Listener() override;

  // Socket, options, bind, listen. The state tells the outcome: a failure in
  // the options or the bind is recorded there while the result stays 0.
  long Open(int queueDepth);
  // Keep-alive, address reuse and, for IPv6, IPv6 only; 0, or 8 with the
  // failure recorded (REASON_SET_SOCKET_OPTION_REUSEADDR_FAILED for the
  // last two).
  long SetSocketOptions();
  // Binds, repeating while the address is in use; 0, or 8 with the failure
  // recorded.
  long Bind();
  // Blocks until a client connects and fills client with its socket and
  // address; 0, or 8. Returns 8 at once, leaving client untouched, when the
  // listener is not in STATE_GOOD.
  long GetNewClient(ExportClient& client);

  void Print() const override;
  // "Listener formatted dump", the connection lines, an empty line and the
  // listening address.
  void Print(std::ostream& os) const override;

  const Address& GetListeningAddress() const { return *listeningAddress_; }
  // Bind attempts made by the last Bind.
  int GetBindAttempts() const { return bindAttempts_; }

 private:
  int bindRetryLimit_;
  int bindRetryDelayMs_;
  std::optional<Address> listeningAddress_;
  int bindAttempts_ = 0;
};

#endif  // TARPON_COMM_LISTENER_H_
