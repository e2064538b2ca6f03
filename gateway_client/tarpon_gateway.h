// The gateway client's programmatic interface: changes a host password
// through a tarpons gateway over TCP/IP. Not re-entrant (the capturing form
// redirects the process-wide standard output).
#ifndef TARPON_GATEWAY_CLIENT_TARPON_GATEWAY_H_
#define TARPON_GATEWAY_CLIENT_TARPON_GATEWAY_H_

#include "engine/api_result.h"

// Sends " -u user -p oldPassword -np newPassword [-s server] [options]" to
// the gateway at host (service: a services database name, null for
// "tarponGateway") and prints the gateway's answer on standard output.
// "-s server" is left out when options contain "-local"; server and
// options may be null. A non-zero trace switches the function trace on.
// Returns 0 once the exchange was attempted, 1 when a required argument is
// null or the option text is longer than the gateway accepts (86
// characters), with a message on standard error and no connection.
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
