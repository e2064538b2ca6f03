// The checks of "tarpons -check": each thing a start of the gateway needs,
// tried the way the start would use it, without starting and without
// leaving anything behind. Each check adds one line or more to a
// CheckReport:
//
//   ok      service tarponGateway: port 5000/tcp
//   FAILED  listen address 0.0.0.0 port 5000 is in use: is another tarpons
//   running? warning certificate /etc/tarpon/tls/gateway.pem expires in 12 days
//
// The checks read the environment the gateway reads (TARPON_SERVICES,
// TARPON_SESSION_TIMEOUT, TARPON_TLS_*, TARPON_SNA_NODE) and judge files
// as the user the process runs as.
#ifndef TARPON_GATEWAY_SERVER_CHECK_H_
#define TARPON_GATEWAY_SERVER_CHECK_H_

#include <sys/socket.h>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "comm/tls.h"
#include "gateway/new_password_gate.h"

// A certificate that expires within this many days is warned about.
constexpr int CHECK_EXPIRY_WARNING_DAYS = CERTIFICATE_WARNING_DAYS;

class CheckReport {
 public:
  enum class Verdict { kOk, kWarning, kFailed };
  struct Line {
    Verdict verdict;
    std::string text;
  };

  void Ok(const std::string& text) { Add(Verdict::kOk, text); }
  void Warn(const std::string& text) { Add(Verdict::kWarning, text); }
  void Fail(const std::string& text) { Add(Verdict::kFailed, text); }
  void Add(Verdict verdict, const std::string& text);

  // True unless a check failed; warnings pass.
  bool Passed() const;
  const std::vector<Line>& GetLines() const { return lines_; }

  // One line per check: the verdict ("ok", "warning", "FAILED") padded to
  // eight columns, then the text. With journal, warnings and failures begin
  // with the journal's priority, "<4>" and "<3>".
  void Print(std::ostream& out, bool journal) const;

 private:
  std::vector<Line> lines_;
};

// An address the gateway would bind, as bind() takes it.
struct BindAddress {
  sockaddr_storage address = {};
  socklen_t length = 0;
};

// Every IPv4 address of this machine (0.0.0.0) on port.
BindAddress AnyIpv4Address(uint16_t port);
// The address text (a name, or a literal of either family, "[::1]" too)
// on port, as the gateway's listener would take it.
BindAddress BindAddressOf(const std::string& text, uint16_t port);

// What a service name that is missing needs: "is not in the services
// database or TARPON_SERVICES: add a line like '<service> 5000/tcp'".
std::string MissingServiceText(const std::string& service);
// Why a bind failed with error: "is in use: is another tarpons running?"
// or "cannot be bound: <reason>".
std::string BindFailureText(int error);

// The service's entry in TARPON_SERVICES or the services database; its port,
// or 0 when it has none.
uint16_t CheckServiceEntry(const std::string& service, CheckReport* report);
// Binds a socket to each address, as the listener would, and closes it.
void CheckListenAddresses(const std::vector<BindAddress>& addresses,
                          CheckReport* report);
// The log file can be opened for appending, or made in its folder; the
// file is neither made nor changed.
void CheckLogFile(const std::string& path, CheckReport* report);
// TARPON_SESSION_TIMEOUT; timeoutSeconds is what the gateway took from it,
// 0 when it is not valid.
void CheckSessionTimeout(int timeoutSeconds, CheckReport* report);
// The TLS settings as the gateway loads them (files readable, key private
// and matching the certificate, client CAs), then the certificate's expiry:
// a warning within CHECK_EXPIRY_WARNING_DAYS, a failure once it has
// expired. When it is not configured, one line saying TLS is off: a
// warning unless every address of listen (none: any address) is loopback.
void CheckTls(const std::vector<std::string>& listen, CheckReport* report);
// The -metrics address (ParseListenAddress's form) parses and can be
// bound; the socket is closed again.
void CheckMetricsAddress(const std::string& text, CheckReport* report);

// What the check learns of a node: its hosts' user databases, and for each
// host that revokes a user ID after failed sign-ons in a row, its name and
// that number.
struct NodeFacts {
  std::vector<std::string> userDatabases;
  std::vector<std::pair<std::string, int>> revokeAfter;
};
// Loads the SNA node's configuration (the file TARPON_SNA_NODE names) into
// *facts; false with one line in *error when it cannot be used. The
// program supplies it: only the emulated node has such a configuration.
using NodeLoader = bool (*)(NodeFacts* facts, std::string* error);
// The node's configuration through load, then each user database: a
// regular file, mode without access for group and others, readable and
// writable, in a folder where the changed file can be written. A host that
// revokes at or below accountCount failures (0: the limit is off) is
// warned about: anybody could have it revoke a user ID.
void CheckNode(NodeLoader load, int accountCount, CheckReport* report);
void CheckUserDatabase(const std::string& path, CheckReport* report);

// Each list new passwords would be checked against, opened and checked
// whole as the start does: a line with its entries, build date and
// false-positive rate, a failure for a list that cannot be used, a
// warning when there is none; and each file of words.
void CheckNewPasswordLists(const NewPasswordSettings& settings,
                           CheckReport* report);

// What a start needs.
struct ServerCheckSettings {
  std::string service;
  std::string logFileName;  // empty: the log goes to standard error
  int timeoutSeconds = 0;   // from TARPON_SESSION_TIMEOUT, 0 when not valid
  // The addresses -listen names; none: any address of both families.
  std::vector<std::string> listen;
  NodeLoader loadNode = nullptr;  // null: no node checks
  int accountCount = 0;           // -accountlimit's count, 0: off
  // -spool, -on-event and -on-change-sync.
  std::string spoolFolder;
  std::vector<std::string> eventHooks;
  std::vector<std::string> syncHooks;
  NewPasswordSettings newPasswords;  // -blocklist, -blockwords
  std::string metrics;               // -metrics, "" for none
};

// Each hook's own check: "PROGRAM --check" run with nothing on its input
// and a deadline of CHECK_HOOK_SECONDS, passed when it exits with 0 (its
// first line of output is shown); a program that cannot be run fails.
constexpr int CHECK_HOOK_SECONDS = 10;
void CheckHooks(const std::vector<std::string>& hooks, const char* kind,
                CheckReport* report);
// The spool folder: there (or makeable in its parent) and writable, with
// the events waiting in it and those given up on.
void CheckSpool(const std::string& folder, CheckReport* report);

// Runs every check in the order of a start.
void CheckServer(const ServerCheckSettings& settings, CheckReport* report);

#endif  // TARPON_GATEWAY_SERVER_CHECK_H_
