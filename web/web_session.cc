#include "web/web_session.h"

#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "comm/net_block.h"
#include "comm/proxy_header.h"
#include "contract/secret.h"
#include "web/change_service.h"
#include "web/http_rules.h"
#include "web/problem_details.h"
#include "web/web_state.h"
#include "web/wiped_body.h"

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

using Request = http::request<WipedBody>;
using Response = http::response<http::string_body>;

sockaddr_storage Storage(const tcp::endpoint& endpoint) {
  sockaddr_storage storage = {};
  std::memcpy(&storage, endpoint.data(),
              std::min<size_t>(endpoint.size(), sizeof storage));
  return storage;
}

class Session;

// A route: a path, the methods it takes (kGet takes HEAD too), and what
// answers; fixed answers name their type and the configuration's text.
enum Methods : unsigned { kGet = 1, kPost = 2 };
struct Route {
  const char* path;
  unsigned methods;
  void (Session::*handler)(Request& request, const Route& route);
  const char* type;
  const std::string WebConfig::*body;
};

class Session : public Peer, public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, WebState* state, const ChangeService* service,
          const std::string& source, bool proxied)
      : Peer(state, source),
        service_(service),
        config_(state->config()),
        tls_(state->Loop().tls),
        stream_(std::move(socket), *tls_) {
    boost::system::error_code ignored;
    client_ = Storage(stream_.next_layer().socket().remote_endpoint(ignored));
    local_ = Storage(stream_.next_layer().socket().local_endpoint(ignored));
    if (proxied) proxy_ = std::make_unique<ProxyHeaderParser>();
  }

  void Start() {
    stream_.next_layer().expires_after(config_.settings.limits.handshake);
    if (proxy_) return ReadProxyHeader();
    Handshake();
  }
  void Stopping() override;
  void StopDeadline() override;
  void Displace() override {
    phase_ = Phase::kClosing;
    beast::error_code ignored;
    stream_.next_layer().socket().close(ignored);
  }

  void ServePage(Request& request, const Route& route);
  void ServeFixed(Request& request, const Route& route);
  void ServeLogo(Request& request, const Route& route);
  void ServeReady(Request&, const Route&) {
    state_->AskReadiness([self = shared_from_this()](const ReadyVerdict& v) {
      self->Send(self->Answer(
          v.ready ? http::status::ok : http::status::service_unavailable,
          "text/plain", ReadyBody(v)));
    });
  }
  void ServeWellKnown(Request&, const Route&) {
    Response moved = Answer(http::status::found, "text/plain", "");
    moved.set(http::field::location, "/");
    Send(std::move(moved));
  }
  void ChangeFromPage(Request& request, const Route&) {
    StartChange(request, false);
  }
  void ChangeFromApi(Request& request, const Route&) {
    StartChange(request, true);
  }

 private:
  enum class Phase {
    kOpening,    // PROXY header, handshake
    kIdle,       // waiting for a request's first byte
    kReading,    // a request is arriving
    kChanging,   // its change is with the gateway
    kWriting,    // an answer is on its way
    kLingering,  // after an answer to an oversized request
    kClosing,
  };

  bool Stopped() { return state_->Loop().stopping; }
  void ReadProxyHeader();
  void Handshake();
  void WaitForRequest();
  void ReadRequest();
  void OnRead(beast::error_code failed);
  void Handle(Request& request);
  void Send(Response response);
  void Finish(const std::shared_ptr<Response>& sent);
  void Linger();
  void Close();
  void Cancel() {
    beast::error_code ignored;
    stream_.next_layer().socket().cancel(ignored);
  }
  void ClearBuffer();

  Response Answer(http::status status, const std::string& type,
                  std::string body);
  Response ToResponse(ChangeAnswer answer);
  void StartChange(Request& request, bool api);
  std::unique_ptr<ChangeJob> MakeJob(const Request& request, bool api);
  void RunInPool(std::unique_ptr<ChangeJob> job);
  std::string Language(const Request& request) const {
    return config_.page.catalogue().Choose(
        std::string(request[http::field::accept_language]));
  }
  Response Refusal(const Request& request, Outcome outcome,
                   const std::string& key) {
    return ToResponse(service_->Refusal(request.target().starts_with("/api/"),
                                        Language(request), outcome, key));
  }
  // 431, as a problem under /api/ (when the request line was read).
  Response HeadTooLarge(const Request& request, const std::string& what) {
    if (request.target().starts_with("/api/")) {
      return Problem(http::status::request_header_fields_too_large,
                     reason::kTooLarge, what + ".");
    }
    return Answer(http::status::request_header_fields_too_large, "text/plain",
                  what + "\n");
  }
  Response Problem(http::status status, const char* reasonName,
                   const std::string& detail) {
    return ToResponse(
        EnglishProblem(static_cast<int>(status), reasonName, detail));
  }

  const ChangeService* service_;
  const WebConfig& config_;
  std::shared_ptr<ssl::context> tls_;  // before stream_, which uses it
  beast::ssl_stream<beast::tcp_stream> stream_;
  sockaddr_storage client_ = {}, local_ = {};
  std::unique_ptr<ProxyHeaderParser> proxy_;
  char proxyBytes_[ProxyHeaderParser::kMaxV2Length];
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<WipedBody>> parser_;
  Phase phase_ = Phase::kOpening;
  bool keepAlive_ = false;
  bool head_ = false;       // the request answered is a HEAD
  bool abandoned_ = false;  // its change was answered 503 at the stop
  bool lingering_ = false;  // close after the answer, reading the rest
  std::string api503Language_;
  bool api_ = false;
};

const Route kRoutes[] = {
    {"/", kGet, &Session::ServePage, nullptr, nullptr},
    {"/", kPost, &Session::ChangeFromPage, nullptr, nullptr},
    {"/api/v1/password-change", kPost, &Session::ChangeFromApi, nullptr,
     nullptr},
    {"/static/tarpon-web.js", kGet, &Session::ServeFixed,
     "text/javascript; charset=utf-8", &WebConfig::script},
    {"/static/tarpon-web.css", kGet, &Session::ServeFixed,
     "text/css; charset=utf-8", &WebConfig::style},
    {"/static/favicon.svg", kGet, &Session::ServeFixed, "image/svg+xml",
     &WebConfig::icon},
    {"/static/logo", kGet, &Session::ServeLogo, nullptr, nullptr},
    {"/api/v1/openapi.json", kGet, &Session::ServeFixed, "application/json",
     &WebConfig::openapi},
    {"/api/v1/destinations", kGet, &Session::ServeFixed, "application/json",
     &WebConfig::destinations},
    {"/healthz", kGet, &Session::ServeFixed, "text/plain", &WebConfig::healthy},
    {"/readyz", kGet, &Session::ServeReady, nullptr, nullptr},
    {kChangePasswordPath, kGet, &Session::ServeWellKnown, nullptr, nullptr},
};

// Straight from the socket, before TLS: the parser never asks for a byte
// past the header, so what follows stays for the handshake.
void Session::ReadProxyHeader() {
  size_t wanted = std::min(proxy_->Wanted(), sizeof proxyBytes_);
  stream_.next_layer().async_read_some(
      asio::buffer(proxyBytes_, wanted),
      [self = shared_from_this()](beast::error_code failed, size_t n) {
        ProxyHeaderParser& parser = *self->proxy_;
        if (failed) parser.EndOfInput();
        parser.Take(self->proxyBytes_, n);
        if (!parser.IsDone()) return self->ReadProxyHeader();
        // A health check, a refused header, or a client whose source has
        // no room left: closed.
        if (parser.GetResult() != ProxyHeaderParser::kProxy ||
            self->Stopped() ||
            !self->Recount(SourcePrefixKey(parser.GetSource()))) {
          return self->Close();
        }
        self->client_ = parser.GetSource();
        self->proxy_.reset();
        self->Handshake();
      });
}

void Session::Handshake() {
  stream_.async_handshake(
      ssl::stream_base::server,
      [self = shared_from_this()](beast::error_code failed) {
        if (failed) return self->Close();
        self->WaitForRequest();
      });
}

// Between requests a connection may stay idle only briefly; once a
// request's first byte is in, the request deadline applies.
void Session::WaitForRequest() {
  if (buffer_.size() != 0) return ReadRequest();
  if (Stopped()) return Close();
  phase_ = Phase::kIdle;
  SetIdle(true);
  stream_.next_layer().expires_after(config_.settings.limits.idle);
  stream_.async_read_some(
      buffer_.prepare(1024),
      [self = shared_from_this()](beast::error_code failed, size_t n) {
        if (failed) return self->Close();
        self->buffer_.commit(n);
        self->ReadRequest();
      });
}

void Session::ReadRequest() {
  const WebLimits& limits = config_.settings.limits;
  phase_ = Phase::kReading;
  SetIdle(false);
  parser_.emplace();
  parser_->header_limit(limits.headBytes);
  parser_->body_limit(limits.bodyBytes);
  stream_.next_layer().expires_after(limits.request);
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code failed, size_t) {
        self->OnRead(failed);
      });
}

void Session::OnRead(beast::error_code failed) {
  if (failed == http::error::body_limit) {
    lingering_ = true;
    Request request = parser_->get();
    head_ = false;
    Send(Refusal(request, Outcome::kTooLarge, TARPON_MESSAGE_KEY("tooLarge")));
    return;
  }
  if (failed == http::error::header_limit) {
    lingering_ = true;
    head_ = false;
    Send(HeadTooLarge(parser_->get(), "Request header fields too large"));
    return;
  }
  if (failed) return Close();
  Request request = parser_->release();
  keepAlive_ = request.keep_alive();
  head_ = request.method() == http::verb::head;
  size_t fields = 0;
  for (auto it = request.begin(); it != request.end(); ++it) ++fields;
  if (fields > config_.settings.limits.headFields) {
    keepAlive_ = false;
    Send(HeadTooLarge(request, "Too many header fields"));
  } else {
    Handle(request);
  }
  ClearBuffer();
}

// The buffer held the body's bytes; once empty, all of its storage is
// overwritten.
void Session::ClearBuffer() {
  if (buffer_.size() != 0) return;
  auto whole = buffer_.prepare(buffer_.capacity());
  WipeBytes(whole.data(), whole.size());
}

Response Session::Answer(http::status status, const std::string& type,
                         std::string body) {
  Response response{status, 11};
  for (const auto& [name, value] : CommonHeaders()) response.set(name, value);
  response.set(http::field::content_type, type);
  response.keep_alive(keepAlive_ && !lingering_);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

// A change's own answer has its fields in the order it always had:
// Retry-After and Content-Type after the common ones; any other answer
// has its Retry-After or Idempotent-Replayed last.
Response Session::ToResponse(ChangeAnswer answer) {
  const auto status = static_cast<http::status>(answer.status);
  if (!answer.afterExchange) {
    Response response =
        Answer(status, answer.contentType, std::move(answer.body));
    if (!answer.retryAfter.empty()) {
      response.set(http::field::retry_after, answer.retryAfter);
    }
    if (answer.replayed) response.set("Idempotent-Replayed", "true");
    return response;
  }
  Response response = Answer(status, "", "");
  if (!answer.retryAfter.empty()) {
    response.set(http::field::retry_after, answer.retryAfter);
  }
  if (!answer.setCookie.empty()) {
    response.set(http::field::set_cookie, answer.setCookie);
  }
  response.set(http::field::content_type, answer.contentType);
  response.body() = std::move(answer.body);
  response.prepare_payload();
  return response;
}

void Session::Handle(Request& request) {
  std::string target(request.target());
  std::string path = target.substr(0, target.find('?'));
  unsigned method = 0;
  if (request.method() == http::verb::get ||
      request.method() == http::verb::head) {
    method = kGet;
  } else if (request.method() == http::verb::post) {
    method = kPost;
  }
  unsigned allowed = 0;
  for (const Route& route : kRoutes) {
    if (path != route.path) continue;
    if ((route.methods & method) != 0) {
      return (this->*route.handler)(request, route);
    }
    allowed |= route.methods;
  }
  // Under /api/ a program reads the reason; elsewhere a person the text.
  bool api = path.compare(0, 5, "/api/") == 0;
  if (allowed == 0) {
    return Send(
        api ? Problem(http::status::not_found, reason::kNotFound,
                      "Nothing is served at " + path + ".")
            : Answer(http::status::not_found, "text/plain", "Not found\n"));
  }
  Response refused =
      api ? Problem(http::status::method_not_allowed, reason::kMethodNotAllowed,
                    "The Allow field names the methods this path takes.")
          : Answer(http::status::method_not_allowed, "text/plain",
                   "Method not allowed\n");
  std::string allow = (allowed & kGet) != 0 ? "GET, HEAD" : "";
  if ((allowed & kPost) != 0) allow += allow.empty() ? "POST" : ", POST";
  refused.set(http::field::allow, allow);
  Send(std::move(refused));
}

void Session::ServePage(Request& request, const Route&) {
  std::string target(request.target());
  std::string user;
  std::string query = target.find('?') == std::string::npos
                          ? ""
                          : target.substr(target.find('?') + 1);
  if (!DecodeForm(query, {{"user", &user}})) {
    return Send(
        Refusal(request, Outcome::kInvalid, TARPON_MESSAGE_KEY("malformed")));
  }
  Send(Answer(
      http::status::ok, "text/html; charset=utf-8",
      config_.page.Render(Language(request), user.substr(0, kWebFieldMaxLength),
                          "", PageResult())));
}

void Session::ServeFixed(Request&, const Route& route) {
  Send(Answer(http::status::ok, route.type, config_.*route.body));
}

// The organisation's logo (-logo), when one was given.
void Session::ServeLogo(Request&, const Route&) {
  if (config_.logo.empty()) {
    return Send(Answer(http::status::not_found, "text/plain", "Not found\n"));
  }
  Send(Answer(http::status::ok, config_.logoType, config_.logo));
}

std::unique_ptr<ChangeJob> Session::MakeJob(const Request& request, bool api) {
  auto job = std::make_unique<ChangeJob>();
  job->api = api;
  job->began = std::chrono::steady_clock::now();
  job->language = Language(request);
  job->client = AddressText(client_);
  job->source = client_;
  job->destination = local_;
  job->cookies = std::string(request[http::field::cookie]);
  job->operation = NewOperationId();
  return job;
}

void Session::StartChange(Request& request, bool api) {
  if (IsCrossSite(std::string(request["Sec-Fetch-Site"]),
                  std::string(request[http::field::origin]),
                  std::string(request[http::field::host]))) {
    return Send(
        Refusal(request, Outcome::kForbidden, TARPON_MESSAGE_KEY("crossSite")));
  }
  if (!MediaTypeIs(
          std::string(request[http::field::content_type]),
          api ? "application/json" : "application/x-www-form-urlencoded")) {
    return Send(Refusal(request, Outcome::kUnsupported,
                        TARPON_MESSAGE_KEY("mediaType")));
  }
  std::unique_ptr<ChangeJob> job = MakeJob(request, api);
  std::string formKey;
  if (!ChangeService::ReadFields(request.body(), api, &job->fields, &formKey)) {
    return Send(
        Refusal(request, Outcome::kInvalid, TARPON_MESSAGE_KEY("malformed")));
  }
  std::optional<ChangeAnswer> repeated = service_->Repeated(
      api ? std::string(request["Idempotency-Key"]) : formKey, job.get(),
      &state_->Loop().idempotency);
  if (repeated) return Send(ToResponse(std::move(*repeated)));
  RunInPool(std::move(job));
}

// The exchange blocks: it runs in the pool and posts its answer back. The
// work guard keeps the loop running until then, even while stopping. The
// session goes back with the answer: its last reference is dropped on the
// loop's thread, whose alone its counts are.
void Session::RunInPool(std::unique_ptr<ChangeJob> owned) {
  phase_ = Phase::kChanging;
  api_ = owned->api;
  api503Language_ = owned->language;
  std::shared_ptr<ChangeJob> job = std::move(owned);
  asio::post(
      state_->PoolFor(job->fields.destination),
      [self = shared_from_this(), job,
       work = asio::make_work_guard(state_->Loop().io)]() mutable {
        auto answer =
            std::make_shared<ChangeAnswer>(self->service_->Run(job.get()));
        asio::post(work.get_executor(), [self = std::move(self), job, answer] {
          self->service_->Remember(*job, *answer,
                                   &self->state_->Loop().idempotency);
          if (self->abandoned_) return;
          Response response = self->ToResponse(std::move(*answer));
          if (self->Stopped()) response.keep_alive(false);
          self->Send(std::move(response));
        });
      });
}

void Session::Send(Response response) {
  phase_ = Phase::kWriting;
  if (Stopped()) response.keep_alive(false);
  // A HEAD's answer has the GET's fields, its Content-Length included, and
  // no body: a keep-alive peer reads no bytes it did not ask for.
  if (head_) response.body().clear();
  auto sent = std::make_shared<Response>(std::move(response));
  stream_.next_layer().expires_after(config_.settings.limits.request);
  http::async_write(
      stream_, *sent,
      [self = shared_from_this(), sent](beast::error_code failed, size_t) {
        if (failed) return self->Close();
        self->Finish(sent);
      });
}

void Session::Finish(const std::shared_ptr<Response>& sent) {
  if (lingering_) return Linger();
  if (sent->keep_alive() && keepAlive_ && !Stopped()) {
    return WaitForRequest();
  }
  Close();
}

// After an answer to a request too large to read: the rest of it is read
// and dropped, for a bounded time, so that the close does not reset the
// connection before the client has read the answer.
void Session::Linger() {
  phase_ = Phase::kLingering;
  buffer_.clear();
  stream_.next_layer().expires_after(config_.settings.limits.linger);
  struct Drop {
    std::shared_ptr<Session> self;
    void operator()(beast::error_code failed = {}, size_t = 0) {
      if (failed) return self->Close();
      self->buffer_.clear();
      self->stream_.async_read_some(self->buffer_.prepare(16384),
                                    std::move(*this));
    }
  };
  Drop{shared_from_this()}();
}

void Session::Close() {
  if (phase_ == Phase::kClosing) return;
  phase_ = Phase::kClosing;
  stream_.next_layer().expires_after(
      Stopped() ? std::chrono::seconds(1) : config_.settings.limits.handshake);
  stream_.async_shutdown([self = shared_from_this()](beast::error_code) {
    beast::error_code ignored;
    self->stream_.next_layer().socket().shutdown(tcp::socket::shutdown_both,
                                                 ignored);
  });
}

void Session::Stopping() {
  if (phase_ == Phase::kOpening || phase_ == Phase::kIdle) Cancel();
}

// Those whose change is still with the gateway are told to try again
// later; whatever else is left is closed.
void Session::StopDeadline() {
  if (phase_ != Phase::kChanging) return Cancel();
  abandoned_ = true;
  keepAlive_ = false;
  // The change's own outcome is counted and audited when it ends.
  Response answer = Answer(http::status::service_unavailable, "", "");
  if (api_) {
    answer.set(http::field::content_type, kProblemMediaType);
    answer.body() = ApiProblem(config_.page, api503Language_, 503,
                               TARPON_MESSAGE_KEY("stopping"), -1, "");
  } else {
    answer.result(http::status::ok);
    PageResult result;
    result.shown = true;
    result.outcome = Outcome::kUnavailable;
    result.messageKey = TARPON_MESSAGE_KEY("stopping");
    answer.set(http::field::content_type, "text/html; charset=utf-8");
    answer.body() = config_.page.Render(api503Language_, "", "", result);
  }
  answer.set(http::field::retry_after,
             std::to_string(config_.settings.limits.retryAfterSeconds));
  answer.prepare_payload();
  Send(std::move(answer));
}

}  // namespace

void StartWebSession(tcp::socket socket, WebState* state,
                     const ChangeService* service, const std::string& source,
                     bool proxied) {
  std::make_shared<Session>(std::move(socket), state, service, source, proxied)
      ->Start();
}
