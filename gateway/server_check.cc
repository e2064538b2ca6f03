#include "gateway/server_check.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/asn1.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>

#include "blocklist/blocklist_tool.h"
#include "comm/address.h"
#include "comm/fd.h"
#include "comm/gateway_protocol.h"
#include "comm/listen_address.h"
#include "comm/tls.h"
#include "contract/error_text.h"
#include "events/hook_process.h"
#include "events/spool.h"

namespace {

constexpr mode_t kOpenToOthers = 0077;
constexpr mode_t kPermissionBits = 07777;
std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The user the checks judge files for: the process's effective user.
std::string UserName() {
  passwd* entry = getpwuid(geteuid());
  if (entry != nullptr) return entry->pw_name;
  return "uid " + std::to_string(geteuid());
}

// Whether the effective user may access path as mode (R_OK, W_OK, X_OK);
// *error holds the reason when not.
bool MayAccess(const std::string& path, int mode, std::string* error) {
  if (faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0) return true;
  *error = ErrorText(errno);
  return false;
}

std::string AddressText(const BindAddress& address) {
  char host[NI_MAXHOST] = "?";
  char port[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<const sockaddr*>(&address.address),
              address.length, host, sizeof host, port, sizeof port,
              NI_NUMERICHOST | NI_NUMERICSERV);
  return std::string(host) + " port " + port;
}

void CheckExpiry(const std::string& file, SSL_CTX* context,
                 CheckReport* report) {
  std::string line;
  const int verdict = JudgeCertificateExpiry(context, file, &line);
  report->Add(verdict == 0   ? CheckReport::Verdict::kOk
              : verdict == 1 ? CheckReport::Verdict::kWarning
                             : CheckReport::Verdict::kFailed,
              line);
}

const char* Setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

void CheckReport::Add(Verdict verdict, const std::string& text) {
  lines_.push_back({verdict, text});
}

bool CheckReport::Passed() const {
  for (const Line& line : lines_) {
    if (line.verdict == Verdict::kFailed) return false;
  }
  return true;
}

void CheckReport::Print(std::ostream& out, bool journal) const {
  for (const Line& line : lines_) {
    switch (line.verdict) {
      case Verdict::kOk:
        out << "ok      ";
        break;
      case Verdict::kWarning:
        out << (journal ? "<4>" : "") << "warning ";
        break;
      case Verdict::kFailed:
        out << (journal ? "<3>" : "") << "FAILED  ";
        break;
    }
    out << line.text << '\n';
  }
  out.flush();
}

BindAddress AnyIpv4Address(uint16_t port) {
  BindAddress result;
  sockaddr_in* address = reinterpret_cast<sockaddr_in*>(&result.address);
  address->sin_family = AF_INET;
  address->sin_port = htons(port);
  address->sin_addr.s_addr = htonl(INADDR_ANY);
  result.length = sizeof(sockaddr_in);
  return result;
}

BindAddress BindAddressOf(const std::string& text, uint16_t port) {
  Address address(port, text.c_str());
  BindAddress result;
  result.length = address.GetSocketAddressLength();
  std::memcpy(&result.address, address.GetSocketAddress(), result.length);
  return result;
}

std::string MissingServiceText(const std::string& service) {
  return "is not in the services database or TARPON_SERVICES: add a line "
         "like '" +
         service + " 5000/tcp'";
}

std::string BindFailureText(int error) {
  if (error == EADDRINUSE) return "is in use: is another tarpons running?";
  std::string text = std::string("cannot be bound: ") + ErrorText(error);
  if (error == EACCES)
    text += " (a port below 1024 needs CAP_NET_BIND_SERVICE)";
  return text;
}

uint16_t CheckServiceEntry(const std::string& service, CheckReport* report) {
  Address address(service.c_str(), static_cast<uint32_t>(INADDR_ANY));
  if (!address.IsUsable()) {
    report->Fail("service " + service + " " + MissingServiceText(service));
    return 0;
  }
  report->Ok("service " + service + ": port " +
             std::to_string(address.GetPort()) + "/tcp");
  return address.GetPort();
}

void CheckListenAddresses(const std::vector<BindAddress>& addresses,
                          CheckReport* report) {
  for (const BindAddress& address : addresses) {
    std::string subject = "listen address " + AddressText(address);
    Fd socket(
        ::socket(address.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // The listener reuses addresses, so a port held only by connections of
    // an earlier run is free to it, and to this check.
    // An IPv6 listener takes IPv6 alone, beside the IPv4 one.
    int on = 1;
    if (!socket ||
        setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) !=
            0 ||
        (address.address.ss_family == AF_INET6 &&
         setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) !=
             0) ||
        bind(socket.get(), reinterpret_cast<const sockaddr*>(&address.address),
             address.length) != 0) {
      report->Fail(subject + " " + BindFailureText(errno));
    } else {
      report->Ok(subject + ": free");
    }
  }
}

void CheckLogFile(const std::string& path, CheckReport* report) {
  std::string subject = "log file " + path;
  // No O_CREAT: the check leaves no file behind.
  Fd file(open(path.c_str(),
               O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file) {
    report->Ok(subject + ": writable");
    return;
  }
  if (errno != ENOENT) {
    report->Fail(subject + ": " + ErrorText(errno));
    return;
  }
  std::string folder = FolderOf(path);
  std::string error;
  if (MayAccess(folder, W_OK | X_OK, &error)) {
    report->Ok(subject + ": made at start in " + folder);
  } else {
    report->Fail(subject + " cannot be made: " + folder + ": " + error);
  }
}

void CheckSessionTimeout(int timeoutSeconds, CheckReport* report) {
  if (timeoutSeconds > 0) {
    report->Ok("session timeout: " + std::to_string(timeoutSeconds) +
               " seconds");
  } else {
    report->Fail(
        "session timeout: TARPON_SESSION_TIMEOUT must be a whole number of "
        "seconds from 1 to " +
        std::to_string(GATEWAY_MAX_TIMEOUT));
  }
}

namespace {

// True for a literal loopback address ("127.0.0.1", "::1", "[::1]",
// "localhost").
bool IsLoopbackText(std::string text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  return text == "localhost" || text == "::1" || text.rfind("127.", 0) == 0;
}

// TLS is off: where the passwords then cross in clear text.
void ReportTlsOff(const std::vector<std::string>& listen, CheckReport* report) {
  const std::string off =
      "TLS: off (TARPON_TLS_CERT and TARPON_TLS_KEY are not set)";
  std::string open;
  for (const std::string& address : listen) {
    if (!IsLoopbackText(address)) open += (open.empty() ? "" : ", ") + address;
  }
  if (listen.empty()) open = "every address (no -listen)";
  if (open.empty()) {
    report->Ok(off + ", on loopback only");
  } else {
    report->Warn(off + ": passwords cross the network in clear text on " +
                 open);
  }
}

}  // namespace

void CheckTls(const std::vector<std::string>& listen, CheckReport* report) {
  std::string error;
  std::unique_ptr<TlsContext> context =
      TlsContext::ServerFromEnvironment(&error);
  if (!error.empty()) {
    report->Fail("TLS settings refused: " + error);
    return;
  }
  if (context == nullptr) {
    ReportTlsOff(listen, report);
    return;
  }
  const std::string certificate = Setting("TARPON_TLS_CERT");
  const char* clientCa = Setting("TARPON_TLS_CLIENT_CA");
  report->Ok("TLS certificate " + certificate + " and key " +
             Setting("TARPON_TLS_KEY") +
             ": readable, key private and matching" +
             (clientCa != nullptr ? std::string(", client CAs from ") + clientCa
                                  : std::string()));
  CheckExpiry(certificate, context->Native(), report);
}

void CheckNode(NodeLoader load, int accountCount, CheckReport* report) {
  if (load == nullptr) return;
  NodeFacts facts;
  std::string error;
  if (!load(&facts, &error)) {
    report->Fail("node configuration: " + error);
    return;
  }
  const std::vector<std::string>& databases = facts.userDatabases;
  std::set<std::string> distinct(databases.begin(), databases.end());
  report->Ok("node configuration " + std::string(Setting("TARPON_SNA_NODE")) +
             ": parsed, " + std::to_string(distinct.size()) +
             (distinct.size() == 1 ? " user database" : " user databases"));
  for (const std::string& path : distinct) CheckUserDatabase(path, report);
  for (const auto& [host, revokeAfter] : facts.revokeAfter) {
    const std::string revokes = "host " + host + " revokes a user ID after " +
                                std::to_string(revokeAfter) +
                                " failed sign-ons in a row";
    if (accountCount == 0) {
      report->Warn(revokes +
                   " and -accountlimit is off: anybody who knows a user ID "
                   "can have it revoked");
    } else if (revokeAfter <= accountCount) {
      report->Warn(revokes + ", at or below -accountlimit's count of " +
                   std::to_string(accountCount) +
                   ": set the count below it, as -accountlimit " +
                   std::to_string(revokeAfter > 1 ? revokeAfter - 1 : 1));
    } else {
      report->Ok(revokes + ", -accountlimit holds changes after " +
                 std::to_string(accountCount));
    }
  }
}

void CheckUserDatabase(const std::string& path, CheckReport* report) {
  std::string subject = "user database " + path;
  struct stat status;
  std::string error;
  if (stat(path.c_str(), &status) != 0) {
    report->Fail(subject + ": " + ErrorText(errno));
    return;
  }
  if (!S_ISREG(status.st_mode)) {
    report->Fail(subject + ": not a regular file");
    return;
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o",
                static_cast<unsigned>(status.st_mode & kPermissionBits));
  const std::string user = UserName();
  const std::string folder = FolderOf(path);
  if ((status.st_mode & kOpenToOthers) != 0) {
    report->Fail(subject + ": mode " + mode +
                 " lets the group or others read passwords: chmod 600 " + path);
  } else if (!MayAccess(path, R_OK | W_OK, &error)) {
    report->Fail(subject + ": not readable and writable by " + user + ": " +
                 error);
  } else if (!MayAccess(folder, W_OK | X_OK, &error)) {
    // A change is written to a new file beside the database.
    report->Fail(subject + ": its folder " + folder + " is not writable by " +
                 user + ": " + error);
  } else {
    report->Ok(subject + ": mode " + mode + ", readable and writable by " +
               user);
  }
}

void CheckNewPasswordLists(const NewPasswordSettings& settings,
                           CheckReport* report) {
  std::vector<std::string> lists = ListsToLoad(settings);
  if (lists.empty()) {
    report->Warn(
        "no new-password list: only the context, runs and sequences are "
        "checked");
  }
  for (const std::string& path : lists) {
    std::string error;
    auto file = BlocklistFile::Open(path, &error);
    if (file == nullptr) {
      report->Fail("new-password list " + error);
    } else {
      report->Ok("new-password list " + path + ": " + DescribeBlocklist(*file));
    }
  }
  for (const std::string& path : settings.wordFiles) {
    std::vector<std::string> words;
    std::string error;
    if (ReadWords(path, &words, &error)) {
      report->Ok("new-password words " + path + ": " +
                 std::to_string(words.size()) + " words");
    } else {
      report->Fail("new-password words " + error);
    }
  }
}

void CheckServer(const ServerCheckSettings& settings, CheckReport* report) {
  uint16_t port = CheckServiceEntry(settings.service, report);
  if (port != 0) {
    std::vector<BindAddress> addresses;
    for (const std::string& text : settings.listen) {
      addresses.push_back(BindAddressOf(text, port));
    }
    if (addresses.empty()) {
      addresses = {AnyIpv4Address(port), BindAddressOf("::", port)};
    }
    CheckListenAddresses(addresses, report);
  }
  if (!settings.logFileName.empty()) CheckLogFile(settings.logFileName, report);
  CheckSessionTimeout(settings.timeoutSeconds, report);
  CheckTls(settings.listen, report);
  if (!settings.metrics.empty()) CheckMetricsAddress(settings.metrics, report);
  CheckNode(settings.loadNode, settings.accountCount, report);
  CheckNewPasswordLists(settings.newPasswords, report);
  if (!settings.eventHooks.empty()) CheckSpool(settings.spoolFolder, report);
  CheckHooks(settings.eventHooks, "-on-event", report);
  CheckHooks(settings.syncHooks, "-on-change-sync", report);
}

void CheckMetricsAddress(const std::string& text, CheckReport* report) {
  ListenAddress address;
  std::string error;
  if (!ParseListenAddress(text, &address)) {
    report->Fail("metrics address " + text +
                 ": not IPv4:PORT or [IPv6]:PORT (such as 127.0.0.1:9101)");
    return;
  }
  int fd = OpenListeningSocket(address, text, &error);
  if (fd < 0) {
    report->Fail("metrics address " + text + ": " + error);
    return;
  }
  close(fd);
  report->Ok("metrics address " + text + " can be bound" +
             (IsLoopbackText(address.host)
                  ? std::string()
                  : ": /metrics is open to the network there"));
}

void CheckHooks(const std::vector<std::string>& hooks, const char* kind,
                CheckReport* report) {
  for (const std::string& hook : hooks) {
    std::vector<std::string> words;
    std::istringstream in(hook);
    for (std::string word; in >> word;) words.push_back(word);
    words.push_back("--check");
    HookResult result =
        RunHook(words, "", std::chrono::seconds(CHECK_HOOK_SECONDS));
    std::string text = std::string(kind) + " hook " + hook + ": ";
    if (result.Succeeded()) {
      report->Ok(text + "its check passed" +
                 (result.output.empty() ? "" : ": " + result.output));
    } else {
      report->Fail(text + "its check failed (" + result.Describe() + ")" +
                   (result.output.empty() ? "" : ": " + result.output));
    }
  }
}

void CheckSpool(const std::string& folder, CheckReport* report) {
  const std::string subject = "event spool " + folder;
  struct stat status;
  std::string error;
  if (stat(folder.c_str(), &status) != 0) {
    const std::string parent = FolderOf(folder);
    if (!MayAccess(parent, W_OK | X_OK, &error)) {
      report->Fail(subject + ": missing, and its folder " + parent +
                   " is not writable by " + UserName() + ": " + error);
    } else {
      report->Ok(subject + ": missing, made at the start");
    }
    return;
  }
  if (!S_ISDIR(status.st_mode)) {
    report->Fail(subject + ": not a folder");
    return;
  }
  if (!MayAccess(folder, R_OK | W_OK | X_OK, &error)) {
    report->Fail(subject + ": not writable by " + UserName() + ": " + error);
    return;
  }
  Spool spool(folder, SpoolLimits());
  size_t failed = Spool(folder + "/failed", SpoolLimits()).List().size();
  std::string text = subject + ": writable by " + UserName() + ", " +
                     std::to_string(spool.List().size()) + " events waiting";
  if (failed > 0) {
    report->Warn(text + ", " + std::to_string(failed) + " given up on in " +
                 spool.FailedFolder());
  } else {
    report->Ok(text);
  }
}
