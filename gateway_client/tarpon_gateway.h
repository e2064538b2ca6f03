// The gateway client's programmatic interface: changes a host password
// through a tarpons gateway over TCP/IP. Not re-entrant (the capturing form
// redirects the process-wide standard output).
#ifndef TARPON_GATEWAY_CLIENT_TARPON_GATEWAY_H_
#define TARPON_GATEWAY_CLIENT_TARPON_GATEWAY_H_

#include "contract/api_result.h"

// Returned when the gateway gave no usable answer: it could not be reached,
// closed without a reply, sent a malformed or oversized reply, or did not
// answer within the deadline. No engine code has this value; tarponrc exits
// with it.
constexpr int TARPON_GATEWAY_NO_ANSWER = 100;

// Sends " -u user -p oldPassword -np newPassword [-s server] [options]" to
// the gateway at host (service: a services database name, null for
// "tarponGateway") and prints the gateway's answer on standard output.
// "-s server" is left out when options contain "-local"; server and
// options may be null. A non-zero trace switches the function trace on.
// The exchange ends within the seconds that TARPON_CLIENT_TIMEOUT names
// (default 60).
// Returns the gateway's return code (the engine's code at the gateway, 0
// when the password was changed) when it answered, else
// TARPON_GATEWAY_NO_ANSWER; 1 when a required argument is null, the option
// text is longer than the gateway accepts (86 characters) or
// TARPON_CLIENT_TIMEOUT is not valid, with a message on standard error and
// no connection.
int tarponGateway(const char* user, const char* oldPassword,
                  const char* newPassword, const char* server, const char* host,
                  const char* options, const char* service, int trace);

// The same, capturing standard output into result->text (at most
// textSize - 1 characters, always terminated; nothing when text is null)
// and storing the return code in result->returnCode.
int tarponGateway(const char* user, const char* oldPassword,
                  const char* newPassword, const char* server,
                  ApiResult* result, const char* host, const char* options,
                  const char* service, int trace);

#endif  // TARPON_GATEWAY_CLIENT_TARPON_GATEWAY_H_
