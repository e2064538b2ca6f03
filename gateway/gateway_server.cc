#include "gateway/gateway_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blocklist/blocklist_tool.h"
#include "comm/address.h"
#include "comm/clock.h"
#include "comm/gateway_protocol.h"
#include "comm/listener.h"
#include "comm/tls.h"
#include "comm/wsa.h"
#include "contract/error_text.h"
#include "events/event_sink.h"
#include "gateway/account_guard.h"
#include "gateway/account_limit.h"
#include "gateway/account_setup.h"
#include "gateway/admission.h"
#include "gateway/gateway_events.h"
#include "gateway/gateway_limits.h"
#include "gateway/gateway_log.h"
#include "gateway/gateway_loop.h"
#include "gateway/gateway_metrics.h"
#include "gateway/new_password_gate.h"
#include "gateway/server_check.h"
#include "gateway/service_notify.h"
#include "gateway/shared_state.h"
#include "metrics/metrics_listener.h"
#include "trace/trace.h"

namespace {

const char kDefaultLogFile[] = "tarpond.log";
const char kDefaultSpool[] = "/var/lib/tarpon/spool";
const GatewayLimits kDefaults;
const AccountLimits kAccountDefaults;

// What the command line and the environment set.
struct Settings {
  std::string service;
  std::string logFileName;
  GatewayLimits limits;
  int timeout = 0;
  // -check: check what a start needs instead of starting.
  bool check = false;
  // Set when TARPON_TLS_CERT and TARPON_TLS_KEY turn TLS on.
  std::unique_ptr<TlsContext> tls;
  // The addresses -listen names; none: any address of both families.
  std::vector<std::string> listen;
  LoopSettings loop;
  // -metrics: where the metrics are served; empty: nowhere.
  std::string metrics;
  // -log-format: the log's lines as text (the default) or JSON.
  LogFormat logFormat = LogFormat::kText;
  // -accountlimit, and where its counts live (-state-file, -state-key,
  // -shared-state, -shared-gateways); -held and -release NAME.
  AccountSettings accounts;
  std::string sharedStatePasswordFile;
  bool listHeld = false;
  std::string release;
  // -spool, -on-event and -on-change-sync.
  EventSettings events;
  // -blocklist and -blockwords, and the checker loaded from them.
  NewPasswordSettings newPasswords;
  std::shared_ptr<const PasswordChecker> newPasswordCheck;
};

// The most bits -ipv6prefix takes, and the fewest.
constexpr long kMaxIpv6Prefix = 128;
constexpr long kMinIpv6Prefix = 1;

// The switches of the limit per account that take a value.
bool IsAccountSwitch(const char* arg) {
  return IsSwitch(arg, "accountlimit") || IsSwitch(arg, "shared-state") ||
         IsSwitch(arg, "shared-state-password") ||
         IsSwitch(arg, "state-file") || IsSwitch(arg, "state-key") ||
         IsSwitch(arg, "shared-gateways") || IsSwitch(arg, "release");
}

// The argument after "-log" names the log file unless it is a switch. On
// this system a file name may begin with "/" (an absolute path), so only
// the gateway's own switches written with "/" count as switches there.
bool IsLogFileName(const char* arg) {
  if (arg[0] == '-') return false;
  if (arg[0] != '/') return true;
  return !(IsSwitch(arg, "?") || IsSwitch(arg, "t") || IsSwitch(arg, "log") ||
           IsSwitch(arg, "S") || IsSwitch(arg, "maxstartups") ||
           IsSwitch(arg, "persource") || IsSwitch(arg, "penalties") ||
           IsSwitch(arg, "listen") || IsSwitch(arg, "ipv6prefix") ||
           IsSwitch(arg, "proxy-from") || IsSwitch(arg, "metrics") ||
           IsSwitch(arg, "check") || IsSwitch(arg, "log-format") ||
           IsSwitch(arg, "accountlimit") || IsSwitch(arg, "shared-state") ||
           IsSwitch(arg, "shared-state-password") ||
           IsSwitch(arg, "conversations") || IsAccountSwitch(arg) ||
           IsSwitch(arg, "stop-timeout") || IsSwitch(arg, "held") ||
           IsSwitch(arg, "spool") || IsSwitch(arg, "on-event") ||
           IsSwitch(arg, "on-change-sync") || IsSwitch(arg, "blocklist") ||
           IsSwitch(arg, "blockwords"));
}

// The syntax of the limit per account, the hooks and the lists.
void PrintAccountSyntax() {
  std::cout << "   -accountlimit count[:forget] at most count failed sign-ons "
               "of one\n"
            << "      user ID reach a host until a success or a release "
               "(-release);\n"
            << "      forget: the seconds after which the host forgets "
               "them; off: never.\n"
            << "      Optional, default = " << kAccountDefaults.policy.count
            << "\n"
            << "   -state-file PATH keep the counts there across restarts; "
               "default =\n"
            << "      " << kDefaultStateFile << " when that folder exists.\n"
            << "      -state-key FILE the key of their hashes (default: "
               "PATH.key).\n"
            << "   -held list the held user IDs; -release USER@HOST release "
               "one.\n"
            << "   -stop-timeout n seconds a stop waits for the hosts, "
               "default = 15\n"
            << "   -shared-state redis://HOST[:PORT][/DB] keep the counts "
               "in Redis,\n"
            << "      shared by every gateway; -shared-state-password FILE "
               "names\n"
            << "      a file whose first line is its password; "
               "-shared-gateways n\n"
            << "      the gateways that share it (default 2).\n"
            << "   -on-event PROGRAM run PROGRAM with each event (a change "
               "a host\n"
            << "      answered, a hold) on its input; repeatable. -spool DIR "
               "keeps\n"
            << "      the events until delivered, default = " << kDefaultSpool
            << "\n"
            << "   -on-change-sync PROGRAM run PROGRAM after each change made, "
               "with\n"
            << "      the user ID, destination and new password on its "
               "input.\n"
            << "   -blocklist FILE a list of passwords no new password may "
               "be;\n"
            << "      repeatable; off: none. Optional, default = the "
               "packaged list\n"
            << "   -blockwords FILE words no new password may contain, one "
               "a line.\n";
}

// The options beyond the syntax of old: the caps, the listeners, the
// checks and the logs.
void PrintListenSyntax() {
  std::cout << "   -maxstartups start:rate:full connections without a whole "
               "request:\n"
            << "      from start on refused at rate %, rising to all at full.\n"
            << "      Optional, default = " << kDefaults.startupsStart << ":"
            << kDefaults.startupsRate << ":" << kDefaults.startupsFull << "\n"
            << "   -persource n connections without a whole request per "
               "client address.\n"
            << "      Optional, default = " << kDefaults.perSource << "\n"
            << "   -penalties count:window:seconds:max after count failed "
               "sign-ons\n"
            << "      within window seconds an address is refused for "
               "seconds,\n"
            << "      doubling up to max; off: never. Optional, default = "
            << kDefaults.penaltyCount << ":" << kDefaults.penaltyWindow << ":"
            << kDefaults.penaltySeconds << ":" << kDefaults.penaltyMaxSeconds
            << "\n"
            << "   -listen ADDRESS listen on this address only; repeatable. "
               "Default:\n"
            << "      every address of both families.\n"
            << "   -ipv6prefix bits count IPv6 clients by this prefix, default "
               "= "
            << LoopSettings().ipv6PrefixLength << "\n"
            << "   -proxy-from LIST peers (addresses, networks) whose "
               "connections begin\n"
            << "      with a PROXY header that names the client.\n"
            << "   -conversations n host conversations at once, default = "
            << kDefaultConversations << "\n"
            << "   -metrics ADDRESS:PORT serve /metrics, /healthz and /readyz "
               "there.\n";
}

// The options that check, administer and log instead of serving.
void PrintCheckSyntax() {
  std::cout << "   -check check what a start needs (services entry, port, "
               "log, TLS,\n"
            << "      metrics address, node), one line each, and exit.\n"
            << "   -log-format text|json the log's lines as the text "
               "above (default)\n"
            << "      or one JSON object a line.\n"
            << "   --version print the version; --help this text, exit "
               "status 0.\n"
            << "   Settings from the environment: TARPON_SNA_NODE, "
               "TARPON_SERVICES,\n"
            << "      TARPON_SESSION_TIMEOUT, TARPON_TLS_CERT, "
               "TARPON_TLS_KEY,\n"
            << "      TARPON_TLS_CLIENT_CA; see tarpons(8).\n";
}

// The syntax help: the text of old, whole and first, then every option
// added since.
void PrintSyntax(const char* program) {
  std::cout << "\nVeltrix Korvid Common Server tarpon server utility program "
               "syntax: \n\n"
            << program << " {-S serviceName} {-t} {-log {logfileName}} \n\n"
            << "   -S /etc/services service name configured for this server\n"
            << "      Optional, default = " << GATEWAY_DEFAULT_SERVICE << "\n"
            << "   -log {filename} write events to a log file. \n"
            << "      By default, server events (client requests),\n"
            << "      are logged to the terminal.\n"
            << "      If -log specified, filename is also optional, \n"
            << "      default = " << kDefaultLogFile << "\n"
            << "   -t Optional trace flag. Produces diagnostics on TARPON "
               "client/server.\n"
            << "   -? This help text.\n"
            << std::endl;
  std::cout << "Further options:\n";
  PrintListenSyntax();
  PrintAccountSyntax();
  PrintCheckSyntax();
  std::cout << std::flush;
}

// The session timeout from TARPON_SESSION_TIMEOUT, the default when it is
// not set, or 0 when its text is not a whole number from 1 to 86400.
int SessionTimeout() {
  const char* text = std::getenv("TARPON_SESSION_TIMEOUT");
  if (text == nullptr) return GATEWAY_DEFAULT_SESSION_TIMEOUT;
  return ParseTimeoutSeconds(text);
}

// A switch of the limits with its value; false, after the message, when the
// value is missing or not valid.
bool LimitSwitch(int argc, char** argv, int* i,
                 bool (*parse)(const char*, GatewayLimits*),
                 GatewayLimits* limits) {
  const char* name = argv[*i];
  if (*i + 1 < argc && parse(argv[*i + 1], limits)) {
    ++*i;
    return true;
  }
  std::cerr << ErrorPrefix()
            << "TARPON SERVER E0009 : missing or invalid value for " << name
            << ". Terminating.\n";
  if (*i + 1 < argc && !BeginsLikeSwitch(argv[*i + 1])) ++*i;
  return false;
}

// -listen ADDRESS, -ipv6prefix BITS, -proxy-from LIST, -metrics
// ADDRESS:PORT or -conversations N; false, after the message, when the value is
// missing or not valid.
bool ListenSwitch(int argc, char** argv, int* i, Settings* settings) {
  const char* name = argv[*i];
  const char* value = *i + 1 < argc ? argv[*i + 1] : nullptr;
  bool valid = value != nullptr && !BeginsLikeSwitch(value) && *value != '\0';
  std::string why;
  if (valid && IsSwitch(name, "proxy-from")) {
    valid = settings->loop.proxyFrom.Parse(value, &why);
  } else if (valid && IsSwitch(name, "metrics")) {
    ListenAddress address;
    valid = ParseListenAddress(value, &address);
    if (valid) settings->metrics = value;
  } else if (valid && IsSwitch(name, "ipv6prefix")) {
    char* end = nullptr;
    long bits = std::strtol(value, &end, 10);
    valid = *end == '\0' && value[0] >= '0' && value[0] <= '9' &&
            bits >= kMinIpv6Prefix && bits <= kMaxIpv6Prefix;
    if (valid) settings->loop.ipv6PrefixLength = static_cast<int>(bits);
  } else if (valid && IsSwitch(name, "conversations")) {
    char* end = nullptr;
    long count = std::strtol(value, &end, 10);
    valid = *end == '\0' && value[0] >= '0' && value[0] <= '9' && count >= 1 &&
            count <= kMaxConversations;
    if (valid) settings->loop.conversations = static_cast<int>(count);
  } else if (valid && IsSwitch(name, "stop-timeout")) {
    char* end = nullptr;
    long seconds = std::strtol(value, &end, 10);
    valid = *end == '\0' && value[0] >= '0' && value[0] <= '9' &&
            seconds >= 1 && seconds <= 3600;
    if (valid) settings->loop.stopSeconds = static_cast<int>(seconds);
  } else if (valid) {
    settings->listen.push_back(value);
  }
  if (valid) {
    ++*i;
    return true;
  }
  std::cerr << ErrorPrefix()
            << "TARPON SERVER E0009 : missing or invalid value for " << name
            << (why.empty() ? "" : " (" + why + ")") << ". Terminating.\n";
  if (value != nullptr && !BeginsLikeSwitch(value)) ++*i;
  return false;
}

// A switch of the limit per account (IsAccountSwitch) with its value;
// false, after the message, when the value is missing or not valid.
bool AccountSwitch(int argc, char** argv, int* i, Settings* settings) {
  const char* name = argv[*i];
  const char* value = *i + 1 < argc ? argv[*i + 1] : nullptr;
  // A file's path may begin with "/", which other values may not.
  const bool file = IsSwitch(name, "state-file") ||
                    IsSwitch(name, "state-key") ||
                    IsSwitch(name, "shared-state-password");
  bool valid = value != nullptr && *value != '\0' &&
               (file ? *value != '-' : !BeginsLikeSwitch(value));
  AccountSettings& accounts = settings->accounts;
  if (valid && IsSwitch(name, "accountlimit")) {
    valid = ParseAccountLimits(value, &accounts.limits);
  } else if (valid && IsSwitch(name, "shared-state")) {
    valid = ParseSharedStateUrl(value, &accounts.sharedAddress);
    accounts.shared = valid;
  } else if (valid && IsSwitch(name, "shared-gateways")) {
    char* end = nullptr;
    long n = std::strtol(value, &end, 10);
    valid = *end == '\0' && n >= 1 && n <= 1000;
    if (valid) accounts.gateways = static_cast<int>(n);
  } else if (valid && IsSwitch(name, "state-file")) {
    accounts.stateFile = value;
  } else if (valid && IsSwitch(name, "state-key")) {
    accounts.keyFile = value;
  } else if (valid && IsSwitch(name, "release")) {
    settings->release = value;
  } else if (valid) {
    settings->sharedStatePasswordFile = value;
  }
  if (valid) {
    ++*i;
    return true;
  }
  std::cerr << ErrorPrefix()
            << "TARPON SERVER E0009 : missing or invalid value for " << name
            << ". Terminating.\n";
  if (value != nullptr && !BeginsLikeSwitch(value)) ++*i;
  return false;
}

// A switch whose value is a path (which may begin with "/", as -log's
// does): the value, after which *i points; null, after the message, when
// it is missing.
const char* PathValue(int argc, char** argv, int* i) {
  const char* name = argv[*i];
  const char* value = *i + 1 < argc ? argv[*i + 1] : nullptr;
  if (value == nullptr || !IsLogFileName(value) || *value == '\0') {
    std::cerr << ErrorPrefix()
              << "TARPON SERVER E0009 : missing or invalid value for " << name
              << ". Terminating.\n";
    if (value != nullptr && !BeginsLikeSwitch(value)) ++*i;
    return nullptr;
  }
  ++*i;
  return value;
}

// -spool, -on-event or -on-change-sync with its value; false, after the
// message, when the value is missing.
bool EventSwitch(int argc, char** argv, int* i, EventSettings* events) {
  const char* name = argv[*i];
  const char* value = PathValue(argc, argv, i);
  if (value == nullptr) return false;
  if (IsSwitch(name, "spool")) {
    events->spoolFolder = value;
  } else if (IsSwitch(name, "on-event")) {
    events->eventHooks.push_back(value);
  } else {
    events->syncHooks.push_back(value);
  }
  return true;
}

// -blocklist FILE or off, -blockwords FILE; false, after the message,
// when the value is missing.
bool NewPasswordSwitch(int argc, char** argv, int* i, Settings* settings) {
  const char* name = argv[*i];
  const char* value = PathValue(argc, argv, i);
  if (value == nullptr) return false;
  NewPasswordSettings& passwords = settings->newPasswords;
  if (IsSwitch(name, "blockwords")) {
    passwords.wordFiles.push_back(value);
  } else if (std::string(value) == "off") {
    passwords.listsOff = true;
  } else {
    passwords.lists.push_back(value);
  }
  return true;
}

// The new-password checker that the settings name; false after the
// message when a file cannot be used: the gateway does not start without
// a list it was told to load.
bool LoadNewPasswordLists(Settings* settings) {
  std::string error;
  settings->newPasswords.service = settings->service;
  settings->newPasswordCheck =
      LoadNewPasswordCheck(settings->newPasswords, &error);
  if (settings->newPasswordCheck != nullptr) return true;
  std::cerr << ErrorPrefix()
            << "TARPON SERVER E0020 : new-password list refused: " << error
            << ". Terminating.\n";
  return false;
}

// SIGHUP: the lists and words read again; the loop logs around it.
void ReloadNewPasswordLists() {
  std::string line = ReloadNewPasswordCheck();
  if (!line.empty()) trace_log() << GatewayTimeStamp() << line << std::endl;
}

// The log named by -log cannot be opened (error is the open's errno): the
// cause, then the line the gateway has always printed.
void ReportLogFailure(const std::string& path, int error) {
  std::cerr << ErrorPrefix() << "TARPON SERVER E0011 : cannot open the log "
            << path << ": " << ErrorText(error) << "\n"
            << ErrorPrefix()
            << "TARPON SERVER E0001 : cannot open output log. "
               "Terminating.\n";
}

// Whether -check is among the options; known before the scan, so that a
// -log before it opens nothing.
bool HasCheckSwitch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], "check")) return true;
  }
  return false;
}

// One of the switches that take a value (beside -log and -S): 1 when
// taken, -1 when taken but not valid (after the message), 0 when arg is
// none of them.
int ValuedSwitch(int argc, char** argv, int* i, Settings* settings) {
  const char* arg = argv[*i];
  bool ok = true;
  if (IsSwitch(arg, "listen") || IsSwitch(arg, "ipv6prefix") ||
      IsSwitch(arg, "proxy-from") || IsSwitch(arg, "metrics") ||
      IsSwitch(arg, "conversations") || IsSwitch(arg, "stop-timeout")) {
    ok = ListenSwitch(argc, argv, i, settings);
  } else if (IsSwitch(arg, "blocklist") || IsSwitch(arg, "blockwords")) {
    ok = NewPasswordSwitch(argc, argv, i, settings);
  } else if (IsAccountSwitch(arg)) {
    ok = AccountSwitch(argc, argv, i, settings);
  } else if (IsSwitch(arg, "spool") || IsSwitch(arg, "on-event") ||
             IsSwitch(arg, "on-change-sync")) {
    ok = EventSwitch(argc, argv, i, &settings->events);
  } else if (IsSwitch(arg, "maxstartups") || IsSwitch(arg, "persource") ||
             IsSwitch(arg, "penalties")) {
    auto parse = IsSwitch(arg, "maxstartups") ? ParseMaxStartups
                 : IsSwitch(arg, "persource") ? ParsePerSource
                                              : ParsePenalties;
    ok = LimitSwitch(argc, argv, i, parse, &settings->limits);
  } else {
    return 0;
  }
  return ok ? 1 : -1;
}

// Scans the options into settings, printing every error; the exit code.
int ParseOptions(int argc, char** argv, GatewayLog& log, Settings* settings) {
  int rc = GATEWAY_EXIT_OK;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsSwitch(arg, "?")) {
      rc = GATEWAY_EXIT_BAD_OPTION;
    } else if (IsSwitch(arg, "t")) {
      TraceScope marker("TARPON SERVER", &rc, TRACE_ON);
    } else if (IsSwitch(arg, "log")) {
      settings->logFileName = kDefaultLogFile;
      if (i + 1 < argc && IsLogFileName(argv[i + 1])) {
        settings->logFileName = argv[++i];
      }
      trace_log().flush();
      // A check opens no log: it would make the file.
      if (!settings->check && !log.Open(settings->logFileName)) {
        ReportLogFailure(settings->logFileName, errno);
        rc = GATEWAY_EXIT_LOG_FAILED;
      }
    } else if (IsSwitch(arg, "S")) {
      if (i + 1 >= argc || BeginsLikeSwitch(argv[i + 1])) {
        std::cerr << ErrorPrefix()
                  << "TARPON SERVER E0003 : missing service name. "
                     "Terminating.\n";
        rc = GATEWAY_EXIT_NO_SERVICE;
      } else {
        settings->service = argv[++i];
      }
    } else if (IsSwitch(arg, "log-format")) {
      if (i + 1 >= argc || !ParseLogFormat(argv[i + 1], &settings->logFormat)) {
        std::cerr << ErrorPrefix()
                  << "TARPON SERVER E0009 : missing or invalid value for "
                  << arg << " (text or json). Terminating.\n";
        rc = GATEWAY_EXIT_BAD_OPTION;
        if (i + 1 < argc && !BeginsLikeSwitch(argv[i + 1])) ++i;
      } else {
        ++i;
      }
    } else if (IsSwitch(arg, "check")) {
      // Seen before the scan: see HasCheckSwitch.
    } else if (IsSwitch(arg, "held")) {
      settings->listHeld = true;
    } else if (int valued = ValuedSwitch(argc, argv, &i, settings)) {
      if (valued < 0) rc = GATEWAY_EXIT_BAD_OPTION;
    } else {
      std::cerr << ErrorPrefix()
                << "TARPON SERVER E0004 : bad command line option. "
                   "Terminating.\n";
      rc = GATEWAY_EXIT_BAD_OPTION;
    }
  }
  return rc;
}

// Raises the descriptor limit to its hard limit and keeps the startup caps
// within it.
void FitDescriptors(GatewayLimits* limits) {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  std::string capped = Admission::FitToDescriptors(limits, limit.rlim_cur);
  if (!capped.empty()) trace_log() << GatewayTimeStamp() << capped << std::endl;
}

// The TLS context when TARPON_TLS_CERT and TARPON_TLS_KEY turn TLS on;
// false after the message when the settings cannot be used: the gateway
// never serves clear text in place of TLS.
bool LoadTls(std::unique_ptr<TlsContext>* tls) {
  std::string error;
  *tls = TlsContext::ServerFromEnvironment(&error);
  if (error.empty()) return true;
  std::cerr << ErrorPrefix()
            << "TARPON SERVER E0010 : TLS settings refused: " << error
            << ". Terminating.\n";
  return false;
}

// The password of -shared-state from -shared-state-password's file; false
// after the message when it cannot be read.
bool LoadSharedStatePassword(Settings* settings) {
  if (settings->sharedStatePasswordFile.empty()) return true;
  std::string why;
  if (ReadSharedStatePassword(settings->sharedStatePasswordFile,
                              &settings->accounts.sharedAddress, &why)) {
    return true;
  }
  std::cerr << ErrorPrefix()
            << "TARPON SERVER E0009 : shared state password: " << why
            << ". Terminating.\n";
  return false;
}

// The listeners of the service's port: on the addresses -listen names, or
// on any address of both families. The IPv4 one comes first, so that its
// dump is the one a failure shows; an IPv6 one that the machine cannot
// have (no IPv6) is left out, with a line, when no address was named.
std::vector<std::unique_ptr<GatewayListener>> OpenListeners(
    const Settings& settings) {
  // A burst of simultaneous connects waits in the queue, not in SYN
  // retries.
  std::vector<std::unique_ptr<GatewayListener>> listeners;
  const char* service = settings.service.c_str();
  if (!settings.listen.empty()) {
    for (const std::string& address : settings.listen) {
      listeners.push_back(std::make_unique<GatewayListener>(
          Address(service, address.c_str()), SOMAXCONN));
    }
    return listeners;
  }
  listeners.push_back(std::make_unique<GatewayListener>(
      Address(service, static_cast<uint32_t>(INADDR_ANY)), SOMAXCONN));
  if (!listeners.front()->IsGood()) return listeners;
  auto any6 =
      std::make_unique<GatewayListener>(Address(service, "::"), SOMAXCONN);
  if (any6->IsGood()) {
    listeners.push_back(std::move(any6));
  } else if (any6->GetReason() != CommBase::REASON_LISTENER_BIND_FAILED ||
             any6->GetLastApiRc() != EADDRINUSE) {
    trace_log() << GatewayTimeStamp() << "TARPON SERVER not listening on IPv6 ("
                << ErrorText(any6->GetLastApiRc()) << ")" << std::endl;
  } else {
    listeners.push_back(std::move(any6));
  }
  return listeners;
}

// Why the listener for service did not start, with what to do.
std::string ListenFailure(const Listener& listener, const Address& address,
                          const std::string& service) {
  if (!address.IsUsable()) {
    return "service " + service + " " + MissingServiceText(service);
  }
  std::string port = "port " + std::to_string(address.GetPort()) +
                     " (service " + service + ")";
  if (listener.GetReason() == CommBase::REASON_LISTENER_BIND_FAILED) {
    return port + " " + BindFailureText(listener.GetLastApiRc());
  }
  return "cannot listen on " + port + ": " + ErrorText(listener.GetLastApiRc());
}

// The longest a conversation holds its try: the session's timeout on
// both sides of the host, and a minute more.
int64_t LeaseMs(int timeoutSeconds) {
  return (2LL * timeoutSeconds + 60) * 1000;
}

// -held and -release: the store's accounts; the exit code.
int AdministerAccounts(const Settings& settings) {
  AccountSetup setup;
  std::string why;
  if (!setup.Open(settings.accounts, PenaltyPolicy(settings.limits), &why)) {
    std::cerr << ErrorPrefix()
              << "TARPON SERVER E0009 : the state file: " << why
              << ". Terminating.\n";
    return GATEWAY_EXIT_BAD_SETTING;
  }
  if (settings.listHeld) return ListHeldAccounts(setup.GetStore(), std::cout);
  std::string released;
  const int rc = ReleaseAccount(setup.GetStore(), setup.GetKeys(),
                                settings.release, std::cout, &released);
  // The release is made: an event that cannot be written is said, and the
  // exit code stays the release's.
  if (rc == 0 && !SpoolReleaseEvent(settings.events, released, &why)) {
    std::cerr << ErrorPrefix()
              << "TARPON SERVER release event not written: " << why << "\n";
  }
  return rc;
}

// Checks what a start needs and prints one line per check; the exit code.
int Check(const Settings& settings, NodeLoader loadNode) {
  ServerCheckSettings check;
  check.service = settings.service;
  check.logFileName = settings.logFileName;
  check.timeoutSeconds = settings.timeout;
  check.listen = settings.listen;
  check.loadNode = loadNode;
  check.accountCount = settings.accounts.limits.policy.count;
  check.spoolFolder = settings.events.spoolFolder;
  check.eventHooks = settings.events.eventHooks;
  check.syncHooks = settings.events.syncHooks;
  check.newPasswords = settings.newPasswords;
  check.metrics = settings.metrics;
  CheckReport report;
  CheckServer(check, &report);
  AccountSettings accounts = settings.accounts;
  std::string why;
  if (!settings.sharedStatePasswordFile.empty() &&
      !ReadSharedStatePassword(settings.sharedStatePasswordFile,
                               &accounts.sharedAddress, &why)) {
    report.Fail("shared state password: " + why);
  }
  CheckAccountSettings(accounts, &report);
  report.Print(std::cout, IsJournalStream(1));
  return report.Passed() ? GATEWAY_EXIT_OK : GATEWAY_EXIT_CHECK_FAILED;
}

// Starts the event sink; false after the message when its spool cannot be
// used.
bool StartEvents(EventSink* events, const EventSettings& settings) {
  std::string error;
  if (!events->Start(&error)) {
    std::cerr << ErrorPrefix() << "TARPON SERVER E0013 : cannot use the event "
              << "spool " << settings.spoolFolder << ": " << error
              << ". Terminating." << std::endl;
    return false;
  }
  if (!settings.eventHooks.empty() || !settings.syncHooks.empty()) {
    trace_log() << GatewayTimeStamp()
                << "TARPON SERVER hooks: " << settings.eventHooks.size()
                << " -on-event, " << settings.syncHooks.size()
                << " -on-change-sync"
                << (settings.eventHooks.empty()
                        ? std::string()
                        : ", spool " + settings.spoolFolder)
                << std::endl;
  }
  return true;
}

// The start's line about the lists that new passwords are checked against.
void LogNewPasswordLists(const PasswordChecker& checker) {
  std::ostream& out = trace_log();
  for (const auto& list : checker.GetLists()) {
    out << GatewayTimeStamp() << "TARPON SERVER new-password list "
        << list->GetPath() << ": " << DescribeBlocklist(*list) << std::endl;
  }
}

// The start's line on the account limit, unless it is the default.
void LogAccountLimit(const AccountSettings& settings,
                     const AccountSetup& setup) {
  const HoldPolicy& policy = settings.limits.policy;
  if (!settings.shared &&
      FormatHoldPolicy(policy) ==
          FormatHoldPolicy(AccountLimits::DefaultPolicy())) {
    return;
  }
  trace_log() << GatewayTimeStamp() << "TARPON SERVER account limit "
              << (policy.IsOn() ? FormatHoldPolicy(policy) + ", counts " +
                                      setup.Describe()
                                : std::string("off"))
              << std::endl;
}

// "0.0.0.0 port 5000, :: port 5000": where the open listeners listen.
std::string ListeningText(const std::vector<GatewayListener*>& open) {
  std::string text;
  for (const GatewayListener* listener : open) {
    const Address& address = listener->GetListeningAddress();
    char host[Address::ADDRESS_TEXT_SIZE] = "?";
    address.GetIpAddress(host, sizeof host);
    text += (text.empty() ? "" : ", ") + std::string(host) + " port " +
            std::to_string(address.GetPort());
  }
  return text;
}

// The lines that say the gateway has started, and systemd's word.
void AnnounceStart(const Settings& settings,
                   const std::vector<GatewayListener*>& open, bool tls) {
  std::ostream& out = trace_log();
  out << GatewayTimeStamp() << "TARPON SERVER started " << std::endl;
  out << GatewayTimeStamp() << "TARPON SERVER listening on "
      << ListeningText(open) << " (service " << settings.service << ")"
      << (settings.metrics.empty() ? std::string()
                                   : ", metrics on " + settings.metrics)
      << std::endl;
  NotifyReady("listening on port " +
              std::to_string(open.front()->GetListeningAddress().GetPort()) +
              " (service " + settings.service + ")");
  if (tls) {
    const char* clientCa = std::getenv("TARPON_TLS_CLIENT_CA");
    out << GatewayTimeStamp() << "TARPON SERVER TLS on"
        << (clientCa != nullptr && *clientCa != '\0'
                ? ", client certificates required"
                : "")
        << std::endl;
  }
  if (!settings.logFileName.empty()) {
    std::cout << "TARPON SERVER started:"
              << " serviceName=" << settings.service
              << ", logFileName=" << settings.logFileName << std::endl;
  }
}

// Writes the event sink's last lines once it has stopped.
void StopEvents(EventSink* events) {
  events->Stop();
  for (const std::string& line : events->TakeLogLines()) {
    trace_log() << GatewayTimeStamp() << line << '\n';
  }
}

// The stores of the limit per account, opened; false after the message.
bool OpenAccounts(const Settings& settings, AccountSetup* setup) {
  std::string why;
  if (setup->Open(settings.accounts, PenaltyPolicy(settings.limits), &why)) {
    LogAccountLimit(settings.accounts, *setup);
    return true;
  }
  std::cerr << ErrorPrefix() << "TARPON SERVER E0009 : the state file: " << why
            << ". Terminating." << std::endl;
  return false;
}

// The metrics listener at address ("" for none), its readiness asked of
// loop; false, said on standard error, when it cannot listen.
bool StartMetrics(const std::string& address, GatewayLoop* loop,
                  MetricsListener* listener) {
  listener->SetReadinessProbe(
      [loop](std::function<void(bool, const std::string&)> answer) {
        loop->AskReady(std::move(answer));
      });
  std::string error;
  if (address.empty() || listener->Start(address, &error)) return true;
  std::cerr << ErrorPrefix() << "TARPON SERVER E0012 : cannot serve the "
            << "metrics at " << address << ": " << error << ". Terminating."
            << std::endl;
  return false;
}

// Serves on the open listeners until stopped; the exit code, and in
// *failed the listener that failed for good.
int RunGateway(Settings& settings, GatewayLog& log,
               const std::vector<GatewayListener*>& open,
               GatewayListener** failed) {
  // The loop's signal handlers are in place before anyone is told that
  // the gateway has started.
  const bool tls = settings.tls != nullptr;
  Admission admission(settings.limits, settings.timeout,
                      GATEWAY_MAX_REQUEST_LENGTH, Clock::Steady(),
                      std::random_device()());
  GatewayMetrics metrics;
  settings.loop.metrics = &metrics;
  EventSink events(settings.events, metrics.events);
  if (!StartEvents(&events, settings.events)) return GATEWAY_EXIT_BAD_SETTING;
  settings.loop.events = &events;
  AccountSetup accountSetup;
  if (!OpenAccounts(settings, &accountSetup)) return GATEWAY_EXIT_BAD_SETTING;
  AccountGuard accounts(settings.accounts.limits, accountSetup.GetStore(),
                        accountSetup.GetKeys(), &metrics,
                        LeaseMs(settings.timeout));
  settings.loop.accounts = &accounts;
  SetNewPasswordCheck(settings.newPasswordCheck, settings.newPasswords,
                      &metrics);
  SetReloadHook(ReloadNewPasswordLists);
  LogNewPasswordLists(*settings.newPasswordCheck);
  // Abandoned conversations' threads wait for hosts that do not answer:
  // the process ends without them. Every count is in the store already;
  // their tries count as failures once their leases end.
  settings.loop.onAbandoned = [&events](int abandoned) {
    StopEvents(&events);
    trace_log() << GatewayTimeStamp() << "TARPON SERVER ended, " << abandoned
                << " conversations abandoned at the stop" << std::endl;
    trace_log().flush();
    std::_Exit(GATEWAY_EXIT_ABANDONED);
  };
  auto loop = std::make_unique<GatewayLoop>(
      open, admission, log, std::move(settings.tls), settings.loop);
  MetricsListener metricsListener(&metrics.registry());
  if (!StartMetrics(settings.metrics, loop.get(), &metricsListener)) {
    return GATEWAY_EXIT_NOT_STARTED;
  }
  AnnounceStart(settings, open, tls);
  int rc = GATEWAY_EXIT_OK;
  if (!loop->Run()) {
    rc = GATEWAY_EXIT_ABNORMAL;
    *failed = &loop->GetFailedListener();
  }
  // Its readiness probe asks the loop, which goes next.
  metricsListener.Stop();
  // The conversations have ended with the loop: nothing more comes.
  loop.reset();
  StopEvents(&events);
  return rc;
}

// Listens and serves until stopped; the exit code.
int Serve(Settings& settings, GatewayLog& log) {
  std::ostream& out = trace_log();
  out << GatewayTimeStamp() << "TARPON SERVER starting:"
      << " serviceName=" << settings.service << std::endl;
  FitDescriptors(&settings.limits);
  std::vector<std::unique_ptr<GatewayListener>> listeners =
      OpenListeners(settings);
  GatewayListener* failed = nullptr;
  std::vector<GatewayListener*> open;
  for (auto& listener : listeners) {
    if (!listener->IsGood()) {
      if (failed == nullptr) failed = listener.get();
    } else {
      open.push_back(listener.get());
    }
  }
  int rc = GATEWAY_EXIT_OK;
  if (failed == nullptr) {
    rc = RunGateway(settings, log, open, &failed);
  } else {
    std::cerr << ErrorPrefix() << "TARPON SERVER E0011 : "
              << ListenFailure(*failed, failed->GetListeningAddress(),
                               settings.service)
              << "\n"
              << ErrorPrefix()
              << "TARPON SERVER E0005 : error encountered, not started."
              << std::endl;
    rc = GATEWAY_EXIT_NOT_STARTED;
  }
  SetReloadHook(nullptr);
  SetNewPasswordCheck(nullptr, settings.newPasswords, nullptr);
  out << GatewayTimeStamp();
  if (failed != nullptr && failed->IsInError()) {
    out << "TARPON SERVER ended abnormally\n\n" << *failed << std::endl;
  } else {
    out << "TARPON SERVER ended" << std::endl;
  }
  return rc;
}

}  // namespace

int GatewayServerMain(int argc, char** argv, NodeLoader loadNode,
                      HostResolver resolveHost) {
  int rc = GATEWAY_EXIT_OK;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") != 0) continue;
    PrintSyntax(argv[0]);
    return std::cout ? GATEWAY_EXIT_OK : GATEWAY_EXIT_CHECK_FAILED;
  }
  TraceScope scope("main(argv,argc)", &rc, TRACE_OFF);
  WSA wsa(1, 1);
  GatewayLog log(STDERR_FILENO, STDERR_FILENO);
  std::streambuf* savedLog = trace_log().rdbuf(&log);
  Settings settings;
  settings.loop.resolveHost = std::move(resolveHost);
  settings.events.spoolFolder = kDefaultSpool;
  settings.check = HasCheckSwitch(argc, argv);
  rc = ParseOptions(argc, argv, log, &settings);
  log.SetFormat(settings.logFormat);
  settings.timeout = SessionTimeout();
  if (settings.service.empty()) settings.service = GATEWAY_DEFAULT_SERVICE;
  if (rc != GATEWAY_EXIT_OK) {
    PrintSyntax(argc > 0 ? argv[0] : "tarpons");
  } else if (settings.check) {
    rc = Check(settings, loadNode);
  } else if (settings.timeout == 0) {
    std::cerr << ErrorPrefix()
              << "TARPON SERVER E0007 : TARPON_SESSION_TIMEOUT must be a "
                 "whole number of seconds from 1 to "
              << GATEWAY_MAX_TIMEOUT << ". Terminating.\n";
    rc = GATEWAY_EXIT_BAD_SETTING;
  } else if (!LoadTls(&settings.tls)) {
    rc = GATEWAY_EXIT_BAD_TLS;
  } else if (!LoadSharedStatePassword(&settings)) {
    rc = GATEWAY_EXIT_BAD_SETTING;
  } else if (!LoadNewPasswordLists(&settings)) {
    rc = GATEWAY_EXIT_BAD_SETTING;
  } else if (settings.listHeld || !settings.release.empty()) {
    rc = AdministerAccounts(settings);
  } else {
    rc = Serve(settings, log);
  }
  trace_log().flush();
  trace_log().rdbuf(savedLog);
  return rc;
}
