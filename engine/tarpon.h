// The engine's programmatic interface. Not re-entrant: requests must not
// overlap (the engine redirects the process-wide standard output and may
// switch the process-wide trace).
#ifndef TARPON_ENGINE_TARPON_H_
#define TARPON_ENGINE_TARPON_H_

#include "contract/api_result.h"
#include "contract/tarpon_rc.h"

// Runs "-u user -p oldPassword -np newPassword [-s server] [options]" and
// returns the engine return code (0 = password changed). user, oldPassword
// and newPassword are required; server and options may be null. "-s server"
// is left out when options contain "-local".
int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, const char* options);

// The same, capturing standard output into result->text (at most
// textSize - 1 characters, always terminated) and storing the code in
// result->returnCode.
int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, ApiResult* result, const char* options);

// Splits commandLine at white space into an argument vector and runs it.
int run_command_line(const char* commandLine);

// The engine's main routine; argv[0] is not interpreted, argv is not changed.
int mainline(int argc, char** argv);

#endif  // TARPON_ENGINE_TARPON_H_
