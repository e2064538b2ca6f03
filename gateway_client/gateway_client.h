// The remote client program's routines.
#ifndef TARPON_GATEWAY_CLIENT_GATEWAY_CLIENT_H_
#define TARPON_GATEWAY_CLIENT_GATEWAY_CLIENT_H_

#include "comm/gateway_protocol.h"
#include "gateway_client/tarpon_gateway.h"

// The client's option buffer holds 200 bytes; the gateway takes at most
// GATEWAY_MAX_REQUEST_LENGTH of them (comm/gateway_protocol.h).
constexpr int GATEWAY_CLIENT_OPTIONS_SIZE = 200;
constexpr int GATEWAY_CLIENT_REPLY_SIZE = 8192;

// The whole exchange's deadline unless TARPON_CLIENT_TIMEOUT names another
// number of seconds, from 1 to GATEWAY_MAX_TIMEOUT.
constexpr int GATEWAY_CLIENT_DEFAULT_TIMEOUT = 60;

// The remote client's own return codes; the gateway's codes come on top.
constexpr int GATEWAY_CLIENT_RC_OK = 0;
// No host, options too long, a required argument missing, an invalid
// TARPON_CLIENT_TIMEOUT.
constexpr int GATEWAY_CLIENT_RC_USAGE = 1;
constexpr int GATEWAY_CLIENT_RC_NO_SERVICE = 2;
constexpr int GATEWAY_CLIENT_RC_HELP = 4;

// Parses the command line {-H} host {-S service} {-t} {-?} {options},
// prints help or errors, and makes the exchange. Returns the exit status:
// 1 (no host, options too long, invalid TARPON_CLIENT_TIMEOUT), 2 (service
// switch without a value), 4 (help shown), TARPON_GATEWAY_NO_ANSWER, or the
// gateway's return code mapped as tarpon maps the engine's
// (engine/tarpon.h: tarpon_exit_status, a header-only mapping).
int GatewayClientCommandline(int argc, char** argv);

// Sends options as one record to the gateway and prints its reply, or what
// went wrong. Returns the gateway's return code, TARPON_GATEWAY_NO_ANSWER,
// or 1 for an invalid TARPON_CLIENT_TIMEOUT (nothing is sent then).
int GatewayClient(const char* host, const char* service, const char* options);

#endif  // TARPON_GATEWAY_CLIENT_GATEWAY_CLIENT_H_
