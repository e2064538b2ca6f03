// The remote client program's routines.
#ifndef TARPON_GATEWAY_CLIENT_GATEWAY_CLIENT_H_
#define TARPON_GATEWAY_CLIENT_GATEWAY_CLIENT_H_

// The client's option buffer holds 200 bytes; the gateway takes at most
// GATEWAY_MAX_REQUEST_LENGTH of them (comm/gateway_protocol.h).
constexpr int GATEWAY_CLIENT_OPTIONS_SIZE = 200;
constexpr int GATEWAY_CLIENT_REPLY_SIZE = 8192;

// Parses the command line {-H} host {-S service} {-t} {-?} {options},
// prints help or errors, and makes the exchange. Returns the exit code:
// 0 (exchange made), 1 (no host, or options too long), 2 (service switch
// without a value), 4 (help shown).
int GatewayClientCommandline(int argc, char** argv);

// Sends options as one record to the gateway and prints its reply, or the
// connection's diagnostic dump. Returns 0.
int GatewayClient(const char* host, const char* service, const char* options);

#endif  // TARPON_GATEWAY_CLIENT_GATEWAY_CLIENT_H_
