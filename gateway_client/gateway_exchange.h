// One exchange with a gateway that hands back the answer instead of
// printing it, for programs that present the verdict themselves (the web
// front end). Nothing is written to standard output or standard error.
#ifndef TARPON_GATEWAY_CLIENT_GATEWAY_EXCHANGE_H_
#define TARPON_GATEWAY_CLIENT_GATEWAY_EXCHANGE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "contract/secret.h"

class Client;
class TlsContext;

struct GatewayRequest {
  std::string host;     // a name, an IPv4 or an IPv6 address (bracketed too)
  std::string service;  // the services database's name for the port
  // The engine's options, passwords among them: wiped with the request.
  Secret options;           // at most GATEWAY_MAX_REQUEST_LENGTH bytes
  int timeoutSeconds = 60;  // the whole exchange, connect included
  // Bytes sent in clear text before anything else (a PROXY header), or "".
  std::string prelude;
  // TLS with the gateway when not null; the caller keeps it alive.
  const TlsContext* tls = nullptr;
};

// Why no answer came.
enum class GatewayFailure {
  kNone,         // answered
  kUnreachable,  // no address, or no connection to any
  kClosed,       // closed, reset, or sent no whole and well-formed reply
  kTimeout,      // the deadline passed
  kTls,          // the handshake failed; nothing was sent
};

struct GatewayAnswer {
  GatewayFailure failure = GatewayFailure::kUnreachable;
  int code = 0;          // the engine's return code, when answered
  std::string codeText;  // as the gateway sent it ("0000")
  std::string text;      // the engine's text, as sent
  std::string detail;    // a few words on a failure, for a log
};

// What one exchange leaves behind for a caller that reports it in full
// (the remote client program prints the connection's dump).
struct GatewayExchangeRecord {
  GatewayExchangeRecord();
  ~GatewayExchangeRecord();
  // No address found: the lookup's reason (Address::REASON_...) and error;
  // the exchange then tries the one address the classic lookup makes, so
  // that the failed attempt has a connection to show.
  bool unresolved = false;
  int resolveReason = 0;
  std::string resolveError;
  // The connection, its state, reason and dump; never null afterwards.
  std::unique_ptr<Client> client;
  // How the reply's receive ended (a Connection::COMM_ result, COMM_FAILED
  // when nothing was received) and the record length it saw.
  long received = -1;
  uint32_t length = 0;
};

// Sends request.options as one record and waits for the reply. Returns
// answer->code when answered (failure kNone), else TARPON_GATEWAY_NO_ANSWER
// with the failure's kind. Fills *record when given. Thread-safe: shares
// nothing between calls. The copies made here are wiped.
int ExchangeWithGateway(const GatewayRequest& request, GatewayAnswer* answer,
                        GatewayExchangeRecord* record = nullptr);

#endif  // TARPON_GATEWAY_CLIENT_GATEWAY_EXCHANGE_H_
