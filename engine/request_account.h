// The account a request's options name, read with the engine's own argument
// scanner, so that the gateway counts what the engine will send to the host.
#ifndef TARPON_ENGINE_REQUEST_ACCOUNT_H_
#define TARPON_ENGINE_REQUEST_ACCOUNT_H_

#include <string>

struct RequestAccount {
  std::string user;         // "-u", upper-cased as the host compares it
  std::string destination;  // "-s", else "-sd", else "-plu", upper-cased
};

// Fills *account from commandLine (the text run_command_line takes). False
// when the request names no user or no destination, or a value the engine
// would refuse: such a request never reaches a host.
bool read_request_account(const char* commandLine, RequestAccount* account);

// The same, and the new password ("-np") as the engine takes it, in
// *newPassword; false, *newPassword empty, when there is none. The caller
// wipes *newPassword (contract/secret.h) once done with it.
bool read_request_new_password(const char* commandLine, RequestAccount* account,
                               std::string* newPassword);

#endif  // TARPON_ENGINE_REQUEST_ACCOUNT_H_
