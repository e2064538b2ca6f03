#include "web/redirect_listener.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <memory>

#include "web/http_rules.h"
#include "web/web_state.h"

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

class RedirectConnection
    : public Peer,
      public std::enable_shared_from_this<RedirectConnection> {
 public:
  RedirectConnection(tcp::socket socket, WebState* state,
                     const std::string& source, uint16_t httpsPort)
      : Peer(state, source),
        stream_(std::move(socket)),
        httpsPort_(httpsPort) {}

  void Start() {
    const WebLimits& limits = state_->config().settings.limits;
    parser_.header_limit(limits.headBytes);
    parser_.body_limit(0);
    stream_.expires_after(limits.request);
    http::async_read(
        stream_, buffer_, parser_,
        [self = shared_from_this()](beast::error_code failed, size_t) {
          if (!failed) self->Answer();
        });
  }
  void Stopping() override {
    if (buffer_.size() == 0) StopDeadline();
  }
  void StopDeadline() override {
    beast::error_code ignored;
    stream_.socket().cancel(ignored);
  }
  void Displace() override {
    beast::error_code ignored;
    stream_.socket().close(ignored);
  }

 private:
  void Answer() {
    const auto& request = parser_.get();
    RedirectAnswer to =
        RedirectToHttps(std::string(request[http::field::host]),
                        std::string(request.target()), httpsPort_);
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(to.status), 11);
    for (const auto& [name, value] : CommonHeaders()) {
      response->set(name, value);
    }
    response->set(http::field::location, to.location);
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(
        stream_, *response,
        [self = shared_from_this(), response](beast::error_code, size_t) {
          beast::error_code ignored;
          self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        });
  }

  beast::tcp_stream stream_;
  uint16_t httpsPort_;
  beast::flat_buffer buffer_;
  http::request_parser<http::empty_body> parser_;
};

}  // namespace

void StartRedirect(tcp::socket socket, WebState* state,
                   const std::string& source, uint16_t httpsPort) {
  std::make_shared<RedirectConnection>(std::move(socket), state, source,
                                       httpsPort)
      ->Start();
}
