// tarpon-web's settings from its command line, after those of
// TARPON_WEB_OPTIONS (words separated by blanks), so the command line wins
// for single values and adds to -listen.
#ifndef TARPON_WEB_WEB_SETTINGS_H_
#define TARPON_WEB_WEB_SETTINGS_H_

#include <string>
#include <utility>
#include <vector>

struct WebSettings {
  std::vector<std::string> listen;  // "ADDRESS:PORT", "[IPv6]:PORT"
  std::string certificate;
  std::string key;
  std::string gatewayHost = "localhost";
  std::string gatewayService;  // the gateway's default service when empty
  // (name, label); the first is the default.
  std::vector<std::pair<std::string, std::string>> destinations;
  std::string redirectListen;  // -http, "" for none
  std::string language = "en";
  std::string assets;        // templates, static files, i18n/
  bool proxyHeader = true;   // a PROXY v2 header before each request
  int timeoutSeconds = 30;   // the whole gateway exchange
  int maxConnections = 256;  // HTTPS connections at once
};

// Reads args (without the program's name) into *settings. False with a
// one-line reason for an unknown option, a missing or bad value, or a
// setting missing (-listen, -cert, -key, -destinations).
bool ParseWebArguments(const std::vector<std::string>& args,
                       WebSettings* settings, std::string* error);

// The words of TARPON_WEB_OPTIONS, then argv[1..].
std::vector<std::string> WebArguments(const char* environment, int argc,
                                      char** argv);

#endif  // TARPON_WEB_WEB_SETTINGS_H_
