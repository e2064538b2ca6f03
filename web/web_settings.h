// tarpon-web's settings from its command line, after those of
// TARPON_WEB_OPTIONS (words separated by blanks; a word in single or double
// quotes may hold blanks), so the command line wins for single values and
// adds to -listen.
#ifndef TARPON_WEB_WEB_SETTINGS_H_
#define TARPON_WEB_WEB_SETTINGS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "comm/net_block.h"
#include "logs/json_log.h"
#include "web/password_rules.h"

// What tarpon-web allows a client, in one place. A connection costs one
// descriptor and a change in flight one more (to the gateway); the caps
// are fitted to the descriptor limit at start.
struct WebLimits {
  // Connections at once, HTTPS and redirect together, and of those from one
  // source (an IPv4 address, or an IPv6 /64): a browser opens about six, a
  // few people behind one address a few dozen, while one address alone
  // cannot hold the service. More are closed as soon as they are accepted.
  int maxConnections = 256;
  int perSource = 32;
  std::chrono::seconds handshake{10};  // the TLS handshake (and PROXY header)
  std::chrono::seconds request{20};    // a request, from its first byte
  std::chrono::seconds idle{5};        // between requests on a connection
  // After SIGTERM: the longest an exchange under way may take to be
  // answered; those left then get 503 with Retry-After.
  std::chrono::seconds stopGrace{10};
  // After a 413 or 431: the longest the rest of the request is read and
  // dropped, so that the client reads the answer before the close.
  std::chrono::seconds linger{5};
  // When accept fails for want of descriptors: the pause before the next.
  std::chrono::milliseconds acceptPause{100};
  uint32_t headBytes = 8192;
  size_t headFields = 64;
  size_t bodyBytes = 4096;
  int exchangeThreads = 16;
  int retryAfterSeconds = 30;
};

// Fits maxConnections and perSource to a descriptor limit: a connection
// may hold two descriptors while its change is in flight, and a few are
// kept for the listeners, the log and the metrics. A one-line note when a
// cap was lowered, else "".
std::string FitWebLimits(uint64_t descriptors, WebLimits* limits);

struct WebSettings {
  std::vector<std::string> listen;  // "ADDRESS:PORT", "[IPv6]:PORT"
  std::string certificate;
  std::string key;
  std::string gatewayHost = "localhost";
  std::string gatewayService;  // the gateway's default service when empty
  // (name, label); the first is the default.
  std::vector<std::pair<std::string, std::string>> destinations;
  // -rules: a destination's rules for a new password; one without any
  // takes the host's field rule.
  std::map<std::string, PasswordRules> rules;
  std::string redirectListen;  // -http, "" for none
  std::string language = "en";
  std::string assets;       // templates, static files, i18n/
  bool proxyHeader = true;  // a PROXY v2 header before each request
  int timeoutSeconds = 30;  // the whole gateway exchange
  // -device-key: the owner-device cookies' key file ("": a key of the
  // process's own); -device-days: how long a cookie is good.
  std::string deviceKey;
  int deviceDays = 90;
  WebLimits limits;
  // Peers whose connections begin with a PROXY header (a balancer): the
  // header's client is the one counted, logged and named to the gateway.
  NetBlockList proxyFrom;
  std::string metricsListen;  // -metrics, "" for none
  bool check = false;         // -check: check the settings, then exit
  // -rules-note NAME:LANG=TEXT: a destination's note in one language, in
  // place of the -rules note on pages in that language.
  std::map<std::string, std::map<std::string, std::string>> ruleNotes;
  // What the page tells people beside its own texts: where to sign on
  // after a change (-sign-on-url), whom to ask (-help-desk, its link
  // -help-desk-url), and whose page it is (-organisation, -logo: an SVG or
  // PNG file served as /static/logo). "" for none.
  std::string signOnUrl;
  std::string helpDesk;
  std::string helpDeskUrl;
  std::string organisation;
  std::string logo;
  // -log-format: the audit and the other lines as text or JSON.
  LogFormat logFormat = LogFormat::kText;

  const PasswordRules& RulesFor(const std::string& destination) const;
};

// Reads args (without the program's name) into *settings; every option
// but -check takes a value. False with a one-line reason for an unknown
// option, a missing or bad value, a setting missing (-listen, -cert, -key,
// -destinations), or rules beyond the host's field rule or for a
// destination not offered.
bool ParseWebArguments(const std::vector<std::string>& args,
                       WebSettings* settings, std::string* error);

// The words of TARPON_WEB_OPTIONS, then argv[1..].
std::vector<std::string> WebArguments(const char* environment, int argc,
                                      char** argv);

#endif  // TARPON_WEB_WEB_SETTINGS_H_
