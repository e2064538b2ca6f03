// tarpon-web's HTTPS server: the change page, the JSON API, the OpenAPI
// document and /healthz, optionally a plain HTTP port that only redirects,
// and the metrics on a listener of their own (-metrics). Each change goes
// to the gateway through ExchangeWithGateway
// (gateway_client/gateway_exchange.h).
//
// Threads: one runs the event loop (accepting, TLS, HTTP); the gateway
// exchanges, which block, run in a pool of their own and post their
// answers back, so the loop never waits for a gateway. Nothing is kept
// between requests.
//
// Limits: WebLimits (web_settings.h), in one place: connections overall
// and per source, the deadlines, the sizes of a request; the admission
// (web_admission.h) applies the caps.
//
// The rooms: http_rules (what needs no connection), web_admission (the
// caps), web_session (an HTTPS connection and its routes), change_service
// (the change, without HTTP), redirect_listener (the plain port),
// web_check (-check), web_state (what is shared, and by whom); this file
// is the loop: accepting, admitting, reloading, stopping.
//
// Signals: SIGTERM or SIGINT stops accepting, closes idle connections and
// answers every request under way before Run returns (those whose change
// is still with the gateway after the stop's grace get 503 with
// Retry-After); SIGHUP reloads the certificate and key for new
// connections, keeping those in use when the new ones fail.
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
  // fits the caps to the descriptor limit, binds every address and starts
  // the metrics listener. False with a one-line reason.
  bool Start(std::string* error);
  // Serves until SIGTERM or SIGINT, then until every connection has had
  // its answer and closed. The calling thread becomes the loop's; Start
  // and Ports belong to the thread that constructed the server (checking
  // builds abort when another touches the loop's state).
  void Run();
  // The HTTPS ports bound, in the order of -listen.
  std::vector<uint16_t> Ports() const;
  // After Start: one line naming every address served and the gateway.
  void AnnounceAddresses() const;

  struct Loop;

 private:
  std::unique_ptr<Loop> loop_;
};

// The program: settings from TARPON_WEB_OPTIONS and argv, then Start and
// Run. Exit status 0 after a stop, 2 for bad settings, 1 when it cannot
// start.
int WebMain(int argc, char** argv);

#endif  // TARPON_WEB_WEB_SERVER_H_
