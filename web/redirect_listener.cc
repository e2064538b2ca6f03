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
  using Response = http::response<http::string_body>;

  // A balancer's checks are answered here, without a redirect: /healthz
  // at once, /readyz once the gateway has been asked.
  void Answer() {
    const auto& request = parser_.get();
    std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    const bool read = request.method() == http::verb::get ||
                      request.method() == http::verb::head;
    head_ = request.method() == http::verb::head;
    if (read && path == "/healthz") {
      return Send(Plain(http::status::ok, state_->config().healthy));
    }
    if (read && path == "/readyz") {
      return state_->AskReadiness(
          [self = shared_from_this()](const ReadyVerdict& verdict) {
            self->Send(self->Plain(verdict.ready
                                       ? http::status::ok
                                       : http::status::service_unavailable,
                                   ReadyBody(verdict)));
          });
    }
    RedirectAnswer to = RedirectToHttps(std::string(request[http::field::host]),
                                        target, httpsPort_);
    Response response{static_cast<http::status>(to.status), 11};
    for (const auto& [name, value] : CommonHeaders()) {
      response.set(name, value);
    }
    response.set(http::field::location, to.location);
    Send(std::move(response));
  }

  Response Plain(http::status status, const std::string& body) const {
    Response response{status, 11};
    for (const auto& [name, value] : CommonHeaders()) {
      response.set(name, value);
    }
    response.set(http::field::content_type, "text/plain");
    response.body() = body;
    return response;
  }

  void Send(Response answer) {
    auto response = std::make_shared<Response>(std::move(answer));
    response->keep_alive(false);
    response->prepare_payload();
    // A HEAD's answer has the GET's Content-Length and no body.
    if (head_) response->body().clear();
    http::async_write(
        stream_, *response,
        [self = shared_from_this(), response](beast::error_code, size_t) {
          beast::error_code ignored;
          self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        });
  }

  beast::tcp_stream stream_;
  uint16_t httpsPort_;
  bool head_ = false;
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
