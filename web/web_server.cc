#include "web/web_server.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstring>
#include <iostream>
#include <memory>

#include "comm/listen_address.h"
#include "comm/net_block.h"
#include "comm/tls.h"
#include "web/change_service.h"
#include "web/redirect_listener.h"
#include "web/web_check.h"
#include "web/web_session.h"
#include "web/web_state.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

// The loop: the state and the change service the connections share, and
// what accepts, admits, reloads and stops.
struct WebServer::Loop {
  explicit Loop(WebSettings settings)
      : state(std::move(settings)), service(state.config(), &state.shared()) {}

  bool Bind(const std::string& text, tcp::acceptor* acceptor,
            std::string* error);
  bool BindAll(std::string* error);
  void FitToDescriptors();
  void Accept(tcp::acceptor* acceptor, bool plain);
  void Admit(tcp::socket socket, bool plain);
  void WaitForReload();
  void Reload();
  void Stop();
  void StopDeadline();

  WebState state;
  ChangeService service;
};

namespace {

// accept's failures that a pause may cure: descriptors or memory short.
bool IsShortOfResources(const error_code& failed) {
  namespace errc = boost::system::errc;
  return failed == errc::too_many_files_open ||
         failed == errc::too_many_files_open_in_system ||
         failed == errc::no_buffer_space || failed == errc::not_enough_memory;
}

sockaddr_storage PeerAddress(const tcp::socket& socket) {
  error_code ignored;
  tcp::endpoint endpoint = socket.remote_endpoint(ignored);
  sockaddr_storage storage = {};
  std::memcpy(&storage, endpoint.data(),
              std::min<size_t>(endpoint.size(), sizeof storage));
  return storage;
}

}  // namespace

bool WebServer::Loop::Bind(const std::string& text, tcp::acceptor* acceptor,
                           std::string* error) {
  ListenAddress address;
  if (!ParseListenAddress(text, &address)) {
    *error = "bad address " + text;
    return false;
  }
  int fd = OpenListeningSocket(address, text, error);
  if (fd < 0) return false;
  error_code failed;
  acceptor->assign(address.IsIpv6() ? tcp::v6() : tcp::v4(), fd, failed);
  if (failed) {
    ::close(fd);
    *error = "cannot listen on " + text + ": " + failed.message();
    return false;
  }
  return true;
}

bool WebServer::Loop::BindAll(std::string* error) {
  LoopState& loop = state.Loop();
  const WebSettings& settings = state.config().settings;
  for (const std::string& address : settings.listen) {
    loop.acceptors.emplace_back(loop.io);
    if (!Bind(address, &loop.acceptors.back(), error)) return false;
  }
  if (!settings.redirectListen.empty()) {
    loop.redirect.emplace(loop.io);
    if (!Bind(settings.redirectListen, &*loop.redirect, error)) return false;
  }
  return true;
}

// The caps fit the descriptors the process may open, raised to the hard
// limit first.
void WebServer::Loop::FitToDescriptors() {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  WebLimits& limits = state.ConfigForStart().settings.limits;
  std::string note = FitWebLimits(limit.rlim_cur, &limits);
  if (!note.empty()) WebNotice(note);
  state.Loop().admission =
      WebAdmission({limits.maxConnections, limits.perSource});
}

void WebServer::Loop::Accept(tcp::acceptor* acceptor, bool plain) {
  acceptor->async_accept(
      [this, acceptor, plain](error_code failed, tcp::socket socket) {
        LoopState& loop = state.Loop();
        if (failed == asio::error::operation_aborted || loop.stopping) return;
        if (IsShortOfResources(failed)) {
          // Pause rather than spin: the connections that hold the descriptors
          // end within their deadlines.
          auto pause = std::make_shared<asio::steady_timer>(
              loop.io, state.config().settings.limits.acceptPause);
          pause->async_wait([this, acceptor, plain, pause](error_code) {
            if (!state.Loop().stopping) Accept(acceptor, plain);
          });
          return;
        }
        if (!failed) Admit(std::move(socket), plain);
        Accept(acceptor, plain);
      });
}

// A balancer's connection is counted against the overall cap until its
// PROXY header names the client, then under the client's source. When the
// overall cap is full, an idle connection of the source holding the most
// may give way.
void WebServer::Loop::Admit(tcp::socket socket, bool plain) {
  LoopState& loop = state.Loop();
  const WebSettings& settings = state.config().settings;
  sockaddr_storage peer = PeerAddress(socket);
  bool proxied = !plain && !settings.proxyFrom.IsEmpty() &&
                 settings.proxyFrom.Contains(peer);
  std::string source = proxied ? "" : SourcePrefixKey(peer);
  WebAdmission::PeerId displace = nullptr;
  WebAdmission::Verdict verdict = loop.admission.Admit(source, &displace);
  if (verdict == WebAdmission::Verdict::kDisplacing) {
    loop.admission.Displaced(displace);
    const_cast<Peer*>(static_cast<const Peer*>(displace))->Displace();
  } else if (verdict != WebAdmission::Verdict::kAdmitted) {
    state.shared().metrics.refusedConnections->Increment();
    return;  // the socket closes here
  }
  if (plain) {
    StartRedirect(std::move(socket), &state, source,
                  loop.acceptors.front().local_endpoint().port());
  } else {
    StartWebSession(std::move(socket), &state, &service, source, proxied);
  }
}

void WebServer::Loop::WaitForReload() {
  state.Loop().reloadSignal.async_wait([this](error_code failed, int) {
    if (failed) return;
    Reload();
    WaitForReload();
  });
}

// New connections take the new certificate and key; those open keep what
// they began with. On any fault the files in use stay.
void WebServer::Loop::Reload() {
  const WebSettings& settings = state.config().settings;
  std::string error;
  auto loaded = LoadServerTls(settings, &error);
  if (!loaded) {
    WebNotice("kept the certificate and key in use: " + error);
    return;
  }
  state.Loop().tls = std::move(loaded);
  WebNotice("reloaded " + settings.certificate + " and " + settings.key);
}

// Accepting stops; idle connections close; every request under way is
// read, run and answered (with Connection: close) within the grace, after
// which those left get 503 with Retry-After. The loop ends when the last
// connection has closed.
void WebServer::Loop::Stop() {
  LoopState& loop = state.Loop();
  if (loop.stopping) return;
  loop.stopping = true;
  error_code ignored;
  for (tcp::acceptor& acceptor : loop.acceptors) acceptor.close(ignored);
  if (loop.redirect) loop.redirect->close(ignored);
  loop.stopSignals.cancel(ignored);
  loop.reloadSignal.cancel(ignored);
  WebNotice("stopping with " + std::to_string(loop.peers.size()) +
            " connections open");
  std::vector<Peer*> now(loop.peers.begin(), loop.peers.end());
  for (Peer* peer : now) peer->Stopping();
  loop.stopTimer.expires_after(state.config().settings.limits.stopGrace);
  loop.stopTimer.async_wait([this](error_code failed) {
    if (!failed) StopDeadline();
  });
  loop.PeerGone();
}

void WebServer::Loop::StopDeadline() {
  LoopState& loop = state.Loop();
  std::vector<Peer*> now(loop.peers.begin(), loop.peers.end());
  for (Peer* peer : now) peer->StopDeadline();
  // The answers and the closes are bounded by their own deadlines; this is
  // the last word.
  loop.stopTimer.expires_after(std::chrono::seconds(2));
  loop.stopTimer.async_wait([this](error_code failed) {
    if (!failed) state.Loop().io.stop();
  });
}

WebServer::WebServer(WebSettings settings)
    : loop_(std::make_unique<Loop>(std::move(settings))) {}

// The pool's jobs end first (each within the gateway exchange's timeout);
// the loop's destruction then destroys the connections still queued in it,
// which must touch no timer. This thread takes the loop's state on: the
// connections destroyed with the loop count themselves out here.
WebServer::~WebServer() {
  loop_->state.JoinPools();
  loop_->state.TakeOnLoop().tornDown = true;
}

bool WebServer::Start(std::string* error) {
  WebConfig& config = loop_->state.ConfigForStart();
  loop_->state.shared().audit.SetFormat(config.settings.logFormat);
  if (!config.LoadAssets(error)) return false;
  config.devices.SetDays(config.settings.deviceDays);
  if (!config.settings.deviceKey.empty() &&
      !config.devices.Load(config.settings.deviceKey, error)) {
    *error = "device key " + *error;
    return false;
  }
  loop_->state.Loop().tls = LoadServerTls(config.settings, error);
  if (!loop_->state.Loop().tls) return false;
  config.gatewayTls = TlsContext::ClientFromEnvironment(error);
  if (!error->empty()) {
    *error = "gateway TLS settings refused: " + *error;
    return false;
  }
  // Change after change goes to the same gateway: a resumed handshake
  // spares both ends the certificate's signature and its check.
  if (config.gatewayTls != nullptr) config.gatewayTls->KeepSessions();
  loop_->FitToDescriptors();
  if (!loop_->BindAll(error)) return false;
  if (!config.settings.metricsListen.empty()) {
    auto& listener = loop_->state.metricsListener;
    listener =
        std::make_unique<MetricsListener>(&loop_->state.shared().registry);
    if (!listener->Start(config.settings.metricsListen, error)) {
      *error = "metrics: " + *error;
      return false;
    }
  }
  return true;
}

void WebServer::Run() {
  Loop& s = *loop_;
  // The thread that runs the loop owns its state from here on.
  LoopState& loop = s.state.TakeOnLoop();
  for (tcp::acceptor& acceptor : loop.acceptors) s.Accept(&acceptor, false);
  if (loop.redirect) s.Accept(&*loop.redirect, true);
  loop.stopSignals.async_wait([&s](error_code failed, int) {
    if (!failed) s.Stop();
  });
  s.WaitForReload();
  loop.io.run();
  if (s.state.metricsListener) s.state.metricsListener->Stop();
}

void WebServer::AnnounceAddresses() const {
  const WebSettings& settings = loop_->state.config().settings;
  std::string text;
  for (const tcp::acceptor& acceptor : loop_->state.Loop().acceptors) {
    tcp::endpoint at = acceptor.local_endpoint();
    text += (text.empty() ? "" : ", ") + at.address().to_string() + " port " +
            std::to_string(at.port());
  }
  if (loop_->state.Loop().redirect) {
    text += ", plain HTTP on " + settings.redirectListen;
  }
  if (!settings.metricsListen.empty()) {
    text += ", metrics on " + settings.metricsListen;
  }
  WebNotice("serving HTTPS on " + text + "; gateway " + settings.gatewayHost +
            ":" + settings.gatewayService);
}

std::vector<uint16_t> WebServer::Ports() const {
  std::vector<uint16_t> ports;
  for (const tcp::acceptor& acceptor : loop_->state.Loop().acceptors) {
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
    "  -rules NAME=RULES        a destination's rules for a new password\n"
    "                           (minlength: 6; required: digit; note: ...)\n"
    "  -gateway HOST[:PORT]     the gateway; PORT a number or a service name\n"
    "  -http ADDRESS:PORT       plain HTTP that redirects to HTTPS\n"
    "  -lang TAG                the default language (en)\n"
    "  -assets FOLDER           page, catalogues and static files\n"
    "  -proxy-header on|off     a PROXY header to the gateway (on)\n"
    "  -proxy-from LIST         balancers whose connections bring one\n"
    "  -timeout SECONDS         the whole gateway exchange (30)\n"
    "  -max-connections N, -per-source N   connection caps (256, 32)\n"
    "  -device-key FILE         the key of the owner-device cookies\n"
    "  -device-days N           how long such a cookie is good (90)\n"
    "  -metrics ADDRESS:PORT    Prometheus metrics on a listener of their own\n"
    "  -log-format text|json    the audit and event lines (text)\n"
    "  -check                   check what a start needs, probe each\n"
    "                           destination at the gateway, and exit\n"
    "\n"
    "/healthz answers while the process lives, /readyz while the gateway\n"
    "answers (503 otherwise), on the HTTPS and the -http port.\n"
    "Options may also come from TARPON_WEB_OPTIONS; the gateway's TLS from\n"
    "TARPON_TLS_CA, TARPON_TLS_CERT, TARPON_TLS_KEY; see tarpon-web(8).\n";

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
  SetWebLogFormat(settings.logFormat);
  WebServer server(std::move(settings));
  if (!server.Start(&error)) {
    WebNotice(error);
    return 1;
  }
  for (uint16_t port : server.Ports()) {
    WebNotice("listening on port " + std::to_string(port));
  }
  server.AnnounceAddresses();
  server.Run();
  WebNotice("stopped");
  return 0;
}
