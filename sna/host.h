// The host password service: answers one request from a user database.
#ifndef TARPON_SNA_HOST_H_
#define TARPON_SNA_HOST_H_

#include <cstddef>
#include <string>

#include "sna/node_config.h"

namespace sna {

// Decides the EBCDIC request of "length" bytes at "request" against the
// user database of "host", keeps any change in that database, and returns
// the reply bytes. A database that cannot be read, parsed or rewritten is
// answered with status X'07' after one line on standard error.
std::string AnswerPasswordRequest(const HostConfig& host,
                                  const unsigned char* request, size_t length);

// The characters a new password may hold: A-Z, 0-9, @, # and $, and a-z
// with "mixed_case".
bool AcceptablePasswordText(const std::string& password, bool mixed_case);

}  // namespace sna

#endif  // TARPON_SNA_HOST_H_
