#include "web/web_server.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
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
#include <set>
#include <sstream>
#include <unordered_map>
#include <utility>

#include "comm/gateway_protocol.h"
#include "comm/listen_address.h"
#include "comm/net_block.h"
#include "comm/proxy_header.h"
#include "comm/tls.h"
#include "contract/tarpon_rc.h"
#include "gateway_client/gateway_exchange.h"
#include "metrics/metrics_listener.h"
#include "metrics/metrics_registry.h"
#include "web/change_page.h"
#include "web/change_rules.h"
#include "web/idempotency.h"
#include "web/problem_details.h"

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Where password managers send people to change a password: the page.
const char kChangePasswordPath[] = "/.well-known/change-password";

const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

// What the audit log shows in place of a user ID that fails the host's
// check: such a text may be a password typed into the wrong field.
const char kNotAUserId[] = "(not-a-user-id)";

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
// cleared. False when the text does not decode or would decode to a NUL,
// which would cut a value short.
bool DecodeForm(const std::string& text,
                std::vector<std::pair<const char*, std::string*>> keys) {
  UriQueryListA* list = nullptr;
  int count = 0;
  if (text.empty()) return true;
  if (text.find('\0') != std::string::npos ||
      text.find("%00") != std::string::npos) {
    return false;
  }
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
  std::memcpy(&storage, endpoint.data(),
              std::min<size_t>(endpoint.size(), sizeof storage));
  return storage;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  const void* bytes =
      address.ss_family == AF_INET
          ? static_cast<const void*>(
                &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr)
          : &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return "-";
  inet_ntop(address.ss_family, bytes, text, sizeof text);
  return text;
}

// The headers every answer carries, errors and redirects included.
void SetCommonHeaders(Response* response) {
  response->set(http::field::server, "tarpon-web");
  response->set(http::field::cache_control, "no-store");
  response->set(http::field::strict_transport_security, "max-age=31536000");
  response->set("Content-Security-Policy", kContentSecurityPolicy);
  response->set("Referrer-Policy", "no-referrer");
  response->set("X-Content-Type-Options", "nosniff");
  response->set("X-Frame-Options", "DENY");
  response->set("Permissions-Policy",
                "camera=(), microphone=(), geolocation=(), payment=(), "
                "usb=(), interest-cohort=()");
  response->set("Cross-Origin-Opener-Policy", "same-origin");
  response->set("Cross-Origin-Resource-Policy", "same-origin");
}

// Loads a certificate chain and its key for HTTPS; a key its group or
// others may read is refused. Null with a one-line reason.
std::shared_ptr<ssl::context> LoadServerTls(const WebSettings& settings,
                                            std::string* error) {
  const char* key = settings.key.c_str();
  if (!KeyFileIsPrivate(key, error)) return nullptr;
  auto tls = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* native = tls->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
  boost::system::error_code failed;
  tls->use_certificate_chain_file(settings.certificate, failed);
  if (!failed) tls->use_private_key_file(key, ssl::context::pem, failed);
  if (failed) {
    *error = "cannot load " + settings.certificate + " and " + settings.key +
             ": " + failed.message();
    return nullptr;
  }
  return tls;
}

// The API's answer to a change that was not made, in language tag: the
// problem of the verdict's message key, its text and next step as the
// detail. code < 0 when none is shown.
std::string ApiProblem(const ChangePage& page, const std::string& tag,
                       int status, const std::string& key, int code,
                       const std::string& hostText) {
  const Texts& texts = page.catalogue().TextsOf(tag);
  return ProblemJson(ProblemOf(key), status,
                     Text(texts, key) + " " + Text(texts, key + "Next"), code,
                     hostText);
}

class Peer;

}  // namespace

// tarpon-web's metrics, each outcome's counter at the outcome's index.
struct WebMetrics {
  explicit WebMetrics(MetricsRegistry* registry);

  // Every outcome OutcomeName knows, from 0 on.
  std::vector<Counter*> changes;
  // By GatewayFailure; kNone has none.
  std::array<Counter*, 5> gatewayErrors = {};
  Histogram* latency;
  Gauge* connections;
  Counter* refusedConnections;
};

WebMetrics::WebMetrics(MetricsRegistry* registry) {
  std::vector<std::string> outcomes;
  for (int i = 0;
       std::strcmp(OutcomeName(static_cast<Outcome>(i)), "unknown") != 0; ++i) {
    outcomes.push_back(OutcomeName(static_cast<Outcome>(i)));
  }
  changes.resize(outcomes.size());
  CounterFamily* family = registry->AddCounterFamily(
      "tarpon_web_changes_total", "Password change attempts by outcome.",
      "outcome", outcomes);
  for (size_t i = 0; i < changes.size(); ++i) {
    changes[i] = family->Get(outcomes[i]);
  }
  const char* causes[] = {"unreachable", "closed", "timeout", "tls"};
  family = registry->AddCounterFamily(
      "tarpon_web_gateway_errors_total",
      "Exchanges with the gateway that brought no answer, by cause.", "cause",
      {causes, causes + 4});
  for (size_t i = 1; i < gatewayErrors.size(); ++i) {
    gatewayErrors[i] = family->Get(causes[i - 1]);
  }
  latency = registry->AddHistogram(
      "tarpon_web_change_seconds",
      "Time from a change's request to its answer, gateway included.",
      {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30});
  connections = registry->AddGauge("tarpon_web_connections",
                                   "HTTPS and redirect connections open now.");
  refusedConnections = registry->AddCounter(
      "tarpon_web_connections_refused_total",
      "Connections closed at once: the overall or the per-source cap was "
      "reached.");
}

// The members are declared so that whatever a connection refers to is
// destroyed after it: the pools (declared last, destroyed first) join their
// threads, whose jobs hold connections; the event loop's destruction then
// destroys the connections still queued in it; the TLS contexts, the
// counts, the metrics and the settings outlive both.
struct WebServer::State {
  explicit State(WebSettings s) : settings(std::move(s)) {
    // Each destination has threads of its own: a slow host holds only its
    // own users' exchanges.
    const size_t threads = static_cast<size_t>(settings.limits.exchangeThreads);
    for (const auto& destination : settings.destinations) {
      pools.emplace(destination.first,
                    std::make_unique<asio::thread_pool>(threads));
    }
    if (pools.empty()) {
      pools.emplace("", std::make_unique<asio::thread_pool>(threads));
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
  MetricsRegistry registry;
  WebMetrics metrics{&registry};
  std::unique_ptr<MetricsListener> metricsListener;
  ChangePage page;
  std::string script, style, icon, openapi;
  std::string destinations;  // with their labels and rules, as JSON
  const std::string healthy = "ok\n";
  std::shared_ptr<ssl::context> tls;  // for new connections; SIGHUP replaces
  std::unique_ptr<TlsContext> gatewayTls;
  std::mutex auditLock;
  std::atomic<bool> proxyRefusalLogged{false};

  // The loop thread's alone.
  IdempotencyStore idempotency{IdempotencyStore::Limits()};
  int open = 0;
  std::unordered_map<std::string, int> sources;
  std::set<Peer*> peers;
  bool stopping = false;
  bool tornDown = false;  // the loop is gone: no timer may be touched

  asio::io_context io{1};
  std::vector<tcp::acceptor> acceptors;
  std::optional<tcp::acceptor> redirect;
  asio::signal_set stopSignals{io, SIGINT, SIGTERM};
  asio::signal_set reloadSignal{io, SIGHUP};
  asio::steady_timer stopTimer{io};
  std::map<std::string, std::unique_ptr<asio::thread_pool>> pools;

  bool LoadAssets(std::string* error);
  bool Bind(const std::string& text, tcp::acceptor* acceptor,
            std::string* error);
  void Accept(tcp::acceptor* acceptor, bool plain);
  void Admit(tcp::socket socket, bool plain);
  // True when a connection from source (or any, for "") fits the caps.
  bool HasRoom(const std::string& source) const;
  bool SourceHasRoom(const std::string& source) const;
  void WaitForReload();
  void Reload();
  void Stop();
  void StopDeadline();
  void PeerGone();
  void Count(Outcome outcome) {
    size_t index = static_cast<size_t>(outcome);
    if (index < metrics.changes.size()) metrics.changes[index]->Increment();
  }
  void Audit(const std::string& client, const std::string& user,
             const std::string& destination, Outcome outcome, int code);
};

bool WebServer::State::LoadAssets(std::string* error) {
  const std::string& folder = settings.assets;
  if (!page.Load(folder, settings, error)) return false;
  destinations = page.DestinationsJson();
  script = ReadAsset(folder + "/static/tarpon-web.js", error);
  icon = ReadAsset(folder + "/static/favicon.svg", error);
  style = ReadAsset(folder + "/static/tarpon-web.css", error);
  openapi = ReadAsset(folder + "/openapi.json", error);
  return error->empty();
}

bool WebServer::State::Bind(const std::string& text, tcp::acceptor* acceptor,
                            std::string* error) {
  ListenAddress address;
  if (!ParseListenAddress(text, &address)) {
    *error = "bad address " + text;
    return false;
  }
  int fd = OpenListeningSocket(address, text, error);
  if (fd < 0) return false;
  boost::system::error_code failed;
  acceptor->assign(address.IsIpv6() ? tcp::v6() : tcp::v4(), fd, failed);
  if (failed) {
    ::close(fd);
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
            << " user=" << (PassesUserIdCheck(user) ? user : kNotAUserId)
            << " destination=" << destination
            << " outcome=" << OutcomeName(outcome) << " code=" << code
            << std::endl;
}

bool WebServer::State::HasRoom(const std::string& source) const {
  return open < settings.limits.maxConnections && SourceHasRoom(source);
}

bool WebServer::State::SourceHasRoom(const std::string& source) const {
  if (source.empty()) return true;
  auto counted = sources.find(source);
  return counted == sources.end() ||
         counted->second < settings.limits.perSource;
}

namespace {

// A connection as the caps count it: from its acceptance to its
// destruction, under its source's key ("" for a balancer's connection
// before its PROXY header names the client). Loop thread only.
class Peer {
 public:
  Peer(WebServer::State* state, std::string source)
      : state_(state), source_(std::move(source)) {
    ++state_->open;
    if (!source_.empty()) ++state_->sources[source_];
    state_->peers.insert(this);
    state_->metrics.connections->Increment();
  }
  virtual ~Peer() {
    --state_->open;
    Uncount();
    state_->peers.erase(this);
    state_->metrics.connections->Decrement();
    state_->PeerGone();
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // SIGTERM: close if nothing is under way, else answer and close.
  virtual void Stopping() = 0;
  // The stop's grace has passed: answer what is left, close the rest.
  virtual void StopDeadline() = 0;

 protected:
  // Counts the connection under source from now on; false, counted as
  // before, when that source has no room.
  bool Recount(const std::string& source) {
    if (source.empty()) return true;  // no address to count it under
    if (!state_->SourceHasRoom(source)) return false;
    Uncount();
    source_ = source;
    ++state_->sources[source_];
    return true;
  }

  WebServer::State* state_;

 private:
  void Uncount() {
    if (source_.empty()) return;
    auto counted = state_->sources.find(source_);
    if (--counted->second == 0) state_->sources.erase(counted);
  }

  std::string source_;
};

// One change on its way: what the request gave and what the answer needs.
struct ChangeJob {
  bool api = false;
  std::string language;
  std::string client;
  sockaddr_storage source = {};
  sockaddr_storage destination = {};
  ChangeFields fields;
  std::chrono::steady_clock::time_point began;
  std::string idempotencySlot;  // "" without a key
  Outcome outcome = Outcome::kInvalid;
};

class Session;

// A route: a path, the methods it takes (kGet takes HEAD too), and what
// answers; fixed answers name their type and the state's text.
enum Methods : unsigned { kGet = 1, kPost = 2 };
struct Route {
  const char* path;
  unsigned methods;
  void (Session::*handler)(Request& request, const Route& route);
  const char* type;
  const std::string WebServer::State::*body;
};

// One HTTPS connection: the PROXY header of a balancer, the handshake,
// then requests one after another.
class Session : public Peer, public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, WebServer::State* state, std::string source,
          bool proxied)
      : Peer(state, std::move(source)),
        tls_(state->tls),
        stream_(std::move(socket), *tls_) {
    boost::system::error_code ignored;
    client_ = Storage(stream_.next_layer().socket().remote_endpoint(ignored));
    local_ = Storage(stream_.next_layer().socket().local_endpoint(ignored));
    if (proxied) proxy_ = std::make_unique<ProxyHeaderParser>();
  }

  void Start() {
    stream_.next_layer().expires_after(state_->settings.limits.handshake);
    if (proxy_) return ReadProxyHeader();
    Handshake();
  }
  void Stopping() override;
  void StopDeadline() override;

  void ServePage(Request& request, const Route& route);
  void ServeFixed(Request& request, const Route& route);
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
  void StartChange(Request& request, bool api);
  bool Repeated(const Request& request, std::string key, ChangeJob* job);
  void Remember(const ChangeJob& job, const Response& response);
  static void RunChange(WebServer::State* state, ChangeJob* job,
                        Response* response);
  bool CrossSite(const Request& request) const;
  std::string Language(const Request& request) const {
    return state_->page.catalogue().Choose(
        std::string(request[http::field::accept_language]));
  }
  Response Refusal(const Request& request, Outcome outcome,
                   const std::string& key);
  // 431, as a problem under /api/ (when the request line was read).
  Response HeadTooLarge(const Request& request, const std::string& what) {
    if (request.target().starts_with("/api/")) {
      return Problem(http::status::request_header_fields_too_large,
                     reason::kTooLarge, what + ".");
    }
    return Answer(http::status::request_header_fields_too_large, "text/plain",
                  what + "\n");
  }
  // A problem the catalogue has no text for: detail in English.
  Response Problem(http::status status, const char* reasonName,
                   const std::string& detail) {
    return Answer(status, kProblemMediaType,
                  ProblemJson(ProblemOf(reasonName), static_cast<int>(status),
                              detail, -1, ""));
  }

  std::shared_ptr<ssl::context> tls_;  // before stream_, which uses it
  beast::ssl_stream<beast::tcp_stream> stream_;
  sockaddr_storage client_ = {}, local_ = {};
  std::unique_ptr<ProxyHeaderParser> proxy_;
  char proxyBytes_[ProxyHeaderParser::kMaxV2Length];
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
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
     "text/javascript; charset=utf-8", &WebServer::State::script},
    {"/static/tarpon-web.css", kGet, &Session::ServeFixed,
     "text/css; charset=utf-8", &WebServer::State::style},
    {"/static/favicon.svg", kGet, &Session::ServeFixed, "image/svg+xml",
     &WebServer::State::icon},
    {"/api/v1/openapi.json", kGet, &Session::ServeFixed, "application/json",
     &WebServer::State::openapi},
    {"/api/v1/destinations", kGet, &Session::ServeFixed, "application/json",
     &WebServer::State::destinations},
    {"/healthz", kGet, &Session::ServeFixed, "text/plain",
     &WebServer::State::healthy},
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
            self->state_->stopping ||
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
  if (state_->stopping) return Close();
  phase_ = Phase::kIdle;
  stream_.next_layer().expires_after(state_->settings.limits.idle);
  stream_.async_read_some(
      buffer_.prepare(1024),
      [self = shared_from_this()](beast::error_code failed, size_t n) {
        if (failed) return self->Close();
        self->buffer_.commit(n);
        self->ReadRequest();
      });
}

void Session::ReadRequest() {
  const WebLimits& limits = state_->settings.limits;
  phase_ = Phase::kReading;
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
    Send(Refusal(request, Outcome::kTooLarge, "tooLarge"));
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
  if (fields > state_->settings.limits.headFields) {
    keepAlive_ = false;
    Send(HeadTooLarge(request, "Too many header fields"));
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
  SetCommonHeaders(&response);
  response.set(http::field::content_type, type);
  response.keep_alive(keepAlive_ && !lingering_);
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
    return Answer(status, kProblemMediaType,
                  ApiProblem(state_->page, language, static_cast<int>(status),
                             key, -1, ""));
  }
  status = http::status::ok;  // as RunChange has it for the page
  PageResult result;
  result.shown = true;
  result.outcome = outcome;
  result.messageKey = key;
  return Answer(status, "text/html; charset=utf-8",
                state_->page.Render(language, "", "", result));
}

// Another site's page posting here. Sec-Fetch-Site, when sent, must say
// the same origin (or "none": typed by the person); Origin, when sent,
// must name this site, except "null", which a browser sends for a form
// post of this site's own page under "Referrer-Policy: no-referrer" and
// which only Sec-Fetch-Site can vouch for. A request with neither comes
// from no browser (an API client) and goes on.
bool Session::CrossSite(const Request& request) const {
  std::string site(request["Sec-Fetch-Site"]);
  std::string origin(request[http::field::origin]);
  if (!site.empty() && site != "same-origin" && site != "none") return true;
  if (origin.empty()) return false;
  if (origin == "null") return site.empty();
  return origin != "https://" + std::string(request[http::field::host]);
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
    return Send(Refusal(request, Outcome::kInvalid, "malformed"));
  }
  Send(Answer(
      http::status::ok, "text/html; charset=utf-8",
      state_->page.Render(Language(request), user.substr(0, kWebFieldMaxLength),
                          "", PageResult())));
}

void Session::ServeFixed(Request&, const Route& route) {
  Send(Answer(http::status::ok, route.type, state_->*route.body));
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
  std::string formKey;
  job->api = api;
  job->began = std::chrono::steady_clock::now();
  job->language = Language(request);
  job->client = AddressText(client_);
  job->source = client_;
  job->destination = local_;
  bool read =
      api ? ReadJson(request.body(), &job->fields)
          : DecodeForm(request.body(),
                       {{"user", &job->fields.user},
                        {"currentPassword", &job->fields.currentPassword},
                        {"newPassword", &job->fields.newPassword},
                        {"confirmation", &job->fields.confirmation},
                        {"destination", &job->fields.destination},
                        {"idempotencyKey", &formKey}});
  job->fields.hasConfirmation = !api;
  if (!read) return Send(Refusal(request, Outcome::kInvalid, "malformed"));
  if (Repeated(request, api ? std::string(request["Idempotency-Key"]) : formKey,
               job.get())) {
    return;
  }
  // The exchange blocks: it runs in the pool and posts its answer back.
  // The work guard keeps the loop running until then, even while stopping.
  phase_ = Phase::kChanging;
  api_ = api;
  api503Language_ = job->language;
  auto response = std::make_shared<Response>();
  *response = Answer(http::status::ok, "", "");
  // The session goes back with the answer: its last reference is dropped
  // on the loop's thread, whose alone its counts are.
  asio::post(state_->PoolFor(job->fields.destination),
             [self = shared_from_this(), job, response,
              work = asio::make_work_guard(state_->io)]() mutable {
               RunChange(self->state_, job.get(), response.get());
               asio::post(work.get_executor(),
                          [self = std::move(self), job, response] {
                            self->Remember(*job, *response);
                            if (self->abandoned_) return;
                            if (self->state_->stopping)
                              response->keep_alive(false);
                            self->Send(std::move(*response));
                          });
             });
}

// A change with an Idempotency-Key seen before: true when answered here
// (the first answer again, or why not), false when the change is to run.
// The page's hidden key is its own: when it does not fit, the change runs
// without it.
bool Session::Repeated(const Request& request, std::string key,
                       ChangeJob* job) {
  if (key.empty()) return false;
  if (!IsIdempotencyKey(key)) {
    if (!job->api) return false;
    Send(Problem(http::status::bad_request, reason::kBadIdempotencyKey,
                 "An Idempotency-Key is 1 to 255 visible ASCII characters."));
    return true;
  }
  const WebSettings& settings = state_->settings;
  std::string user = job->fields.user;
  for (char& c : user) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const std::string& destination = job->fields.destination.empty()
                                       ? settings.destinations.front().first
                                       : job->fields.destination;
  IdempotencyStore::Answer first;
  switch (state_->idempotency.Begin(key, user, destination,
                                    std::chrono::steady_clock::now(),
                                    &job->idempotencySlot, &first)) {
    case IdempotencyStore::Found::kNew:
      return false;
    case IdempotencyStore::Found::kReplay: {
      Response replay = Answer(static_cast<http::status>(first.status),
                               first.contentType, std::move(first.body));
      replay.set("Idempotent-Replayed", "true");
      Send(std::move(replay));
      return true;
    }
    case IdempotencyStore::Found::kReused:
      if (!job->api) return false;
      Send(Problem(http::status::unprocessable_entity,
                   reason::kIdempotencyKeyReused,
                   "This Idempotency-Key was used for another user ID or "
                   "destination; send each change with a key of its own."));
      return true;
    case IdempotencyStore::Found::kInFlight:
      break;
  }
  if (!job->api) {
    // The page posted twice: the first answer went to the first post.
    Send(Refusal(request, Outcome::kUnavailable, "gatewayTimeout"));
    return true;
  }
  Response busy =
      Problem(http::status::conflict, reason::kIdempotencyKeyInFlight,
              "The first change with this Idempotency-Key is "
              "still under way; ask again in a moment.");
  busy.set(http::field::retry_after, "1");
  Send(std::move(busy));
  return true;
}

// Back on the loop: a verdict of the host's is kept for the change's key;
// any other outcome frees the key for a retry.
void Session::Remember(const ChangeJob& job, const Response& response) {
  if (job.idempotencySlot.empty()) return;
  bool keep =
      job.outcome == Outcome::kChanged || job.outcome == Outcome::kRefused;
  IdempotencyStore::Answer answer;
  if (keep) {
    answer.status = static_cast<int>(response.result_int());
    answer.contentType = std::string(response[http::field::content_type]);
    answer.body = response.body();
  }
  state_->idempotency.Finish(job.idempotencySlot, keep, std::move(answer),
                             std::chrono::steady_clock::now());
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
  // The reason a program is told comes from checked.rule.
  FieldProblem checked = CheckFields(&fields, settings.RulesFor(destination));
  std::string problem = checked.messageKey;
  if (problem.empty() && !offered) problem = "problemDestination";
  Verdict verdict{Outcome::kInvalid, problem};
  job->outcome = verdict.outcome;
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
    size_t cause = static_cast<size_t>(answer.failure);
    if (cause > 0 && cause < state->metrics.gatewayErrors.size()) {
      state->metrics.gatewayErrors[cause]->Increment();
    }
    if (answer.failure == GatewayFailure::kNone &&
        answer.code == GATEWAY_RC_PROXY_REFUSED &&
        !state->proxyRefusalLogged.exchange(true)) {
      std::cerr << "tarpon-web: the gateway refused the PROXY header: start "
                   "tarpons with -proxy-from naming this server's address, "
                   "or start tarpon-web with -proxy-header off\n";
    }
  }
  job->outcome = verdict.outcome;
  state->Count(verdict.outcome);
  state->metrics.latency->Observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                    job->began)
          .count());
  state->Audit(job->client, fields.user, offered ? destination : kNotAUserId,
               verdict.outcome, code);
  // Only the host's words are shown as the host's answer.
  std::string hostText =
      code == GATEWAY_RC_PROXY_REFUSED || !verdict.showsHostText
          ? std::string()
          : HostText(answer.text);
  if (verdict.shownCode >= 0) code = verdict.shownCode;
  bool changed = verdict.outcome == Outcome::kChanged;
  // The page answers 200 with the verdict in it: a browser's console would
  // report any other status of a page as an error. The API carries it.
  response->result(job->api ? OutcomeStatus(verdict.outcome) : 200);
  if (job->api && verdict.outcome == Outcome::kUnavailable) {
    response->set(http::field::retry_after,
                  std::to_string(settings.limits.retryAfterSeconds));
  }
  if (job->api && verdict.retryAfterSeconds > 0) {
    response->set(http::field::retry_after,
                  std::to_string(verdict.retryAfterSeconds));
  }
  if (job->api && changed) {
    response->set(http::field::content_type, "application/json");
    response->body() = state->page.ApiAnswer(job->language, changed, code,
                                             hostText, verdict.messageKey);
  } else if (job->api) {
    // A change refused here shows no code: none came from the gateway.
    response->set(http::field::content_type, kProblemMediaType);
    response->body() =
        ApiProblem(state->page, job->language, OutcomeStatus(verdict.outcome),
                   verdict.messageKey, problem.empty() ? code : -1, hostText);
  } else {
    PageResult result{true, verdict.outcome, verdict.messageKey, hostText,
                      *checked.field != '\0' ? checked.field : verdict.field};
    response->set(http::field::content_type, "text/html; charset=utf-8");
    response->body() = state->page.Render(
        job->language, changed ? "" : fields.user, destination, result);
  }
  response->prepare_payload();
}

void Session::Send(Response response) {
  phase_ = Phase::kWriting;
  if (state_->stopping) response.keep_alive(false);
  // A HEAD's answer has the GET's fields, its Content-Length included, and
  // no body: a keep-alive peer reads no bytes it did not ask for.
  if (head_) response.body().clear();
  auto sent = std::make_shared<Response>(std::move(response));
  stream_.next_layer().expires_after(state_->settings.limits.request);
  http::async_write(
      stream_, *sent,
      [self = shared_from_this(), sent](beast::error_code failed, size_t) {
        if (failed) return self->Close();
        self->Finish(sent);
      });
}

void Session::Finish(const std::shared_ptr<Response>& sent) {
  if (lingering_) return Linger();
  if (sent->keep_alive() && keepAlive_ && !state_->stopping) {
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
  stream_.next_layer().expires_after(state_->settings.limits.linger);
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
  stream_.next_layer().expires_after(state_->stopping
                                         ? std::chrono::seconds(1)
                                         : state_->settings.limits.handshake);
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
    answer.body() =
        ApiProblem(state_->page, api503Language_, 503, "stopping", -1, "");
  } else {
    answer.result(http::status::ok);
    PageResult result{true, Outcome::kUnavailable, "stopping", "", ""};
    answer.set(http::field::content_type, "text/html; charset=utf-8");
    answer.body() = state_->page.Render(api503Language_, "", "", result);
  }
  answer.set(http::field::retry_after,
             std::to_string(state_->settings.limits.retryAfterSeconds));
  answer.prepare_payload();
  Send(std::move(answer));
}

// A plain HTTP connection: one request, answered with a redirect to the
// same path over HTTPS at the host the request named.
class Redirect : public Peer, public std::enable_shared_from_this<Redirect> {
 public:
  Redirect(tcp::socket socket, WebServer::State* state, std::string source,
           uint16_t httpsPort)
      : Peer(state, std::move(source)),
        stream_(std::move(socket)),
        httpsPort_(httpsPort) {}

  void Start() {
    parser_.header_limit(state_->settings.limits.headBytes);
    parser_.body_limit(0);
    stream_.expires_after(state_->settings.limits.request);
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
    // A password manager's well-known path goes straight to the page.
    bool wellKnown = target.substr(0, target.find('?')) == kChangePasswordPath;
    if (wellKnown) target = "/";
    auto response = std::make_shared<Response>(
        host.empty() ? http::status::bad_request
        : wellKnown  ? http::status::found
                     : http::status::permanent_redirect,
        11);
    SetCommonHeaders(response.get());
    response->set(
        http::field::location,
        "https://" + host +
            (httpsPort_ == 443 ? "" : ":" + std::to_string(httpsPort_)) +
            target);
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

// accept's failures that a pause may cure: descriptors or memory short.
bool IsShortOfResources(const beast::error_code& failed) {
  namespace errc = boost::system::errc;
  return failed == errc::too_many_files_open ||
         failed == errc::too_many_files_open_in_system ||
         failed == errc::no_buffer_space || failed == errc::not_enough_memory;
}

}  // namespace

void WebServer::State::Accept(tcp::acceptor* acceptor, bool plain) {
  acceptor->async_accept([this, acceptor, plain](beast::error_code failed,
                                                 tcp::socket socket) {
    if (failed == asio::error::operation_aborted || stopping) return;
    if (IsShortOfResources(failed)) {
      // Pause rather than spin: the connections that hold the descriptors
      // end within their deadlines.
      auto pause =
          std::make_shared<asio::steady_timer>(io, settings.limits.acceptPause);
      pause->async_wait([this, acceptor, plain, pause](beast::error_code) {
        if (!stopping) Accept(acceptor, plain);
      });
      return;
    }
    if (!failed) Admit(std::move(socket), plain);
    Accept(acceptor, plain);
  });
}

// A balancer's connection is counted against the overall cap until its
// PROXY header names the client, then under the client's source.
void WebServer::State::Admit(tcp::socket socket, bool plain) {
  beast::error_code ignored;
  sockaddr_storage peer = Storage(socket.remote_endpoint(ignored));
  bool proxied = !plain && !settings.proxyFrom.IsEmpty() &&
                 settings.proxyFrom.Contains(peer);
  std::string source = proxied ? "" : SourcePrefixKey(peer);
  if (!HasRoom(source)) {
    metrics.refusedConnections->Increment();
    return;  // the socket closes here
  }
  if (plain) {
    std::make_shared<Redirect>(std::move(socket), this, source,
                               acceptors.front().local_endpoint().port())
        ->Start();
  } else {
    std::make_shared<Session>(std::move(socket), this, source, proxied)
        ->Start();
  }
}

void WebServer::State::WaitForReload() {
  reloadSignal.async_wait([this](beast::error_code failed, int) {
    if (failed) return;
    Reload();
    WaitForReload();
  });
}

// New connections take the new certificate and key; those open keep what
// they began with. On any fault the files in use stay.
void WebServer::State::Reload() {
  std::string error;
  std::shared_ptr<ssl::context> loaded = LoadServerTls(settings, &error);
  if (!loaded) {
    std::cerr << "tarpon-web: kept the certificate and key in use: " << error
              << std::endl;
    return;
  }
  tls = std::move(loaded);
  std::cerr << "tarpon-web: reloaded " << settings.certificate << " and "
            << settings.key << std::endl;
}

// Accepting stops; idle connections close; every request under way is
// read, run and answered (with Connection: close) within the grace, after
// which those left get 503 with Retry-After. The loop ends when the last
// connection has closed.
void WebServer::State::Stop() {
  if (stopping) return;
  stopping = true;
  beast::error_code ignored;
  for (tcp::acceptor& acceptor : acceptors) acceptor.close(ignored);
  if (redirect) redirect->close(ignored);
  stopSignals.cancel(ignored);
  reloadSignal.cancel(ignored);
  std::cerr << "tarpon-web: stopping with " << peers.size()
            << " connections open" << std::endl;
  std::vector<Peer*> now(peers.begin(), peers.end());
  for (Peer* peer : now) peer->Stopping();
  stopTimer.expires_after(settings.limits.stopGrace);
  stopTimer.async_wait([this](beast::error_code failed) {
    if (!failed) StopDeadline();
  });
  PeerGone();
}

void WebServer::State::StopDeadline() {
  std::vector<Peer*> now(peers.begin(), peers.end());
  for (Peer* peer : now) peer->StopDeadline();
  // The answers and the closes are bounded by their own deadlines; this is
  // the last word.
  stopTimer.expires_after(std::chrono::seconds(2));
  stopTimer.async_wait([this](beast::error_code failed) {
    if (!failed) io.stop();
  });
}

void WebServer::State::PeerGone() {
  if (stopping && !tornDown && peers.empty()) stopTimer.cancel();
}

WebServer::WebServer(WebSettings settings)
    : state_(std::make_unique<State>(std::move(settings))) {}

// The pool's jobs end first (each within the gateway exchange's timeout);
// the loop's destruction then destroys the connections still queued in it,
// which must touch no timer.
WebServer::~WebServer() {
  for (auto& pool : state_->pools) pool.second->join();
  state_->tornDown = true;
}

bool WebServer::Start(std::string* error) {
  State& s = *state_;
  if (!s.LoadAssets(error)) return false;
  s.tls = LoadServerTls(s.settings, error);
  if (!s.tls) return false;
  s.gatewayTls = TlsContext::ClientFromEnvironment(error);
  if (!error->empty()) {
    *error = "gateway TLS settings refused: " + *error;
    return false;
  }
  // Change after change goes to the same gateway: a resumed handshake
  // spares both ends the certificate's signature and its check.
  if (s.gatewayTls != nullptr) s.gatewayTls->KeepSessions();
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    if (limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
      getrlimit(RLIMIT_NOFILE, &limit);
    }
    std::string note = FitWebLimits(limit.rlim_cur, &s.settings.limits);
    if (!note.empty()) std::cerr << "tarpon-web: " << note << std::endl;
  }
  for (const std::string& address : s.settings.listen) {
    s.acceptors.emplace_back(s.io);
    if (!s.Bind(address, &s.acceptors.back(), error)) return false;
  }
  if (!s.settings.redirectListen.empty()) {
    s.redirect.emplace(s.io);
    if (!s.Bind(s.settings.redirectListen, &*s.redirect, error)) return false;
  }
  if (!s.settings.metricsListen.empty()) {
    s.metricsListener = std::make_unique<MetricsListener>(&s.registry);
    if (!s.metricsListener->Start(s.settings.metricsListen, error)) {
      *error = "metrics: " + *error;
      return false;
    }
  }
  return true;
}

void WebServer::Run() {
  State& s = *state_;
  for (tcp::acceptor& acceptor : s.acceptors) s.Accept(&acceptor, false);
  if (s.redirect) s.Accept(&*s.redirect, true);
  s.stopSignals.async_wait([&s](beast::error_code failed, int) {
    if (!failed) s.Stop();
  });
  s.WaitForReload();
  s.io.run();
  if (s.metricsListener) s.metricsListener->Stop();
}

std::vector<uint16_t> WebServer::Ports() const {
  std::vector<uint16_t> ports;
  for (const tcp::acceptor& acceptor : state_->acceptors) {
    ports.push_back(acceptor.local_endpoint().port());
  }
  return ports;
}

namespace {

const char kUsage[] =
    "usage: tarpon-web -listen ADDRESS:PORT -cert FILE -key FILE\n"
    "                  -destinations NAME[=LABEL][,...] [option ...]\n"
    "       tarpon-web -check ...   check the settings, files and gateway\n"
    "       tarpon-web --version | -? | --help\n"
    "\n"
    "  -listen ADDRESS:PORT     HTTPS address, [IPv6]:PORT too; repeatable\n"
    "  -cert FILE, -key FILE    the certificate chain and its private key\n"
    "  -destinations LIST       the hosts offered; the first is the default\n"
    "  -gateway HOST[:PORT]     the gateway; PORT a number or a service name\n"
    "  -http ADDRESS:PORT       plain HTTP that redirects to HTTPS\n"
    "  -lang TAG                the default language (en)\n"
    "  -assets FOLDER           page, catalogues and static files\n"
    "  -proxy-header on|off     a PROXY header to the gateway (on)\n"
    "  -proxy-from LIST         balancers whose connections bring one\n"
    "  -timeout SECONDS         the whole gateway exchange (30)\n"
    "  -max-connections N, -per-source N   connection caps (256, 32)\n"
    "  -metrics ADDRESS:PORT    Prometheus metrics on a listener of their own\n"
    "\n"
    "Options may also come from TARPON_WEB_OPTIONS; see tarpon-web(8).\n";

// One line of -check: the verdict padded to eight columns, then the text.
struct CheckLines {
  bool passed = true;
  void Line(bool ok, const std::string& text) {
    passed = passed && ok;
    std::cout << (ok ? "ok      " : "FAILED  ") << text << "\n";
  }
};

// What a start needs, tried as the start would, without serving: the
// addresses bind, the certificate and key load, the assets and catalogues
// read, and the gateway answers a request that changes nothing (an option
// the engine does not know, which it refuses before any host is asked)
// with the PROXY setting in force. Exit status 0 when every check passed,
// else 1.
int CheckWeb(const WebSettings& settings) {
  CheckLines report;
  std::string error;
  std::vector<std::string> addresses = settings.listen;
  if (!settings.redirectListen.empty()) {
    addresses.push_back(settings.redirectListen);
  }
  if (!settings.metricsListen.empty()) {
    addresses.push_back(settings.metricsListen);
  }
  for (const std::string& text : addresses) {
    ListenAddress address;
    error.clear();
    int fd = ParseListenAddress(text, &address)
                 ? OpenListeningSocket(address, text, &error)
                 : -1;
    if (fd >= 0) ::close(fd);
    report.Line(fd >= 0, "listen address " + text +
                             (fd >= 0 ? " can be bound" : ": " + error));
  }
  error.clear();
  bool tlsOk = LoadServerTls(settings, &error) != nullptr;
  report.Line(tlsOk, tlsOk ? "certificate " + settings.certificate +
                                 " and key " + settings.key + " load"
                           : error);
  error.clear();
  for (const char* file :
       {"/page.html", "/static/tarpon-web.js", "/static/tarpon-web.css",
        "/static/favicon.svg", "/openapi.json"}) {
    ReadAsset(settings.assets + file, &error);
    if (!error.empty()) break;
  }
  report.Line(error.empty(), error.empty() ? "assets in " + settings.assets
                                           : "assets: " + error);
  error.clear();
  Catalogue catalogue;
  bool read =
      catalogue.Load(settings.assets + "/i18n", settings.language, &error);
  report.Line(read, read ? "catalogues in " + settings.assets +
                               "/i18n, default language " + settings.language
                         : "catalogues: " + error);
  error.clear();
  std::unique_ptr<TlsContext> gatewayTls =
      TlsContext::ClientFromEnvironment(&error);
  if (!error.empty()) {
    report.Line(false, "gateway TLS settings refused: " + error);
    return 1;
  }
  GatewayRequest request;
  request.host = settings.gatewayHost;
  request.service = settings.gatewayService;
  request.options = " -tarpon-web-check";
  request.timeoutSeconds = settings.timeoutSeconds;
  request.tls = gatewayTls.get();
  if (settings.proxyHeader) {
    sockaddr_storage loopback = {};
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&loopback);
    ipv4->sin_family = AF_INET;
    ipv4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    request.prelude = EncodeProxyV2(loopback, loopback);
  }
  GatewayAnswer answer;
  int code = ExchangeWithGateway(request, &answer);
  std::string gateway = "gateway " + settings.gatewayHost + ":" +
                        settings.gatewayService + " (PROXY header " +
                        (settings.proxyHeader ? "on" : "off") + ")";
  if (answer.failure == GatewayFailure::kNone &&
      code == GATEWAY_RC_PROXY_REFUSED) {
    report.Line(false, gateway +
                           " refuses the PROXY header: start tarpons with "
                           "-proxy-from naming this server's address, or "
                           "start tarpon-web with -proxy-header off");
  } else if (answer.failure == GatewayFailure::kNone) {
    report.Line(true, gateway + " answers");
  } else if (answer.failure == GatewayFailure::kClosed) {
    report.Line(false, gateway + " closed without answering: does it want " +
                           (settings.proxyHeader ? "no" : "a") +
                           " PROXY header, or TLS (TARPON_TLS_CA)?");
  } else {
    report.Line(
        false,
        gateway + ": " + (answer.detail.empty() ? "no answer" : answer.detail));
  }
  return report.passed ? 0 : 1;
}

}  // namespace

int WebMain(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-?") == 0 ||
        std::strcmp(argv[i], "--help") == 0) {
      std::cout << kUsage;
      return 0;
    }
  }
  WebSettings settings;
  std::string error;
  if (!ParseWebArguments(
          WebArguments(std::getenv("TARPON_WEB_OPTIONS"), argc, argv),
          &settings, &error)) {
    std::cerr << "tarpon-web: " << error << "\n"
              << "tarpon-web: -? or --help shows the usage\n";
    return 2;
  }
  if (settings.assets.empty()) settings.assets = TARPON_WEB_ASSETS;
  if (settings.check) return CheckWeb(settings);
  WebServer server(std::move(settings));
  if (!server.Start(&error)) {
    std::cerr << "tarpon-web: " << error << "\n";
    return 1;
  }
  for (uint16_t port : server.Ports()) {
    std::cerr << "tarpon-web: listening on port " << port << std::endl;
  }
  server.Run();
  std::cerr << "tarpon-web: stopped" << std::endl;
  return 0;
}
