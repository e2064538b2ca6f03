// The TCP/IP gateway: listens on a named service and, for one client at a
// time, runs the password-change engine in-process on the options the
// client sent, capturing what the engine writes, and replies with the
// engine's return code and that text.
#ifndef TARPON_GATEWAY_GATEWAY_SERVER_H_
#define TARPON_GATEWAY_GATEWAY_SERVER_H_

#include <string>

#include "comm/gateway_protocol.h"

struct ExportClient;

// The request buffer; GATEWAY_MAX_REQUEST_LENGTH (comm/gateway_protocol.h)
// bounds what is received into it.
constexpr int GATEWAY_REQUEST_BUFFER_SIZE = 100;
// An idle client is dropped after this many seconds unless the environment
// variable TARPON_SESSION_TIMEOUT names another positive number.
constexpr int GATEWAY_DEFAULT_SESSION_TIMEOUT = 30;

// The program: options, start-up, the session loop until an accept fails,
// shut-down. Returns the process exit code (0, 2, 4, 5 or 6).
int GatewayServerMain(int argc, char** argv);

// Serves one accepted connection: receives one request, runs the engine,
// sends the reply, logs the session, closes the connection.
void ServeSession(const ExportClient& client, int timeoutSeconds);

// The local time as asctime writes it, without its line end, and " : ".
std::string GatewayTimeStamp();

#endif  // TARPON_GATEWAY_GATEWAY_SERVER_H_
