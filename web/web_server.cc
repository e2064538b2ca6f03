#include "web/web_server.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <uriparser/Uri.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <utility>

#include "comm/proxy_header.h"
#include "comm/tls.h"
#include "contract/tarpon_rc.h"
#include "gateway_client/gateway_exchange.h"
#include "gateway_client/tarpon_gateway.h"
#include "metrics/metrics_listener.h"
#include "metrics/metrics_registry.h"
#include "web/change_page.h"
#include "web/change_rules.h"

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr uint32_t kHeadLimit = 8192;
constexpr size_t kBodyLimit = 4096;
constexpr size_t kFieldLimit = 64;
constexpr auto kHandshakeDeadline = std::chrono::seconds(10);
constexpr auto kRequestDeadline = std::chrono::seconds(20);
constexpr int kExchangeThreads = 16;
constexpr int kRetryAfterSeconds = 30;

const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

std::string ReadAsset(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return "";
  }
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// The user ID as a log may show it: at most 16 characters, those the host
// cannot take as "?".
std::string LoggedUser(const std::string& user) {
  std::string shown = user.substr(0, 16);
  for (char& c : shown) {
    if (!IsHostCharacter(c)) c = '?';
  }
  return shown.empty() ? "-" : shown;
}

std::string Now() {
  std::time_t now = std::time(nullptr);
  std::tm parts;
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// The value of each key of an application/x-www-form-urlencoded text (or a
// URL's query) that keys names, through uriparser; the copies it made are
// cleared. False when the text does not decode.
bool DecodeForm(const std::string& text,
                std::vector<std::pair<const char*, std::string*>> keys) {
  UriQueryListA* list = nullptr;
  int count = 0;
  if (text.empty()) return true;
  if (uriDissectQueryMallocExA(&list, &count, text.data(),
                               text.data() + text.size(), URI_TRUE,
                               URI_BR_DONT_TOUCH) != URI_SUCCESS) {
    return false;
  }
  for (UriQueryListA* item = list; item != nullptr; item = item->next) {
    for (auto& [key, value] : keys) {
      if (item->value != nullptr && std::strcmp(item->key, key) == 0) {
        *value = item->value;
      }
    }
    if (item->value != nullptr) {
      OPENSSL_cleanse(const_cast<char*>(item->value), std::strlen(item->value));
    }
  }
  uriFreeQueryListA(list);
  return true;
}

sockaddr_storage Storage(const tcp::endpoint& endpoint) {
  sockaddr_storage storage = {};
  std::memcpy(&storage, endpoint.data(), endpoint.size());
  return storage;
}

}  // namespace

struct WebServer::State {
  explicit State(WebSettings s)
      : settings(std::move(s)), tls(ssl::context::tls_server) {
    // Each destination has threads of its own: a slow host holds only its
    // own users' exchanges.
    for (const auto& destination : settings.destinations) {
      pools.emplace(destination.first,
                    std::make_unique<asio::thread_pool>(kExchangeThreads));
    }
    if (pools.empty()) {
      pools.emplace("", std::make_unique<asio::thread_pool>(kExchangeThreads));
    }
  }

  // The pool of the destination a request names; an unknown or missing
  // name, which is answered without an exchange, the first one's.
  asio::thread_pool& PoolFor(const std::string& destination) {
    auto found = pools.find(destination);
    if (found == pools.end() && !settings.destinations.empty()) {
      found = pools.find(settings.destinations.front().first);
    }
    return *(found != pools.end() ? found : pools.begin())->second;
  }

  WebSettings settings;
  asio::io_context io{1};
  ssl::context tls;
  std::map<std::string, std::unique_ptr<asio::thread_pool>> pools;
  std::vector<tcp::acceptor> acceptors;
  std::optional<tcp::acceptor> redirect;
  std::unique_ptr<TlsContext> gatewayTls;
  ChangePage page;
  std::string script, style, icon, openapi;
  std::atomic<int> open{0};
  std::mutex auditLock;

  MetricsRegistry registry;
  CounterFamily* requests = nullptr;
  CounterFamily* gatewayErrors = nullptr;
  Histogram* latency = nullptr;
  Gauge* connections = nullptr;

  void RegisterMetrics();
  bool LoadAssets(std::string* error);
  bool SetUpTls(std::string* error);
  bool Bind(const std::string& text, tcp::acceptor* acceptor,
            std::string* error);
  void Accept(tcp::acceptor* acceptor);
  void AcceptRedirect();
  void Count(Outcome outcome) {
    requests->Get(OutcomeName(outcome))->Increment();
  }
  void Audit(const std::string& client, const std::string& user,
             const std::string& destination, Outcome outcome, int code);
};

void WebServer::State::RegisterMetrics() {
  requests = registry.AddCounterFamily(
      "tarpon_web_changes_total", "Password change attempts by outcome.",
      "outcome",
      {"changed", "invalid", "refused", "forbidden", "too_large", "unsupported",
       "unreachable", "unavailable", "timeout"});
  gatewayErrors = registry.AddCounterFamily(
      "tarpon_web_gateway_errors_total",
      "Exchanges with the gateway that brought no answer, by cause.", "cause",
      {"unreachable", "closed", "timeout", "tls"});
  latency = registry.AddHistogram(
      "tarpon_web_change_seconds",
      "Time from a change's request to its answer, gateway included.",
      {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30});
  connections = registry.AddGauge("tarpon_web_connections",
                                  "HTTPS connections open now.");
}

bool WebServer::State::LoadAssets(std::string* error) {
  const std::string& folder = settings.assets;
  if (!page.Load(folder, settings.language, settings.destinations, error)) {
    return false;
  }
  script = ReadAsset(folder + "/static/tarpon-web.js", error);
  icon = ReadAsset(folder + "/static/favicon.svg", error);
  style = ReadAsset(folder + "/static/tarpon-web.css", error);
  openapi = ReadAsset(folder + "/openapi.json", error);
  return error->empty();
}

bool WebServer::State::SetUpTls(std::string* error) {
  const char* key = settings.key.c_str();
  if (!KeyFileIsPrivate(key, error)) return false;
  SSL_CTX* native = tls.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
  boost::system::error_code failed;
  tls.use_certificate_chain_file(settings.certificate, failed);
  if (!failed) tls.use_private_key_file(key, ssl::context::pem, failed);
  if (failed) {
    *error = "cannot load " + settings.certificate + " and " + settings.key +
             ": " + failed.message();
    return false;
  }
  gatewayTls = TlsContext::ClientFromEnvironment(error);
  if (!error->empty()) *error = "gateway TLS settings refused: " + *error;
  return error->empty();
}

bool WebServer::State::Bind(const std::string& text, tcp::acceptor* acceptor,
                            std::string* error) {
  ListenAddress address;
  boost::system::error_code failed;
  if (!ParseListenAddress(text, &address)) {
    *error = "bad address " + text;
    return false;
  }
  tcp::endpoint endpoint(asio::ip::make_address(address.host, failed),
                         address.port);
  acceptor->open(endpoint.protocol(), failed);
  if (!failed) acceptor->set_option(tcp::acceptor::reuse_address(true));
  if (!failed && endpoint.address().is_v6()) {
    acceptor->set_option(asio::ip::v6_only(true), failed);
  }
  if (!failed) acceptor->bind(endpoint, failed);
  if (!failed)
    acceptor->listen(asio::socket_base::max_listen_connections, failed);
  if (failed) {
    *error = "cannot listen on " + text + ": " + failed.message();
    return false;
  }
  return true;
}

void WebServer::State::Audit(const std::string& client, const std::string& user,
                             const std::string& destination, Outcome outcome,
                             int code) {
  std::lock_guard<std::mutex> hold(auditLock);
  std::cout << Now() << " change client=" << client
            << " user=" << LoggedUser(user) << " destination="
            << (destination.empty() ? "-" : LoggedUser(destination))
            << " outcome=" << OutcomeName(outcome) << " code=" << code
            << std::endl;
}

namespace {

// One change on its way: what the request gave and what the answer needs.
struct ChangeJob {
  bool api = false;
  std::string language;
  std::string client;
  sockaddr_storage source = {};
  sockaddr_storage destination = {};
  ChangeFields fields;
  std::chrono::steady_clock::time_point began;
};

// One HTTPS connection: handshake, then requests one after another.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, WebServer::State* state)
      : stream_(std::move(socket), state->tls), state_(state) {
    boost::system::error_code ignored;
    peer_ = stream_.next_layer().socket().remote_endpoint(ignored);
    local_ = stream_.next_layer().socket().local_endpoint(ignored);
    ++state_->open;
    state_->connections->Increment();
  }
  ~Session() {
    --state_->open;
    state_->connections->Decrement();
  }

  void Start() {
    stream_.next_layer().expires_after(kHandshakeDeadline);
    stream_.async_handshake(
        ssl::stream_base::server,
        [self = shared_from_this()](beast::error_code failed) {
          if (!failed) self->Read();
        });
  }

 private:
  void Read();
  void OnRead(beast::error_code failed);
  void Handle(Request& request);
  void Send(Response response);
  void Finish(const std::shared_ptr<Response>& sent);
  void Close();
  void ClearBuffer();

  Response Answer(http::status status, const std::string& type,
                  std::string body);
  void StartChange(Request& request, bool api);
  static void RunChange(WebServer::State* state, ChangeJob* job,
                        Response* response);
  bool CrossSite(const Request& request) const;
  std::string Language(const Request& request) const {
    return state_->page.catalogue().Choose(
        std::string(request[http::field::accept_language]));
  }
  Response Refusal(const Request& request, Outcome outcome,
                   const std::string& key);

  beast::ssl_stream<beast::tcp_stream> stream_;
  WebServer::State* state_;
  tcp::endpoint peer_, local_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool keepAlive_ = false;
};

void Session::Read() {
  parser_.emplace();
  parser_->header_limit(kHeadLimit);
  parser_->body_limit(kBodyLimit);
  stream_.next_layer().expires_after(kRequestDeadline);
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code failed, size_t) {
        self->OnRead(failed);
      });
}

void Session::OnRead(beast::error_code failed) {
  if (failed == http::error::body_limit) {
    keepAlive_ = false;
    Request request = parser_->get();
    Send(Refusal(request, Outcome::kTooLarge, "tooLarge"));
    return;
  }
  if (failed == http::error::header_limit) {
    keepAlive_ = false;
    Send(Answer(http::status::request_header_fields_too_large, "text/plain",
                "Request header fields too large\n"));
    return;
  }
  if (failed) return Close();
  Request request = parser_->release();
  keepAlive_ = request.keep_alive();
  size_t fields = 0;
  for (auto it = request.begin(); it != request.end(); ++it) ++fields;
  if (fields > kFieldLimit) {
    keepAlive_ = false;
    Send(Answer(http::status::request_header_fields_too_large, "text/plain",
                "Too many header fields\n"));
  } else {
    Handle(request);
  }
  ClearSecret(&request.body());
  ClearBuffer();
}

// The buffer held the body's bytes; once empty, all of its storage is
// overwritten.
void Session::ClearBuffer() {
  if (buffer_.size() != 0) return;
  auto whole = buffer_.prepare(buffer_.capacity());
  OPENSSL_cleanse(whole.data(), whole.size());
}

Response Session::Answer(http::status status, const std::string& type,
                         std::string body) {
  Response response{status, 11};
  response.set(http::field::server, "tarpon-web");
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.set(http::field::strict_transport_security, "max-age=31536000");
  response.set("Content-Security-Policy", kContentSecurityPolicy);
  response.set("Referrer-Policy", "no-referrer");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("X-Frame-Options", "DENY");
  response.keep_alive(keepAlive_);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

Response Session::Refusal(const Request& request, Outcome outcome,
                          const std::string& key) {
  state_->Count(outcome);
  std::string language = Language(request);
  bool api = request.target().starts_with("/api/");
  http::status status = static_cast<http::status>(OutcomeStatus(outcome));
  if (api) {
    return Answer(
        status, "application/json",
        state_->page.ApiAnswer(language, false, TARPON_RC_BAD_OPTION, "", key));
  }
  status = http::status::ok;  // as RunChange has it for the page
  PageResult result;
  result.shown = true;
  result.outcome = outcome;
  result.messageKey = key;
  return Answer(status, "text/html; charset=utf-8",
                state_->page.Render(language, "", "", result));
}

// Another site's page posting here. Browsers that send Sec-Fetch-Site are
// judged by it alone: under "Referrer-Policy: no-referrer" their Origin of
// a form post is "null" even on the same site. Without it, the Origin must
// name this site; a request with neither comes from no browser (an API
// client) and goes on.
bool Session::CrossSite(const Request& request) const {
  std::string site(request["Sec-Fetch-Site"]);
  if (!site.empty()) return site != "same-origin" && site != "none";
  std::string origin(request[http::field::origin]);
  return !origin.empty() &&
         origin != "https://" + std::string(request[http::field::host]);
}

void Session::Handle(Request& request) {
  std::string target(request.target());
  std::string path = target.substr(0, target.find('?'));
  bool get = request.method() == http::verb::get ||
             request.method() == http::verb::head;
  bool post = request.method() == http::verb::post;
  if (path == "/" && post) return StartChange(request, false);
  if (path == "/api/v1/password-change" && post) {
    return StartChange(request, true);
  }
  if (path == "/" && get) {
    std::string user;
    std::string query = target.find('?') == std::string::npos
                            ? ""
                            : target.substr(target.find('?') + 1);
    DecodeForm(query, {{"user", &user}});
    return Send(Answer(http::status::ok, "text/html; charset=utf-8",
                       state_->page.Render(Language(request),
                                           user.substr(0, kWebFieldMaxLength),
                                           "", PageResult())));
  }
  struct Fixed {
    const char* path;
    const char* type;
    const std::string* body;
  };
  static const std::string kHealthy = "ok\n";
  const Fixed fixed[] = {
      {"/static/tarpon-web.js", "text/javascript; charset=utf-8",
       &state_->script},
      {"/static/tarpon-web.css", "text/css; charset=utf-8", &state_->style},
      {"/static/favicon.svg", "image/svg+xml", &state_->icon},
      {"/api/v1/openapi.json", "application/json", &state_->openapi},
      {"/healthz", "text/plain", &kHealthy},
  };
  for (const Fixed& file : fixed) {
    if (path == file.path && get) {
      return Send(Answer(http::status::ok, file.type, *file.body));
    }
  }
  if (path == "/metrics" && get) {
    return Send(Answer(http::status::ok, "text/plain; version=0.0.4",
                       state_->registry.Render()));
  }
  bool known =
      path == "/" || path == "/api/v1/password-change" || path == "/metrics";
  for (const Fixed& file : fixed) known = known || path == file.path;
  Send(known ? Answer(http::status::method_not_allowed, "text/plain",
                      "Method not allowed\n")
             : Answer(http::status::not_found, "text/plain", "Not found\n"));
}

// Reads the fields of a JSON body; false when it is no object of strings
// where strings are due. The parsed copies of the passwords are cleared.
bool ReadJson(const std::string& body, ChangeFields* fields) {
  nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
  bool ok = document.is_object();
  const std::pair<const char*, std::string*> keys[] = {
      {"user", &fields->user},
      {"currentPassword", &fields->currentPassword},
      {"newPassword", &fields->newPassword},
      {"destination", &fields->destination},
  };
  for (const auto& [key, value] : keys) {
    if (!ok || !document.contains(key)) continue;
    nlohmann::json& item = document[key];
    if (!item.is_string()) {
      ok = false;
      continue;
    }
    std::string& text = item.get_ref<std::string&>();
    *value = text;
    ClearSecret(&text);
  }
  return ok;
}

bool MediaTypeIs(const Request& request, const std::string& wanted) {
  std::string type(request[http::field::content_type]);
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  for (char& c : type) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return type == wanted;
}

void Session::StartChange(Request& request, bool api) {
  if (CrossSite(request)) {
    return Send(Refusal(request, Outcome::kForbidden, "crossSite"));
  }
  if (!MediaTypeIs(request, api ? "application/json"
                                : "application/x-www-form-urlencoded")) {
    return Send(Refusal(request, Outcome::kUnsupported, "mediaType"));
  }
  auto job = std::make_shared<ChangeJob>();
  job->api = api;
  job->began = std::chrono::steady_clock::now();
  job->language = Language(request);
  job->client = peer_.address().to_string();
  job->source = Storage(peer_);
  job->destination = Storage(local_);
  bool read =
      api ? ReadJson(request.body(), &job->fields)
          : DecodeForm(request.body(),
                       {{"user", &job->fields.user},
                        {"currentPassword", &job->fields.currentPassword},
                        {"newPassword", &job->fields.newPassword},
                        {"confirmation", &job->fields.confirmation},
                        {"destination", &job->fields.destination}});
  job->fields.hasConfirmation = !api;
  if (!read) return Send(Refusal(request, Outcome::kInvalid, "malformed"));
  // The exchange blocks: it runs in its destination's pool and posts its
  // answer back.
  auto response = std::make_shared<Response>();
  *response = Answer(http::status::ok, "", "");
  asio::post(state_->PoolFor(job->fields.destination),
             [self = shared_from_this(), job, response] {
               RunChange(self->state_, job.get(), response.get());
               asio::post(self->stream_.get_executor(), [self, response] {
                 self->Send(std::move(*response));
               });
             });
}

void Session::RunChange(WebServer::State* state, ChangeJob* job,
                        Response* response) {
  ChangeFields& fields = job->fields;
  const WebSettings& settings = state->settings;
  std::string destination = fields.destination.empty()
                                ? settings.destinations.front().first
                                : fields.destination;
  bool offered = false;
  for (const auto& [name, label] : settings.destinations) {
    offered = offered || name == destination;
  }
  std::string problem = CheckFields(&fields);
  if (problem.empty() && !offered) problem = "problemDestination";
  Verdict verdict{Outcome::kInvalid, problem};
  GatewayAnswer answer;
  int code = TARPON_RC_BAD_OPTION;
  if (problem.empty()) {
    GatewayRequest request;
    request.host = settings.gatewayHost;
    request.service = settings.gatewayService;
    request.options = GatewayOptions(fields, destination);
    request.timeoutSeconds = settings.timeoutSeconds;
    request.tls = state->gatewayTls.get();
    if (settings.proxyHeader) {
      request.prelude = EncodeProxyV2(job->source, job->destination);
    }
    code = ExchangeWithGateway(request, &answer);
    ClearSecret(&request.options);
    verdict = JudgeAnswer(answer);
    const char* causes[] = {"", "unreachable", "closed", "timeout", "tls"};
    if (answer.failure != GatewayFailure::kNone) {
      state->gatewayErrors->Get(causes[static_cast<int>(answer.failure)])
          ->Increment();
    }
  }
  state->Count(verdict.outcome);
  state->latency->Observe(std::chrono::duration<double>(
                              std::chrono::steady_clock::now() - job->began)
                              .count());
  state->Audit(job->client, fields.user, destination, verdict.outcome, code);
  std::string hostText = HostText(answer.text);
  bool changed = verdict.outcome == Outcome::kChanged;
  // The page answers 200 with the verdict in it: a browser's console would
  // report any other status of a page as an error. The API carries it.
  response->result(job->api ? OutcomeStatus(verdict.outcome) : 200);
  if (job->api && verdict.outcome == Outcome::kUnavailable) {
    response->set(http::field::retry_after, std::to_string(kRetryAfterSeconds));
  }
  if (job->api) {
    response->set(http::field::content_type, "application/json");
    response->body() = state->page.ApiAnswer(job->language, changed, code,
                                             hostText, verdict.messageKey);
  } else {
    PageResult result{true, verdict.outcome, verdict.messageKey, hostText};
    response->set(http::field::content_type, "text/html; charset=utf-8");
    response->body() = state->page.Render(
        job->language, changed ? "" : fields.user, destination, result);
  }
  response->prepare_payload();
}

void Session::Send(Response response) {
  auto sent = std::make_shared<Response>(std::move(response));
  stream_.next_layer().expires_after(kRequestDeadline);
  http::async_write(
      stream_, *sent,
      [self = shared_from_this(), sent](beast::error_code failed, size_t) {
        if (failed) return self->Close();
        self->Finish(sent);
      });
}

void Session::Finish(const std::shared_ptr<Response>& sent) {
  if (sent->keep_alive() && keepAlive_) return Read();
  Close();
}

void Session::Close() {
  stream_.next_layer().expires_after(kHandshakeDeadline);
  stream_.async_shutdown([self = shared_from_this()](beast::error_code) {
    beast::error_code ignored;
    self->stream_.next_layer().socket().shutdown(tcp::socket::shutdown_both,
                                                 ignored);
  });
}

// A plain HTTP connection: one request, answered with a redirect to the
// same path over HTTPS at the host the request named.
class Redirect : public std::enable_shared_from_this<Redirect> {
 public:
  Redirect(tcp::socket socket, uint16_t httpsPort)
      : stream_(std::move(socket)), httpsPort_(httpsPort) {}

  void Start() {
    parser_.header_limit(kHeadLimit);
    parser_.body_limit(0);
    stream_.expires_after(kRequestDeadline);
    http::async_read(
        stream_, buffer_, parser_,
        [self = shared_from_this()](beast::error_code failed, size_t) {
          if (!failed) self->Answer();
        });
  }

 private:
  void Answer() {
    const auto& request = parser_.get();
    std::string host(request[http::field::host]);
    // Only a host name or an address, without its port: nothing else may
    // shape the Location.
    if (host.size() > 255 ||
        host.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-[]:") !=
            std::string::npos) {
      host.clear();
    }
    size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']') == std::string::npos) {
      host.erase(colon);
    } else if (host.find(']') != std::string::npos) {
      host.erase(host.find(']') + 1);
    }
    std::string target(request.target());
    if (target.empty() || target[0] != '/') target = "/";
    auto response = std::make_shared<Response>(
        host.empty() ? http::status::bad_request
                     : http::status::permanent_redirect,
        11);
    response->set(
        http::field::location,
        "https://" + host +
            (httpsPort_ == 443 ? "" : ":" + std::to_string(httpsPort_)) +
            target);
    response->set(http::field::cache_control, "no-store");
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

void WebServer::State::Accept(tcp::acceptor* acceptor) {
  acceptor->async_accept(
      [this, acceptor](beast::error_code failed, tcp::socket socket) {
        if (failed == asio::error::operation_aborted) return;
        if (!failed && open.load() < settings.maxConnections) {
          std::make_shared<Session>(std::move(socket), this)->Start();
        }
        Accept(acceptor);
      });
}

void WebServer::State::AcceptRedirect() {
  redirect->async_accept([this](beast::error_code failed, tcp::socket socket) {
    if (failed == asio::error::operation_aborted) return;
    if (!failed) {
      std::make_shared<Redirect>(std::move(socket),
                                 acceptors.front().local_endpoint().port())
          ->Start();
    }
    AcceptRedirect();
  });
}

WebServer::WebServer(WebSettings settings)
    : state_(std::make_unique<State>(std::move(settings))) {
  state_->RegisterMetrics();
}

WebServer::~WebServer() {
  for (auto& pool : state_->pools) pool.second->join();
}

bool WebServer::Start(std::string* error) {
  State& s = *state_;
  if (!s.LoadAssets(error) || !s.SetUpTls(error)) return false;
  for (const std::string& address : s.settings.listen) {
    s.acceptors.emplace_back(s.io);
    if (!s.Bind(address, &s.acceptors.back(), error)) return false;
  }
  if (!s.settings.redirectListen.empty()) {
    s.redirect.emplace(s.io);
    if (!s.Bind(s.settings.redirectListen, &*s.redirect, error)) return false;
  }
  return true;
}

void WebServer::Run() {
  State& s = *state_;
  for (tcp::acceptor& acceptor : s.acceptors) s.Accept(&acceptor);
  if (s.redirect) s.AcceptRedirect();
  asio::signal_set stop(s.io, SIGINT, SIGTERM);
  stop.async_wait([&s](beast::error_code, int) { s.io.stop(); });
  s.io.run();
}

std::vector<uint16_t> WebServer::Ports() const {
  std::vector<uint16_t> ports;
  for (const tcp::acceptor& acceptor : state_->acceptors) {
    ports.push_back(acceptor.local_endpoint().port());
  }
  return ports;
}

int WebMain(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  WebSettings settings;
  std::string error;
  if (!ParseWebArguments(
          WebArguments(std::getenv("TARPON_WEB_OPTIONS"), argc, argv),
          &settings, &error)) {
    std::cerr << "tarpon-web: " << error << "\n";
    return 2;
  }
  if (settings.assets.empty()) settings.assets = TARPON_WEB_ASSETS;
  WebServer server(std::move(settings));
  if (!server.Start(&error)) {
    std::cerr << "tarpon-web: " << error << "\n";
    return 1;
  }
  for (uint16_t port : server.Ports()) {
    std::cerr << "tarpon-web: listening on port " << port << std::endl;
  }
  server.Run();
  return 0;
}
