#include "gateway_client/gateway_client.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "comm/address.h"
#include "comm/client.h"
#include "comm/gateway_protocol.h"
#include "comm/wsa.h"
#include "gateway_client/tarpon_gateway.h"
#include "trace/stdout_capture.h"
#include "trace/trace.h"

namespace {

const char kHelpOptions[] = "-? ";
const char kTooLong[] =
    "TARPON CLIENT E0006 : options too long. Terminating.\n";

void PrintHelp(const char* program) {
  std::cout << "\nVeltrix Korvid CS: tarpon client utility program syntax :\n\n"
            << program
            << " {-H} host {-S service} {-t} {-?} {tarpon options} \n\n"
            << "   -H Mandatory host name (or ip address) where the \n"
            << "      tarpons server resides. \n"
            << "      If this is the first parameter on the command line, \n"
            << "      the -H parameter name may be ommitted. \n"
            << "   -S optional /etc/services service name configured for \n"
            << "      the tarpons server. Default = " << GATEWAY_DEFAULT_SERVICE
            << "\n"
            << "   -t optional trace flag. Diagnostic information produced.\n"
            << "   {tarpon options} are passed through to the tarpon service "
               "at the gateway.\n"
            << "   -? This help text. (Also provided when you invoke with no "
               "parameters).\n"
            << "      Help from the tarpon service at the gateway may be \n"
            << "      solicited by invoking this program with only the "
               "gateway host \n"
            << "      {-H} option (and perhaps the -S service name if "
               "necessary). \n"
            << "      Or, include -M to get a full man page from the gateway "
               "tarpon \n"
            << "      service. Note that a connection must be \n"
            << "      successfully established to the gateway before any "
               "help \n"
            << "      will be received.\n"
            << std::endl;
}

void SwitchTraceOn() { TraceScope marker("TARPON CLIENT", TRACE_ON); }

}  // namespace

int GatewayClientCommandline(int argc, char** argv) {
  int rc = 0;
  WSA wsa(1, 1);
  if (argc <= 1 || (argc == 2 && (std::strncmp(argv[1], "-?", 2) == 0 ||
                                  std::strncmp(argv[1], "/?", 2) == 0))) {
    PrintHelp(argc > 0 ? argv[0] : "tarponrc");
    rc = 4;
    return rc;
  }
  const char* host = nullptr;
  const char* service = nullptr;
  std::string options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsSwitch(arg, "t")) {
      SwitchTraceOn();
    } else if (IsSwitch(arg, "H")) {
      if (i + 1 >= argc) {
        std::cerr << "TARPON CLIENT E0004 : missing host name. Terminating.\n";
        rc = 1;
      } else {
        host = argv[++i];
      }
    } else if (IsSwitch(arg, "S")) {
      if (i + 1 >= argc || BeginsLikeSwitch(argv[i + 1])) {
        std::cerr
            << "TARPON CLIENT E0003 : missing service name. Terminating.\n";
        rc = 2;
      } else {
        service = argv[++i];
      }
    } else if (i == 1 && !BeginsLikeSwitch(arg)) {
      host = arg;
    } else {
      // Every other argument, also an unknown switch in the first place,
      // belongs to the gateway's engine.
      options += arg;
      options += ' ';
    }
  }
  if (host == nullptr) {
    std::cerr << "TARPON CLIENT E0005 : Missing host name. Please specify the "
                 "host name or IP address."
              << std::endl;
    rc = 1;
  }
  if (options.size() > GATEWAY_MAX_REQUEST_LENGTH) {
    std::cerr << kTooLong;
    rc = 1;
  }
  if (service == nullptr) service = GATEWAY_DEFAULT_SERVICE;
  if (options.empty()) options = kHelpOptions;
  if (rc == 0) GatewayClient(host, service, options.c_str());
  return rc;
}

int GatewayClient(const char* host, const char* service, const char* options) {
  int rc = 0;
  TraceScope scope("GatewayClient(host,service,options)", &rc, TRACE_OFF);
  WSA wsa(1, 1);
  std::unique_ptr<Client> client;
  {
    Address address(service, host);
    client = std::make_unique<Client>(address);
  }
  long sent = -1;
  long received = -1;
  const char* userData = "";
  std::unique_ptr<char[]> reply(new char[GATEWAY_CLIENT_REPLY_SIZE]());
  if (client->IsGood()) {
    sent = client->SendRecord(options);
    if (client->IsGood() && sent == Connection::COMM_OK) {
      uint32_t length = 0;
      received = client->ReceiveRecord(reply.get(),
                                       GATEWAY_CLIENT_REPLY_SIZE - 1, &length);
      userData = client->GetUserData();
    }
  }
  if (client->IsGood() && sent == Connection::COMM_OK && received == 0) {
    // The gateway terminates its return code inside the 16 bytes; never
    // read past them if it did not.
    std::string code(userData, strnlen(userData, Connection::USER_DATA_LENGTH));
    std::cout << "TARPON remote server (KSV GATEWAY) successfully invoked. "
              << "Response received follows, (remote rc=" << code << ")"
              << "\n"
              << reply.get() << std::flush;
  } else if (client->IsGood() &&
             received == Connection::COMM_BUFFER_TOO_SMALL) {
    std::cerr << "TARPON CLIENT E0007 : reply longer than "
              << GATEWAY_CLIENT_REPLY_SIZE - 1
              << " bytes refused. Terminating.\n";
  } else if (client->IsGood() || client->IsInError()) {
    std::cout << "TARPON CLIENT errors encountered, diagnostic information "
                 "follows:"
              << *client << std::endl;
  }
  return rc;
}

int tarponGateway(const char* user, const char* oldPassword,
                  const char* newPassword, const char* server, const char* host,
                  const char* options, const char* service, int trace) {
  int rc = 0;
  TraceScope scope(
      "tarponGateway(user,oldPassword,newPassword,server,host,options,service,"
      "trace)",
      &rc, trace != 0 ? TRACE_ON : TRACE_OFF);
  if (user == nullptr || oldPassword == nullptr || newPassword == nullptr ||
      host == nullptr) {
    std::cerr << "TARPON CLIENT E0008 : user, passwords and host are "
                 "required. Terminating.\n";
    rc = 1;
    return rc;
  }
  bool local = options != nullptr && std::strstr(options, "-local") != nullptr;
  std::string text =
      std::string(" -u ") + user + " -p " + oldPassword + " -np " + newPassword;
  if (server != nullptr && !local) text += std::string(" -s ") + server;
  if (options != nullptr) text += std::string(" ") + options;
  if (text.size() > GATEWAY_MAX_REQUEST_LENGTH) {
    std::cerr << kTooLong;
    rc = 1;
    return rc;
  }
  rc = GatewayClient(host,
                     service != nullptr ? service : GATEWAY_DEFAULT_SERVICE,
                     text.c_str());
  return rc;
}

int tarponGateway(const char* user, const char* oldPassword,
                  const char* newPassword, const char* server,
                  ApiResult* result, const char* host, const char* options,
                  const char* service, int trace) {
  int rc = 0;
  TraceScope scope(
      "tarponGateway(user,oldPassword,newPassword,server,result,host,options,"
      "service,trace)",
      &rc, TRACE_OFF);
  std::string text;
  {
    StdoutCapture capture;
    rc = tarponGateway(user, oldPassword, newPassword, server, host, options,
                       service, trace);
    text = capture.TextToNul();
  }
  if (result != nullptr) {
    CopyCapturedText(text, result->text, result->textSize);
    result->returnCode = rc;
  }
  return rc;
}
