// tarpon-web's HTTPS server: the change page, the JSON API, the OpenAPI
// document, /healthz and /metrics, and optionally a plain HTTP port that
// only redirects. Each change goes to the gateway through
// ExchangeWithGateway (gateway_client/gateway_exchange.h).
//
// Threads: one runs the event loop (accepting, TLS, HTTP); the gateway
// exchanges, which block, run in a pool of their own and post their
// answers back, so the loop never waits for a gateway. Nothing is kept
// between requests.
//
// Limits: a request's head at most 8 KiB and 64 fields, its body 4 KiB
// (413 beyond); at most maxConnections HTTPS connections (more are closed
// at once); the TLS handshake within 10 seconds and each request within 20
// seconds of the connection's last answer, whatever trickles in.
#ifndef TARPON_WEB_WEB_SERVER_H_
#define TARPON_WEB_WEB_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "web/web_settings.h"

class WebServer {
 public:
  explicit WebServer(WebSettings settings);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Reads the assets, the certificate and key (a key its group or others
  // may read is refused), the gateway's TLS settings (TARPON_TLS_CA...),
  // and binds every address. False with a one-line reason.
  bool Start(std::string* error);
  // Serves until SIGTERM or SIGINT.
  void Run();
  // The HTTPS ports bound, in the order of -listen.
  std::vector<uint16_t> Ports() const;

  // What the sessions share; defined in web_server.cc.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The program: settings from TARPON_WEB_OPTIONS and argv, then Start and
// Run. Exit status 0 after a stop, 2 for bad settings, 1 when it cannot
// start.
int WebMain(int argc, char** argv);

#endif  // TARPON_WEB_WEB_SERVER_H_
