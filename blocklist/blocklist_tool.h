// tarpon-blocklist, the tool that builds a list file and asks one:
//
//   tarpon-blocklist build [-min-count N] -o FILE SOURCE...
//   tarpon-blocklist check [-u USER] FILE PASSWORD   ("-": read a line)
//   tarpon-blocklist info FILE
//
// Its answers go to out, its errors to err.
#ifndef TARPON_BLOCKLIST_BLOCKLIST_TOOL_H_
#define TARPON_BLOCKLIST_BLOCKLIST_TOOL_H_

#include <iosfwd>
#include <string>

#include "blocklist/blocklist.h"

// The exit codes.
constexpr int BLOCKLIST_EXIT_OK = 0;       // built, accepted, described
constexpr int BLOCKLIST_EXIT_REFUSED = 1;  // check: the password is refused
constexpr int BLOCKLIST_EXIT_ERROR = 2;    // a bad option, a file unusable

// "12345 entries, built 2026-12-09 15:00:00 UTC, false-positive rate
// 6.7e-16 a password"
std::string DescribeBlocklist(const BlocklistFile& file);

int BlocklistToolMain(int argc, char** argv, std::istream& in,
                      std::ostream& out, std::ostream& err);

#endif  // TARPON_BLOCKLIST_BLOCKLIST_TOOL_H_
