// An HTTP client for the tests of HTTP listeners on loopback: it sends the
// request's bytes exactly as given (so a test can send garbage, an
// oversized head or half a request) and reads the answer with Boost.Beast's
// parser. Beast is compiled once, in http_support.cc (the library
// http_test_support), so that no test compiles it again.
#ifndef TARPON_TESTS_SUPPORT_HTTP_SUPPORT_H_
#define TARPON_TESTS_SUPPORT_HTTP_SUPPORT_H_

#include <cstdint>
#include <memory>
#include <string>

namespace http_test {

struct HttpAnswer {
  bool connected = false;
  // False when the listener closed without a whole answer.
  bool answered = false;
  int status = 0;
  std::string contentType;
  std::string retryAfter;
  std::string allow;
  std::string fields;  // every header field, "Name: value\r\n" each
  std::string body;
};

// Connects to 127.0.0.1:port, sends request, and reads one answer; waits at
// most timeoutMs for each read.
HttpAnswer HttpExchange(uint16_t port, const std::string& request,
                        int timeoutMs = 5000);

// As HttpExchange, inside TLS (any certificate is taken: loopback tests).
HttpAnswer HttpsExchange(uint16_t port, const std::string& request,
                         int timeoutMs = 5000);

// Sends request inside TLS and returns every byte the listener sends until
// it closes (or timeoutMs passes with nothing new).
std::string HttpsRaw(uint16_t port, const std::string& request,
                     int timeoutMs = 5000);

// A plain connection to 127.0.0.1:port that sends what it is given and
// reads nothing back: a slow or half-finished client.
class RawConnection {
 public:
  explicit RawConnection(uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // True when the peer closes before sending a byte, within timeoutMs.
  bool ClosedByPeer(int timeoutMs = 10000);

 private:
  int fd_ = -1;
};

// A TLS connection to 127.0.0.1:port that finishes its handshake and then
// sends nothing: an idle keep-alive client.
struct TlsClient;

class IdleTlsConnection {
 public:
  explicit IdleTlsConnection(uint16_t port);
  ~IdleTlsConnection();
  IdleTlsConnection(const IdleTlsConnection&) = delete;
  IdleTlsConnection& operator=(const IdleTlsConnection&) = delete;

  // Empty when the connection and its handshake succeeded.
  const std::string& error() const { return error_; }
  // True when the peer ends the connection (or it fails) within timeoutMs.
  bool ClosedByPeer(int timeoutMs = 10000);

 private:
  std::unique_ptr<TlsClient> stream_;
  std::string error_;
};

}  // namespace http_test

#endif  // TARPON_TESTS_SUPPORT_HTTP_SUPPORT_H_
