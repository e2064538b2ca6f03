// The TCP/IP gateway: listens on a named service, receives the requests of
// many clients at once and, for one whole request at a time, runs the
// password-change engine in-process on the options the client sent,
// capturing what the engine writes, and replies with the engine's return
// code and that text.
#ifndef TARPON_GATEWAY_GATEWAY_SERVER_H_
#define TARPON_GATEWAY_GATEWAY_SERVER_H_

#include "comm/gateway_protocol.h"
#include "gateway/account_guard.h"
#include "gateway/server_check.h"
// An idle client is dropped after this many seconds unless the environment
// variable TARPON_SESSION_TIMEOUT names another number of seconds, from 1
// to GATEWAY_MAX_TIMEOUT (comm/gateway_protocol.h).
constexpr int GATEWAY_DEFAULT_SESSION_TIMEOUT = 30;

// The process exit codes.
constexpr int GATEWAY_EXIT_OK = 0;
constexpr int GATEWAY_EXIT_CHECK_FAILED = 1;  // -check: a check failed
constexpr int GATEWAY_EXIT_NO_SERVICE = 2;    // E0003
constexpr int GATEWAY_EXIT_ABNORMAL = 3;      // an accept failed for good
constexpr int GATEWAY_EXIT_BAD_OPTION = 4;    // "-?", E0004, E0009
constexpr int GATEWAY_EXIT_NOT_STARTED = 5;   // E0005
constexpr int GATEWAY_EXIT_LOG_FAILED = 6;    // E0001
constexpr int GATEWAY_EXIT_BAD_SETTING = 7;   // E0007
constexpr int GATEWAY_EXIT_BAD_TLS = 8;       // E0010
// A stop ended conversations that a host did not answer in time.
constexpr int GATEWAY_EXIT_ABANDONED = 9;

// The program: options, start-up, the event loop until SIGTERM or SIGINT
// (or an accept that fails for good), shut-down. Returns the process exit code,
// one of GATEWAY_EXIT_*. With -check it checks what a start needs instead
// (gateway/server_check.h), the SNA node's configuration through loadNode
// when the program has one, and returns GATEWAY_EXIT_OK or
// GATEWAY_EXIT_CHECK_FAILED.
// resolveHost: the host a conversation reaches, as the node resolves it
// (null: the partner LU as the request names it).
int GatewayServerMain(int argc, char** argv, NodeLoader loadNode = nullptr,
                      HostResolver resolveHost = nullptr);

#endif  // TARPON_GATEWAY_GATEWAY_SERVER_H_
