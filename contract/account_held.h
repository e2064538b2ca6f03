// The one line that answers a change the gateway holds back for its
// account (TARPON_RC_ACCOUNT_HELD): the same text reaches the client, the
// gateway's log and, read back by AccountHeldSeconds, a web front end's
// Retry-After.
#ifndef TARPON_CONTRACT_ACCOUNT_HELD_H_
#define TARPON_CONTRACT_ACCOUNT_HELD_H_

#include <cstdlib>
#include <string>

inline constexpr char kAccountHeldPrefix[] = "TARPON SERVER E0030 : user ";

// "TARPON SERVER E0030 : user ALICE at HOSTA: changes held back for 60
// seconds after failed sign-ons; try again then with the right current
// password, or ask the help desk to check the account"
inline std::string AccountHeldText(const std::string& user,
                                   const std::string& destination,
                                   int seconds) {
  return std::string(kAccountHeldPrefix) + user + " at " + destination +
         ": changes held back for " + std::to_string(seconds) +
         " seconds after failed sign-ons; try again then with the right "
         "current password, or ask the help desk to check the account";
}

// A client address under a penalty, answered through a trusted front end:
// "TARPON SERVER E0030 : address 198.51.100.7: changes held back for 30
// seconds after failed sign-ons from it; try again then with the right
// current password"
inline std::string SourceHeldText(const std::string& address, int seconds) {
  return "TARPON SERVER E0030 : address " + address +
         ": changes held back for " + std::to_string(seconds) +
         " seconds after failed sign-ons from it; try again then with the "
         "right current password";
}

// A hold that no time ends: "TARPON SERVER E0030 : user ALICE at HOSTA:
// changes held back after failed sign-ons until the help desk releases the
// user ID; change the password at the host's own sign-on, or ask the help
// desk"
inline std::string AccountHeldUntilReleasedText(
    const std::string& user, const std::string& destination) {
  return std::string(kAccountHeldPrefix) + user + " at " + destination +
         ": changes held back after failed sign-ons until the help desk "
         "releases the user ID; change the password at the host's own "
         "sign-on, or ask the help desk";
}

// The retry a front end suggests for a hold that no time ends.
inline constexpr int kAccountHeldRetrySeconds = 3600;

// The seconds of an AccountHeldText (kAccountHeldRetrySeconds for an
// AccountHeldUntilReleasedText), or 0 when text is not one.
inline int AccountHeldSeconds(const std::string& text) {
  static const char kFor[] = "held back for ";
  static const char kCode[] = "TARPON SERVER E0030 : ";
  if (text.compare(0, sizeof kCode - 1, kCode) != 0) return 0;
  size_t at = text.find(kFor);
  if (at == std::string::npos) {
    return text.find("held back after failed sign-ons until") !=
                   std::string::npos
               ? kAccountHeldRetrySeconds
               : 0;
  }
  long seconds = std::strtol(text.c_str() + at + sizeof kFor - 1, nullptr, 10);
  return seconds > 0 && seconds <= 86400 ? static_cast<int>(seconds) : 0;
}

#endif  // TARPON_CONTRACT_ACCOUNT_HELD_H_
