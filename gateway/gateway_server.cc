#include "gateway/gateway_server.h"

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "comm/address.h"
#include "comm/export_client.h"
#include "comm/gateway_protocol.h"
#include "comm/listener.h"
#include "comm/wsa.h"
#include "gateway/gateway_log.h"
#include "gateway/gateway_session.h"
#include "trace/trace.h"

namespace {

const char kDefaultLogFile[] = "tarpond.log";
constexpr int kQueueDepth = 5;

// The argument after "-log" names the log file unless it is a switch. On
// this system a file name may begin with "/" (an absolute path), so only
// the gateway's own switches written with "/" count as switches there.
bool IsLogFileName(const char* arg) {
  if (arg[0] == '-') return false;
  if (arg[0] != '/') return true;
  return !(IsSwitch(arg, "?") || IsSwitch(arg, "t") || IsSwitch(arg, "log") ||
           IsSwitch(arg, "S"));
}

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
}

// The session timeout from TARPON_SESSION_TIMEOUT, the default when it is
// not set, or 0 when its text is not a whole number from 1 to 86400.
int SessionTimeout() {
  const char* text = std::getenv("TARPON_SESSION_TIMEOUT");
  if (text == nullptr) return GATEWAY_DEFAULT_SESSION_TIMEOUT;
  char* end = nullptr;
  errno = 0;
  long seconds = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || seconds < 1 ||
      seconds > GATEWAY_MAX_SESSION_TIMEOUT) {
    return 0;
  }
  return static_cast<int>(seconds);
}

}  // namespace

void ServeSession(const ExportClient& client, int timeoutSeconds) {
  GatewaySession session(client, timeoutSeconds);
  while (!session.IsEnded()) {
    int64_t left = session.GetDeadlineMs() - GatewaySession::NowMs();
    if (left <= 0) {
      session.Expire();
      break;
    }
    pollfd ready = {session.GetSocket(),
                    static_cast<short>(session.WantsWrite() ? POLLOUT : POLLIN),
                    0};
    int count = poll(&ready, 1, static_cast<int>(left));
    if (count < 0 && errno != EINTR) {
      session.Expire();
    } else if (count > 0) {
      session.Step();
    }
  }
  trace_log() << session.TakeLogText() << std::flush;
}

int GatewayServerMain(int argc, char** argv) {
  int rc = GATEWAY_EXIT_OK;
  TraceScope scope("main(argv,argc)", &rc, TRACE_OFF);
  WSA wsa(1, 1);
  std::string service;
  std::string logFileName;
  GatewayLog logBuffer;
  std::streambuf* savedLog = trace_log().rdbuf(&logBuffer);

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsSwitch(arg, "?")) {
      rc = GATEWAY_EXIT_BAD_OPTION;
    } else if (IsSwitch(arg, "t")) {
      TraceScope marker("TARPON SERVER", &rc, TRACE_ON);
    } else if (IsSwitch(arg, "log")) {
      logFileName = kDefaultLogFile;
      if (i + 1 < argc && IsLogFileName(argv[i + 1])) {
        logFileName = argv[++i];
      }
      trace_log().flush();
      if (!logBuffer.Open(logFileName)) {
        std::cerr << "TARPON SERVER E0001 : cannot open output log. "
                     "Terminating.\n";
        rc = GATEWAY_EXIT_LOG_FAILED;
      }
    } else if (IsSwitch(arg, "S")) {
      if (i + 1 >= argc || BeginsLikeSwitch(argv[i + 1])) {
        std::cerr << "TARPON SERVER E0003 : missing service name. "
                     "Terminating.\n";
        rc = GATEWAY_EXIT_NO_SERVICE;
      } else {
        service = argv[++i];
      }
    } else {
      std::cerr << "TARPON SERVER E0004 : bad command line option. "
                   "Terminating.\n";
      rc = GATEWAY_EXIT_BAD_OPTION;
    }
  }

  const int timeout = SessionTimeout();
  if (rc != GATEWAY_EXIT_OK) {
    PrintSyntax(argc > 0 ? argv[0] : "tarpons");
  } else if (timeout == 0) {
    std::cerr << "TARPON SERVER E0007 : TARPON_SESSION_TIMEOUT must be a "
                 "whole number of seconds from 1 to "
              << GATEWAY_MAX_SESSION_TIMEOUT << ". Terminating.\n";
    rc = GATEWAY_EXIT_BAD_SETTING;
  } else {
    if (service.empty()) service = GATEWAY_DEFAULT_SERVICE;
    std::ostream& log = trace_log();
    log << GatewayTimeStamp() << "TARPON SERVER starting:"
        << " serviceName=" << service << std::endl;
    std::unique_ptr<Listener> listener;
    {
      Address address(service.c_str(), 0u);
      listener = std::make_unique<Listener>(address, kQueueDepth);
    }
    if (listener->IsGood()) {
      log << GatewayTimeStamp() << "TARPON SERVER started " << std::endl;
      if (!logFileName.empty()) {
        std::cout << "TARPON SERVER started:"
                  << " serviceName=" << service
                  << ", logFileName=" << logFileName << std::endl;
      }
    } else {
      std::cerr << "TARPON SERVER E0005 : error encountered, not started."
                << std::endl;
      rc = GATEWAY_EXIT_NOT_STARTED;
    }
    ExportClient client = {};
    while (listener->GetNewClient(client) == Listener::COMM_OK) {
      ServeSession(client, timeout);
    }
    log << GatewayTimeStamp();
    if (listener->IsInError()) {
      log << "TARPON SERVER ended abnormally\n\n" << *listener << std::endl;
    } else {
      log << "TARPON SERVER ended" << std::endl;
    }
  }
  trace_log().flush();
  trace_log().rdbuf(savedLog);
  return rc;
}
