// What the gateway (tarpons) and the remote client (tarponrc) both know: the
// default service name, the longest option text the gateway runs, and how a
// command-line switch is recognised.
#ifndef TARPON_COMM_GATEWAY_PROTOCOL_H_
#define TARPON_COMM_GATEWAY_PROTOCOL_H_

#include <cstring>

// The services database name both programs use unless -S names another.
constexpr char GATEWAY_DEFAULT_SERVICE[] = "tarponGateway";

// The longest option text the gateway runs. With " -log -noterm" and the
// terminator it fills the gateway's 100-byte request buffer; the client
// refuses longer options before it connects.
constexpr int GATEWAY_MAX_REQUEST_LENGTH = 86;

// A switch begins with "-" or "/".
inline bool BeginsLikeSwitch(const char* arg) {
  return arg[0] == '-' || arg[0] == '/';
}

// True when arg is the switch "-name" or "/name", written exactly.
inline bool IsSwitch(const char* arg, const char* name) {
  return BeginsLikeSwitch(arg) && std::strcmp(arg + 1, name) == 0;
}

#endif  // TARPON_COMM_GATEWAY_PROTOCOL_H_
