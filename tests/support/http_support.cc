#include "tests/support/http_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace http_test {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;

void SetReceiveTimeout(int fd, int timeoutMs) {
  timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

asio::ip::tcp::endpoint Loopback(uint16_t port) {
  return {asio::ip::make_address("127.0.0.1"), port};
}

// Reads one answer from stream into *answer.
template <typename Stream>
void ReadAnswer(Stream& stream, HttpAnswer* answer) {
  boost::system::error_code error;
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response, error);
  if (error) return;
  answer->answered = true;
  answer->status = static_cast<int>(response.result_int());
  answer->contentType = std::string(response[http::field::content_type]);
  answer->retryAfter = std::string(response[http::field::retry_after]);
  answer->allow = std::string(response[http::field::allow]);
  for (const auto& field : response.base()) {
    answer->fields += std::string(field.name_string()) + ": " +
                      std::string(field.value()) + "\r\n";
  }
  answer->body = response.body();
}

asio::ssl::context ClientContext() {
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.set_verify_mode(asio::ssl::verify_none);
  return context;
}

}  // namespace

// A TLS connection to 127.0.0.1:port with its handshake done (any
// certificate is taken); error says why not.
struct TlsClient {
  TlsClient(uint16_t port, int timeoutMs) {
    stream.next_layer().connect(Loopback(port), error);
    if (error) return;
    connected = true;
    SetReceiveTimeout(stream.next_layer().native_handle(), timeoutMs);
    stream.handshake(asio::ssl::stream_base::client, error);
  }

  asio::io_context io;
  asio::ssl::context context = ClientContext();
  asio::ssl::stream<asio::ip::tcp::socket> stream{io, context};
  boost::system::error_code error;
  bool connected = false;
};

HttpAnswer HttpExchange(uint16_t port, const std::string& request,
                        int timeoutMs) {
  HttpAnswer answer;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code error;
  socket.connect(Loopback(port), error);
  if (error) return answer;
  answer.connected = true;
  SetReceiveTimeout(socket.native_handle(), timeoutMs);
  asio::write(socket, asio::buffer(request), error);
  ReadAnswer(socket, &answer);
  return answer;
}

HttpAnswer HttpsExchange(uint16_t port, const std::string& request,
                         int timeoutMs) {
  HttpAnswer answer;
  TlsClient client(port, timeoutMs);
  answer.connected = client.connected;
  if (!client.error)
    asio::write(client.stream, asio::buffer(request), client.error);
  if (!client.error) ReadAnswer(client.stream, &answer);
  return answer;
}

std::string HttpsRaw(uint16_t port, const std::string& request, int timeoutMs) {
  TlsClient client(port, timeoutMs);
  boost::system::error_code& error = client.error;
  if (!client.connected) return "";
  if (!error) asio::write(client.stream, asio::buffer(request), error);
  std::string all;
  char bytes[4096];
  for (int reads = 0; !error && reads < 1000; ++reads) {
    size_t n = client.stream.read_some(asio::buffer(bytes), error);
    all.append(bytes, n);
  }
  return all;
}

RawConnection::RawConnection(uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::Send(const std::string& bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    ssize_t sent =
        send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return fd_ >= 0;
}

bool RawConnection::ClosedByPeer(int timeoutMs) {
  if (fd_ < 0) return false;
  SetReceiveTimeout(fd_, timeoutMs);
  char byte;
  return recv(fd_, &byte, 1, 0) == 0;
}

IdleTlsConnection::IdleTlsConnection(uint16_t port)
    : stream_(std::make_unique<TlsClient>(port, 10000)) {
  if (stream_->error) error_ = stream_->error.message();
}

IdleTlsConnection::~IdleTlsConnection() = default;

bool IdleTlsConnection::ClosedByPeer(int timeoutMs) {
  SetReceiveTimeout(stream_->stream.next_layer().native_handle(), timeoutMs);
  boost::system::error_code error;
  char byte;
  stream_->stream.read_some(asio::buffer(&byte, 1), error);
  return error && error != asio::error::would_block &&
         error != asio::error::try_again;
}

}  // namespace http_test
