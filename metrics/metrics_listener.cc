#include "metrics/metrics_listener.h"

#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <exception>
#include <thread>
#include <utility>

#include "comm/signal_block.h"
#include "metrics/metrics_registry.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

const char kMetricsPath[] = "/metrics";
const char kMetricsType[] = "text/plain; version=0.0.4";

// One connection: reads one request within the deadline, answers it and
// closes. It lives as long as an operation of its own is pending.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(tcp::socket socket, const MetricsRegistry* registry,
                 const MetricsListenerLimits& limits,
                 const ReadinessProbe* probe, int* open)
      : stream_(std::move(socket)),
        readyTimer_(stream_.get_executor()),
        readyDeadline_(limits.readyDeadline),
        registry_(registry),
        probe_(probe),
        open_(open) {
    ++*open_;
    stream_.expires_after(limits.deadline);
    parser_.header_limit(static_cast<uint32_t>(limits.maxRequestBytes));
    parser_.body_limit(limits.maxRequestBytes);
  }
  ~HttpConnection() { --*open_; }
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  void Read() {
    http::async_read(
        stream_, buffer_, parser_,
        beast::bind_front_handler(&HttpConnection::OnRead, shared_from_this()));
  }

 private:
  void OnRead(beast::error_code error, size_t) {
    if (error == beast::error::timeout || error == http::error::end_of_stream ||
        error == asio::error::operation_aborted) {
      return;  // nothing whole to answer
    }
    if (error == http::error::header_limit) {
      Answer(http::status::request_header_fields_too_large, "");
    } else if (error == http::error::body_limit) {
      Answer(http::status::payload_too_large, "");
    } else if (error) {
      Answer(http::status::bad_request, "");
    } else {
      AnswerRequest(parser_.get());
    }
  }

  void AnswerRequest(const http::request<http::string_body>& request) {
    const beast::string_view target = request.target();
    const bool probed = probe_ != nullptr && *probe_;
    if (target != kMetricsPath && target != "/healthz" &&
        (target != "/readyz" || !probed)) {
      Answer(http::status::not_found, "");
    } else if (request.method() != http::verb::get) {
      Answer(http::status::method_not_allowed, "");
    } else if (target == "/healthz") {
      Answer(http::status::ok, "ok\n", false);
    } else if (target == "/readyz") {
      AskReadiness();
    } else {
      Answer(http::status::ok, registry_->Render());
    }
  }

  // The probe's verdict, or 503 once the deadline passes, whichever is
  // first; the answer comes back to this connection's thread.
  void AskReadiness() {
    readyTimer_.expires_after(readyDeadline_);
    readyTimer_.async_wait([self = shared_from_this()](beast::error_code e) {
      if (!e) self->Ready(false, "no answer in time");
    });
    auto executor = stream_.get_executor();
    (*probe_)([self = shared_from_this(), executor](bool ready,
                                                    const std::string& why) {
      asio::post(executor, [self, ready, why] { self->Ready(ready, why); });
    });
  }

  void Ready(bool ready, const std::string& why) {
    if (answered_) return;
    answered_ = true;
    readyTimer_.cancel();
    if (ready) return Answer(http::status::ok, "ready\n", false);
    Answer(http::status::service_unavailable, "not ready: " + why + "\n",
           false);
  }

  // metrics: the body is the registry's text; else it is a plain text of
  // its own (or, when empty, the status's reason).
  void Answer(http::status status, std::string body, bool metrics = true) {
    response_.result(status);
    response_.version(11);
    response_.keep_alive(false);
    if (!metrics) {
      response_.set(http::field::content_type, "text/plain");
    } else if (status == http::status::ok) {
      response_.set(http::field::content_type, kMetricsType);
    } else {
      response_.set(http::field::content_type, "text/plain");
      body = std::string(response_.reason()) + "\n";
    }
    if (status == http::status::method_not_allowed) {
      response_.set(http::field::allow, "GET");
    }
    response_.body() = std::move(body);
    response_.prepare_payload();
    http::async_write(stream_, response_,
                      beast::bind_front_handler(&HttpConnection::OnWritten,
                                                shared_from_this()));
  }

  void OnWritten(beast::error_code error, size_t) {
    if (error) return;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    Drain(error, 0);
  }

  // Reads what the client still sends until it closes or the deadline
  // passes: closing with unread bytes would reset the connection, and the
  // client could lose the answer (a refused oversized request) with it.
  void Drain(beast::error_code error, size_t) {
    if (error) return;
    stream_.async_read_some(
        asio::buffer(drain_),
        beast::bind_front_handler(&HttpConnection::Drain, shared_from_this()));
  }

  beast::tcp_stream stream_;
  asio::steady_timer readyTimer_;
  std::chrono::milliseconds readyDeadline_;
  bool answered_ = false;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
  http::response<http::string_body> response_;
  char drain_[512];
  const MetricsRegistry* registry_;
  const ReadinessProbe* probe_;
  int* open_;
};

}  // namespace

// What runs between Start and Stop. Members are destroyed in reverse
// order: the connections (owned by the pending handlers of io) go with io,
// while open, which they count down, is still there.
struct MetricsListener::Running {
  Running(const MetricsRegistry* rendered, MetricsListenerLimits bounds,
          const ReadinessProbe* readiness)
      : registry(rendered),
        limits(bounds),
        probe(readiness),
        acceptor(io),
        retry(io) {}

  void Accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
      OnAccept(error, std::move(socket));
    });
  }

  void OnAccept(beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (error) {
      // A shortage of descriptors or memory passes; try again shortly
      // rather than at once and forever.
      retry.expires_after(std::chrono::milliseconds(100));
      retry.async_wait([this](beast::error_code waited) {
        if (!waited) Accept();
      });
      return;
    }
    if (open < limits.maxConnections) {
      std::make_shared<HttpConnection>(std::move(socket), registry, limits,
                                       probe, &open)
          ->Read();
    }  // else the socket closes as it goes
    Accept();
  }

  const MetricsRegistry* registry;
  MetricsListenerLimits limits;
  const ReadinessProbe* probe;
  int open = 0;
  asio::io_context io{1};
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  uint16_t port = 0;
  std::thread thread;
};

MetricsListener::MetricsListener(const MetricsRegistry* registry,
                                 MetricsListenerLimits limits)
    : registry_(registry), limits_(limits) {}

MetricsListener::~MetricsListener() { Stop(); }

namespace {

// The listening socket, in the acceptor; the reason in *error when a step
// fails.
bool Listen(const ListenAddress& address, const std::string& text,
            tcp::acceptor* acceptor, std::string* error) {
  int fd = OpenListeningSocket(address, text, error);
  if (fd < 0) return false;
  beast::error_code failure;
  acceptor->assign(address.IsIpv6() ? tcp::v6() : tcp::v4(), fd, failure);
  if (failure) {
    close(fd);
    *error = "cannot listen on " + text + ": " + failure.message();
  }
  return !failure;
}

}  // namespace

bool MetricsListener::Start(const std::string& address, std::string* error) {
  ListenAddress parsed;
  if (running_) {
    *error = "the metrics listener runs already";
    return false;
  }
  if (!ParseListenAddress(address, &parsed)) {
    *error = "bad address " + address +
             " (IPv4:PORT or [IPv6]:PORT, such as 127.0.0.1:9101)";
    return false;
  }
  auto running = std::make_unique<Running>(registry_, limits_, &probe_);
  if (!Listen(parsed, address, &running->acceptor, error)) return false;
  running->port = running->acceptor.local_endpoint().port();
  running->Accept();
  Running* r = running.get();
  SignalBlock all;
  running->thread = std::thread([r] {
    // Boost reports a failure such as memory running out by throwing, out
    // of the handler of one connection: that connection is gone, and the
    // loop goes on serving the others until Stop.
    for (;;) {
      try {
        r->io.run();
        return;
      } catch (const std::exception&) {
      }
    }
  });
  running_ = std::move(running);
  return true;
}

void MetricsListener::Stop() {
  if (!running_) return;
  running_->io.stop();
  running_->thread.join();
  running_.reset();
}

uint16_t MetricsListener::port() const { return running_ ? running_->port : 0; }
