#include "gateway/gateway_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "comm/address.h"
#include "comm/export_client.h"
#include "comm/gateway_protocol.h"
#include "comm/listener.h"
#include "comm/server.h"
#include "comm/wsa.h"
#include "engine/tarpon.h"
#include "trace/stdout_capture.h"
#include "trace/trace.h"

namespace {

const char kDefaultLogFile[] = "tarpond.log";
const char kEngineOptions[] = " -log -noterm";
const char kTooLongText[] =
    "\nTARPON SERVER E0006 : request too long, not processed.\n";
constexpr int kQueueDepth = 5;
constexpr int kTooLongReturnCode = 14;

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

int SessionTimeout() {
  const char* text = std::getenv("TARPON_SESSION_TIMEOUT");
  if (text != nullptr) {
    char* end = nullptr;
    long seconds = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && seconds > 0 && seconds <= 86400) {
      return static_cast<int>(seconds);
    }
  }
  return GATEWAY_DEFAULT_SESSION_TIMEOUT;
}

// Reads and drops the unread data of a refused request, so that closing
// the connection after the reply does not reset it before the client has
// read the reply. The session's receive deadline bounds it.
void DiscardRequestData(Server& server, uint32_t length) {
  char scratch[4096];
  while (length > 0 && server.IsGood()) {
    uint32_t chunk = length < sizeof scratch ? length : sizeof scratch;
    uint32_t received = 0;
    if (server.Receive(scratch, chunk, &received) != 0) return;
    length -= received;
  }
}

void SendReply(Server& server, int returnCode, const std::string& text) {
  char returnCodeText[16] = {};
  std::snprintf(returnCodeText, sizeof returnCodeText, "%4.4d", returnCode);
  server.SetUserData(returnCodeText);
  server.SendRecord(text.c_str());
}

}  // namespace

std::string GatewayTimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  char text[64];
  // The asctime layout, e.g. "Tue Dec  8 00:36:21 2026".
  std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
  return std::string(text) + " : ";
}

void ServeSession(const ExportClient& client, int timeoutSeconds) {
  std::ostream& log = trace_log();
  Server server(client);
  if (server.IsGood()) {
    // The whole request, however it trickles in, gets the session's time.
    server.SetReceiveDeadline(timeoutSeconds);
    char request[GATEWAY_REQUEST_BUFFER_SIZE];
    std::memset(request, 0, sizeof request);
    uint32_t length = 0;
    const int apiRcBefore = server.GetLastApiRc();
    long received =
        server.ReceiveRecord(request, GATEWAY_MAX_REQUEST_LENGTH, &length);
    // A receive that the platform failed (a connection reset) leaves the
    // connection good but may have left the first part of a request in the
    // buffer. A part must never run: "-np hostile1" cut to "-np hos" would
    // set a password nobody asked for. The session ends as on a close.
    const bool receiveFailed = server.GetLastApiRc() != apiRcBefore;
    if (received != 0) std::memset(request, 0, sizeof request);
    log << GatewayTimeStamp() << "Session id(" << server.GetSessionId()
        << ") IP(" << server.GetClientIpAddress() << ") " << std::flush;
    // A record refused for its size tells how much data it holds; a record
    // length field below the header's own is refused with no data length
    // and is treated like a bad version: the request data are never run.
    if (server.IsGood() && received == 12 && length > 0) {
      DiscardRequestData(server, length);
      log << "tarponRc(" << kTooLongReturnCode << ") " << std::endl;
      if (server.IsGood()) SendReply(server, kTooLongReturnCode, kTooLongText);
    } else if (server.IsGood() && !receiveFailed) {
      size_t used = std::strlen(request);
      std::snprintf(request + used, sizeof request - used, "%s",
                    kEngineOptions);
      StdoutCapture capture;
      int returnCode = run_command_line(request);
      log << "tarponRc(" << returnCode << ") " << std::endl;
      SendReply(server, returnCode, capture.TextToNul());
    }
  }
  if (server.IsInError()) {
    log << GatewayTimeStamp() << "Session id(" << server.GetSessionId()
        << ") ended abnormally\n\n"
        << server << std::endl;
  }
}

int GatewayServerMain(int argc, char** argv) {
  int rc = 0;
  TraceScope scope("main(argv,argc)", &rc, TRACE_OFF);
  WSA wsa(1, 1);
  std::string service;
  std::string logFileName;
  std::unique_ptr<std::ofstream> logFile;
  std::streambuf* savedLog = nullptr;

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsSwitch(arg, "?")) {
      rc = 4;
    } else if (IsSwitch(arg, "t")) {
      TraceScope marker("TARPON SERVER", &rc, TRACE_ON);
    } else if (IsSwitch(arg, "log")) {
      logFileName = kDefaultLogFile;
      if (i + 1 < argc && IsLogFileName(argv[i + 1])) {
        logFileName = argv[++i];
      }
      auto file = std::make_unique<std::ofstream>(logFileName, std::ios::app);
      if (!file->is_open()) {
        std::cerr << "TARPON SERVER E0001 : cannot open output log. "
                     "Terminating.\n";
        rc = 6;
      } else {
        std::streambuf* previous = trace_log().rdbuf(file->rdbuf());
        if (savedLog == nullptr) savedLog = previous;
        logFile = std::move(file);
      }
    } else if (IsSwitch(arg, "S")) {
      if (i + 1 >= argc || BeginsLikeSwitch(argv[i + 1])) {
        std::cerr << "TARPON SERVER E0003 : missing service name. "
                     "Terminating.\n";
        rc = 2;
      } else {
        service = argv[++i];
      }
    } else {
      std::cerr << "TARPON SERVER E0004 : bad command line option. "
                   "Terminating.\n";
      rc = 4;
    }
  }

  if (rc != 0) {
    PrintSyntax(argc > 0 ? argv[0] : "tarpons");
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
      if (logFile) {
        std::cout << "TARPON SERVER started:"
                  << " serviceName=" << service
                  << ", logFileName=" << logFileName << std::endl;
      }
    } else {
      std::cerr << "TARPON SERVER E0005 : error encountered, not started."
                << std::endl;
      rc = 5;
    }
    const int timeout = SessionTimeout();
    ExportClient client = {};
    while (listener->GetNewClient(client) == 0) {
      ServeSession(client, timeout);
    }
    log << GatewayTimeStamp();
    if (listener->IsInError()) {
      log << "TARPON SERVER ended abnormally\n\n" << *listener << std::endl;
    } else {
      log << "TARPON SERVER ended" << std::endl;
    }
  }
  if (savedLog != nullptr) trace_log().rdbuf(savedLog);
  return rc;
}
