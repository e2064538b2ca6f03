// The host's rule for a user ID and a password: at most eight characters,
// each a letter, a digit or one of the national characters @ # $. The
// engine's fields and request, the password prompt and the web front end
// all hold to it from here.
#ifndef TARPON_CONTRACT_HOST_FIELD_H_
#define TARPON_CONTRACT_HOST_FIELD_H_

#include <cstddef>

constexpr size_t kHostFieldLength = 8;

inline bool IsHostCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '@' || c == '#' || c == '$';
}

#endif  // TARPON_CONTRACT_HOST_FIELD_H_
