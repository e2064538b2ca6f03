// What the gateway (tarpons) and the remote client (tarponrc) both know: the
// default service name, the longest option text the gateway runs, and how a
// command-line switch is recognised.
#ifndef TARPON_COMM_GATEWAY_PROTOCOL_H_
#define TARPON_COMM_GATEWAY_PROTOCOL_H_

#include <cstdlib>
#include <cstring>

// The services database name both programs use unless -S names another.
constexpr char GATEWAY_DEFAULT_SERVICE[] = "tarponGateway";

// The port of that service when neither TARPON_SERVICES nor the services
// database names it, so that a fresh installation listens and connects
// without an edit of /etc/services; an entry in either one moves it.
constexpr unsigned short GATEWAY_DEFAULT_PORT = 5000;

// The longest option text the gateway runs. With " -log -noterm" and the
// terminator it fills the gateway's 100-byte request buffer; the client
// refuses longer options before it connects.
constexpr int GATEWAY_MAX_REQUEST_LENGTH = 86;

// The return code of a gateway's answer to a connection that began with a
// PROXY header from an address its -proxy-from does not list: the sender
// and the gateway disagree on the header, and nothing was run.
constexpr int GATEWAY_RC_PROXY_REFUSED = 1090;

// The return codes of a probe (a trusted PROXY header with its probe TLV,
// comm/proxy_header.h): the options were processed as for a change, no
// conversation was held, and the SNA node knows the destination (KNOWN,
// the text names the host it reaches) or has none by that name (UNKNOWN);
// REFUSED: the engine refused the options, its text says why.
constexpr int GATEWAY_RC_PROBE_KNOWN = 1091;
constexpr int GATEWAY_RC_PROBE_UNKNOWN = 1092;
constexpr int GATEWAY_RC_PROBE_REFUSED = 1093;

// A switch begins with "-" or "/".
inline bool BeginsLikeSwitch(const char* arg) {
  return arg[0] == '-' || arg[0] == '/';
}

// True when arg is the switch "-name" or "/name", written exactly.
inline bool IsSwitch(const char* arg, const char* name) {
  return BeginsLikeSwitch(arg) && std::strcmp(arg + 1, name) == 0;
}

// The longest deadline either end takes from its environment, in seconds.
constexpr int GATEWAY_MAX_TIMEOUT = 86400;

// A deadline in seconds as the environment gives it: digits only (no sign,
// no blanks), from 1 to GATEWAY_MAX_TIMEOUT. 0 for any other text.
inline int ParseTimeoutSeconds(const char* text) {
  size_t length = std::strlen(text);
  if (length == 0 || length > 5 || std::strspn(text, "0123456789") != length) {
    return 0;
  }
  long value = std::strtol(text, nullptr, 10);
  return value >= 1 && value <= GATEWAY_MAX_TIMEOUT ? static_cast<int>(value)
                                                    : 0;
}

#endif  // TARPON_COMM_GATEWAY_PROTOCOL_H_
