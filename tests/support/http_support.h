// An HTTP client for the tests of HTTP listeners on loopback: it sends the
// request's bytes exactly as given (so a test can send garbage, an
// oversized head or half a request) and reads the answer with Boost.Beast's
// parser. A test that includes it links Boost::headers.
#ifndef TARPON_TESTS_SUPPORT_HTTP_SUPPORT_H_
#define TARPON_TESTS_SUPPORT_HTTP_SUPPORT_H_

#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#ifdef TARPON_TEST_HTTPS
#include <boost/asio/ssl.hpp>
#endif
#include <cstdint>
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
inline HttpAnswer HttpExchange(uint16_t port, const std::string& request,
                               int timeoutMs = 5000) {
  namespace asio = boost::asio;
  namespace http = boost::beast::http;
  HttpAnswer answer;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code error;
  socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
  if (error) return answer;
  answer.connected = true;
  timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout,
             sizeof timeout);
  asio::write(socket, asio::buffer(request), error);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(socket, buffer, response, error);
  if (error) return answer;
  answer.answered = true;
  answer.status = static_cast<int>(response.result_int());
  answer.contentType = std::string(response[http::field::content_type]);
  answer.body = response.body();
  return answer;
}

#ifdef TARPON_TEST_HTTPS
// As HttpExchange, inside TLS (any certificate is taken: loopback tests).
// A test that defines TARPON_TEST_HTTPS before the include links OpenSSL.
inline HttpAnswer HttpsExchange(uint16_t port, const std::string& request,
                                int timeoutMs = 5000) {
  namespace asio = boost::asio;
  namespace http = boost::beast::http;
  HttpAnswer answer;
  asio::io_context io;
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.set_verify_mode(asio::ssl::verify_none);
  asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
  boost::system::error_code error;
  stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), port},
                              error);
  if (error) return answer;
  answer.connected = true;
  timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(stream.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO,
             &timeout, sizeof timeout);
  stream.handshake(asio::ssl::stream_base::client, error);
  if (!error) asio::write(stream, asio::buffer(request), error);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  if (!error) http::read(stream, buffer, response, error);
  if (error) return answer;
  answer.answered = true;
  answer.status = static_cast<int>(response.result_int());
  answer.contentType = std::string(response[http::field::content_type]);
  answer.retryAfter = std::string(response[http::field::retry_after]);
  answer.allow = std::string(response[http::field::allow]);
  for (const auto& field : response.base()) {
    answer.fields += std::string(field.name_string()) + ": " +
                     std::string(field.value()) + "\r\n";
  }
  answer.body = response.body();
  return answer;
}

// Sends request inside TLS and returns every byte the listener sends until
// it closes (or timeoutMs passes with nothing new).
inline std::string HttpsRaw(uint16_t port, const std::string& request,
                            int timeoutMs = 5000) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.set_verify_mode(asio::ssl::verify_none);
  asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
  boost::system::error_code error;
  stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), port},
                              error);
  if (error) return "";
  timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(stream.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO,
             &timeout, sizeof timeout);
  stream.handshake(asio::ssl::stream_base::client, error);
  if (!error) asio::write(stream, asio::buffer(request), error);
  std::string all;
  char bytes[4096];
  for (int reads = 0; !error && reads < 1000; ++reads) {
    size_t n = stream.read_some(asio::buffer(bytes), error);
    all.append(bytes, n);
  }
  return all;
}
#endif

}  // namespace http_test

#endif  // TARPON_TESTS_SUPPORT_HTTP_SUPPORT_H_
