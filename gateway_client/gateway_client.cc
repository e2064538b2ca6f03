#include "gateway_client/gateway_client.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "comm/address.h"
#include "comm/client.h"
#include "comm/gateway_protocol.h"
#include "comm/tls.h"
#include "comm/wsa.h"
#include "contract/error_text.h"
#include "contract/option_line.h"
#include "contract/secret.h"
#include "contract/tarpon_rc.h"
#include "gateway_client/gateway_exchange.h"
#include "gateway_client/multi_host.h"
#include "gateway_client/tarpon_gateway.h"
#include "prompt/password_prompt.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

const char kHelpOptions[] = "-? ";
const char kTooLong[] =
    "TARPON CLIENT E0006 : options too long. Terminating.\n";

void PrintHelp(const char* program) {
  program_output()
      << "\nVeltrix Korvid CS: tarpon client utility program syntax :\n\n"
      << program << " {-H} host {-S service} {-t} {-?} {tarpon options} \n\n"
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

// --help: the help text, then what it leaves out.
void PrintLongHelp(const char* program) {
  PrintHelp(program);
  program_output()
      << "Further options:\n"
      << "   -hosts list change the password at every destination of "
         "list\n"
      << "      (up to " << kMaxHosts
      << ", separated by commas), which the other options then\n"
      << "      leave out; passwords are asked for once.\n"
      << "   A password left out is asked for without echo when standard "
         "input\n"
      << "      is a terminal.\n"
      << "   --version print the version; --help this text (exit status "
         "0).\n"
      << "   Settings from the environment: TARPON_CLIENT_TIMEOUT (seconds "
         "for\n"
      << "      the whole exchange, default " << GATEWAY_CLIENT_DEFAULT_TIMEOUT
      << "), TARPON_SERVICES, TARPON_TLS_CA,\n"
      << "      TARPON_TLS_CERT, TARPON_TLS_KEY; see tarponrc(1).\n"
      << std::flush;
}

void SwitchTraceOn() { TraceScope marker("TARPON CLIENT", TRACE_ON); }

const char kTimeoutVariable[] = "TARPON_CLIENT_TIMEOUT";

// The exchange's deadline in seconds from TARPON_CLIENT_TIMEOUT (unset or
// empty: the default): digits only, from 1 to GATEWAY_MAX_TIMEOUT.
// Anything else is refused with a message, so that a mistyped setting never
// silently means another wait.
bool ExchangeTimeout(int* seconds) {
  *seconds = GATEWAY_CLIENT_DEFAULT_TIMEOUT;
  const char* text = std::getenv(kTimeoutVariable);
  if (text == nullptr || *text == '\0') return true;
  int value = ParseTimeoutSeconds(text);
  if (value == 0) {
    std::cerr << "TARPON CLIENT E0010 : " << kTimeoutVariable
              << " must be a whole number of seconds from 1 to "
              << GATEWAY_MAX_TIMEOUT << ". Terminating.\n";
    return false;
  }
  *seconds = value;
  return true;
}

// Appends c, below 0x80, with a control character in caret notation.
void AppendShown(std::string& out, unsigned char c) {
  if (c < 0x20 || c == 0x7F) {
    out += '^';
    out += static_cast<char>(c ^ 0x40);
  } else {
    out += static_cast<char>(c);
  }
}

// The gateway's text as it may reach a terminal: line ends (LF, CR LF) and
// tabs pass; every other control character is shown in caret notation (ESC
// as ^[, DEL as ^?) and every byte above 0x7E as M- and the notation of its
// low seven bits, so that no byte from the network drives the terminal.
std::string Harmless(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x80) {
      out += "M-";
      AppendShown(out, c & 0x7F);
    } else if (c == '\n' || c == '\t' || (c == '\r' && p[1] == '\n')) {
      out += static_cast<char>(c);
    } else {
      AppendShown(out, c);
    }
  }
  return out;
}

// The TLS context when TARPON_TLS_CA turns TLS on; false with a message
// when the TLS settings cannot be used.
bool ClientTls(std::unique_ptr<TlsContext>* context) {
  std::string error;
  *context = TlsContext::ClientFromEnvironment(&error);
  if (error.empty()) return true;
  std::cerr << "TARPON CLIENT E0011 : TLS settings refused: " << error
            << ". Terminating.\n";
  return false;
}

void PrintMalformed(const char* what) {
  std::cerr << "TARPON CLIENT E0009 : malformed reply (" << what
            << ") refused. Terminating.\n";
}

// "ADDRESS port N" of the client's last server, in ordinary notation.
std::string WhereTo(const Client& client) {
  const Address& server = client.GetServerAddress();
  char text[Address::ADDRESS_TEXT_SIZE];
  server.GetIpAddress(text, sizeof text);
  return std::string(text) + " port " + std::to_string(server.GetPort());
}

// The line that names why no answer came and what to do, for a client
// whose exchange failed without a reason of its own (not TLS, not a
// malformed reply); the dump follows it.
std::string ExplainFailure(const Client& client, int timeout) {
  const std::string where = WhereTo(client);
  const int error = client.GetLastApiRc();
  const std::string late = "E0017 : no answer from the gateway at " + where +
                           " within " + std::to_string(timeout) +
                           " seconds: it may be busy or out of reach; " +
                           kTimeoutVariable + " sets a longer wait.";
  if (client.GetReason() == Connection::REASON_CONNECT_FAILED) {
    if (error == ECONNREFUSED) {
      return "E0015 : connection refused at " + where +
             ": is tarpons running there?";
    }
    if (error == ETIMEDOUT) return late;
    return "E0016 : cannot connect to " + where + ": " + ErrorText(error) +
           ". Check the address and the network.";
  }
  if (client.GetReason() == Connection::REASON_RECEIVE_TIMED_OUT) return late;
  if (client.GetState() == Connection::STATE_CONNECTION_CLOSED ||
      error == ECONNRESET || error == EPIPE) {
    return "E0018 : the gateway at " + where +
           " closed the connection without a whole answer: it may require "
           "TLS (set TARPON_TLS_CA), or refuse this address for a while "
           "after failed sign-ons.";
  }
  return "E0019 : the exchange with the gateway at " + where + " failed (" +
         client.GetReasonName() + ", rc " + std::to_string(error) +
         "); see the diagnostic information.";
}

// Says why the gateway's name gave no address: the name, or the service.
void ExplainUnresolved(const GatewayExchangeRecord& record,
                       const char* service) {
  if (record.resolveReason == Address::REASON_GET_SERVICE_BY_NAME) {
    std::cerr << "TARPON CLIENT E0014 : " << record.resolveError << ". Add \""
              << service
              << " PORT/tcp\" to /etc/services or to the file "
                 "TARPON_SERVICES names, or name another service with -S."
              << std::endl;
  } else {
    std::cerr << "TARPON CLIENT E0013 : " << record.resolveError
              << ". Check the gateway's name, or give its address."
              << std::endl;
  }
}

bool HasSwitch(const std::vector<const char*>& args,
               std::initializer_list<const char*> names) {
  for (const char* arg : args) {
    for (const char* name : names) {
      if (IsSwitch(arg, name)) return true;
    }
  }
  return false;
}

// Whether tarpon would ask for a missing password were these its options
// (engine/options.cc): only on a terminal, never with -noterm, and only for
// a request that names the user and a host destination and asks for no
// help, so that nothing is asked for that would not be sent. The gateway
// never asks: it adds -noterm.
bool WouldPrompt(const std::vector<const char*>& args, bool hosts) {
  return isatty(STDIN_FILENO) && HasSwitch(args, {"u"}) &&
         (hosts || HasSwitch(args, {"s", "sd", "d", "plu"})) &&
         !HasSwitch(args, {"noterm", "?", "M", "comapi"});
}

// Asks on the terminal, as tarpon does, for -p and -np when the options
// lack them and appends them to *options (once for every host of -hosts,
// when hosts). TARPON_RC_OK, also when nothing
// was asked (no terminal: the request goes as given), or
// TARPON_RC_NO_PASSWORD after the refusal's text when an entry was refused.
int AskForMissingPasswords(const std::vector<const char*>& args, bool hosts,
                           Secret* options) {
  bool hasOld = HasSwitch(args, {"p"});
  bool hasNew = HasSwitch(args, {"np"});
  if ((hasOld && hasNew) || !WouldPrompt(args, hosts)) return TARPON_RC_OK;
  char oldPassword[PASSWORD_PROMPT_HOST_LENGTH + 1] = "";
  char newPassword[PASSWORD_PROMPT_HOST_LENGTH + 1] = "";
  int result = PASSWORD_PROMPT_OK;
  if (!hasOld) {
    result = prompt_password_on_terminal(
        oldPassword, PASSWORD_PROMPT_HOST_LENGTH, PASSWORD_PROMPT_OLD, nullptr);
  }
  if (result == PASSWORD_PROMPT_OK && !hasNew) {
    result = prompt_password_on_terminal(
        newPassword, PASSWORD_PROMPT_HOST_LENGTH, PASSWORD_PROMPT_NEW,
        PASSWORD_PROMPT_VERIFY);
  }
  if (result == PASSWORD_PROMPT_OK) {
    // Room first, so that no append leaves a copy in a freed buffer.
    std::string* line = options->Writable();
    line->reserve(line->size() + sizeof oldPassword + sizeof newPassword + 8);
    if (!hasOld) line->append("-p ").append(oldPassword).append(" ");
    if (!hasNew) line->append("-np ").append(newPassword).append(" ");
  }
  WipeBytes(oldPassword, sizeof oldPassword);
  WipeBytes(newPassword, sizeof newPassword);
  if (result == PASSWORD_PROMPT_OK || result == PASSWORD_PROMPT_NO_TERMINAL) {
    return TARPON_RC_OK;
  }
  return TARPON_RC_NO_PASSWORD;
}

}  // namespace

namespace {

// What the command line says, apart from the gateway's options.
struct ClientArguments {
  const char* host = nullptr;
  const char* service = nullptr;
  const char* hosts = nullptr;  // -hosts LIST, or null
  Secret options;
  std::vector<const char*> passed;
};

// Scans argv into *args, printing every error; the exit status so far.
int ScanArguments(int argc, char** argv, ClientArguments* args) {
  int rc = GATEWAY_CLIENT_RC_OK;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsSwitch(arg, "t")) {
      SwitchTraceOn();
    } else if (IsSwitch(arg, "H")) {
      if (i + 1 >= argc) {
        std::cerr << "TARPON CLIENT E0004 : missing host name. Terminating.\n";
        rc = GATEWAY_CLIENT_RC_USAGE;
      } else {
        args->host = argv[++i];
      }
    } else if (IsSwitch(arg, "S")) {
      if (i + 1 >= argc || BeginsLikeSwitch(argv[i + 1])) {
        std::cerr
            << "TARPON CLIENT E0003 : missing service name. Terminating.\n";
        rc = GATEWAY_CLIENT_RC_NO_SERVICE;
      } else {
        args->service = argv[++i];
      }
    } else if (IsSwitch(arg, "hosts") && i + 1 < argc) {
      args->hosts = argv[++i];
    } else if (i == 1 && !BeginsLikeSwitch(arg)) {
      args->host = arg;
    } else {
      // Every other argument, also an unknown switch in the first place,
      // belongs to the gateway's engine.
      args->options.Writable()->append(arg).append(" ");
      args->passed.push_back(arg);
    }
  }
  return rc;
}

// -hosts: the destinations, which the options may not name themselves.
int CheckHosts(const ClientArguments& args, std::vector<std::string>* hosts) {
  if (!SplitHosts(args.hosts, hosts) ||
      HasSwitch(args.passed, {"s", "sd", "d", "plu"})) {
    std::cerr << "TARPON CLIENT E0013 : -hosts takes up to " << kMaxHosts
              << " destinations separated by commas, and the other options "
                 "name none. Terminating.\n";
    return GATEWAY_CLIENT_RC_USAGE;
  }
  return GATEWAY_CLIENT_RC_OK;
}

// The change at every host of -hosts; the exit status.
int ChangeAtEveryHost(const ClientArguments& args,
                      const std::vector<std::string>& hosts) {
  GatewayRequest request;
  std::unique_ptr<TlsContext> tls;
  if (!ExchangeTimeout(&request.timeoutSeconds) || !ClientTls(&tls)) {
    return GATEWAY_CLIENT_RC_USAGE;
  }
  request.host = args.host;
  request.service = args.service;
  request.options = args.options.Copy();
  request.tls = tls.get();
  std::vector<HostOutcome> outcomes = ChangeAtHosts(request, hosts);
  const int rc = ReportHosts(outcomes, program_output());
  program_output() << std::flush;
  return rc == GATEWAY_CLIENT_RC_PARTLY_CHANGED ? rc : tarpon_exit_status(rc);
}

}  // namespace

int GatewayClientCommandline(int argc, char** argv) {
  int rc = GATEWAY_CLIENT_RC_OK;
  TraceScope scope("GatewayClientCommandline(argc,argv)", &rc, TRACE_OFF);
  WSA wsa(1, 1);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") != 0) continue;
    PrintLongHelp(argv[0]);
    return rc;
  }
  if (argc <= 1 || (argc == 2 && (std::strncmp(argv[1], "-?", 2) == 0 ||
                                  std::strncmp(argv[1], "/?", 2) == 0))) {
    PrintHelp(argc > 0 ? argv[0] : "tarponrc");
    rc = GATEWAY_CLIENT_RC_HELP;
    return rc;
  }
  ClientArguments args;
  rc = ScanArguments(argc, argv, &args);
  Secret& options = args.options;
  std::vector<std::string> hosts;
  if (args.host == nullptr) {
    std::cerr << "TARPON CLIENT E0005 : Missing host name. Please specify the "
                 "host name or IP address."
              << std::endl;
    rc = GATEWAY_CLIENT_RC_USAGE;
  }
  if (rc == GATEWAY_CLIENT_RC_OK && args.hosts != nullptr) {
    rc = CheckHosts(args, &hosts);
  }
  if (options.size() > GATEWAY_MAX_REQUEST_LENGTH) {
    std::cerr << kTooLong;
    rc = GATEWAY_CLIENT_RC_USAGE;
  }
  if (args.service == nullptr) args.service = GATEWAY_DEFAULT_SERVICE;
  if (options.empty()) options = Secret(std::string(kHelpOptions));
  if (rc == GATEWAY_CLIENT_RC_OK) {
    rc = AskForMissingPasswords(args.passed, !hosts.empty(), &options);
  }
  if (rc == GATEWAY_CLIENT_RC_OK &&
      options.size() > GATEWAY_MAX_REQUEST_LENGTH) {
    std::cerr << kTooLong;
    rc = GATEWAY_CLIENT_RC_USAGE;
  }
  if (rc == GATEWAY_CLIENT_RC_OK && !hosts.empty()) {
    rc = ChangeAtEveryHost(args, hosts);
  } else if (rc == GATEWAY_CLIENT_RC_OK) {
    // The client's own codes (1, and 100 for no answer) pass the mapping
    // unchanged; the gateway's exit as tarpon's would.
    rc = tarpon_exit_status(
        GatewayClient(args.host, args.service, options.c_str()));
  }
  return rc;
}

int GatewayClient(const char* host, const char* service, const char* options) {
  int rc = TARPON_GATEWAY_NO_ANSWER;
  TraceScope scope("GatewayClient(host,service,options)", &rc, TRACE_OFF);
  GatewayRequest request;
  std::unique_ptr<TlsContext> tls;
  if (!ExchangeTimeout(&request.timeoutSeconds) || !ClientTls(&tls)) {
    rc = GATEWAY_CLIENT_RC_USAGE;
    return rc;
  }
  WSA wsa(1, 1);
  request.host = host;
  request.service = service;
  request.options = Secret(options, std::strlen(options));
  request.tls = tls.get();
  GatewayAnswer answer;
  GatewayExchangeRecord record;
  ExchangeWithGateway(request, &answer, &record);
  if (record.unresolved) ExplainUnresolved(record, service);
  const Client& client = *record.client;
  bool answered = client.IsGood() && record.received == Connection::COMM_OK;
  if (answer.failure == GatewayFailure::kNone) {
    program_output()
        << "TARPON remote server (KSV GATEWAY) successfully invoked. "
        << "Response received follows, (remote rc=" << answer.codeText << ")"
        << "\n"
        << Harmless(answer.text.c_str()) << std::flush;
    rc = answer.code;
  } else if (answered) {
    PrintMalformed("return code not digits");
  } else if (client.IsGood() &&
             record.received == Connection::COMM_BUFFER_TOO_SMALL &&
             record.length > 0) {
    std::cerr << "TARPON CLIENT E0007 : reply longer than "
              << GATEWAY_CLIENT_REPLY_SIZE - 1
              << " bytes refused. Terminating.\n";
  } else if (client.IsGood() &&
             record.received == Connection::COMM_BUFFER_TOO_SMALL) {
    // Only a record length field below the header's own gives no length.
    PrintMalformed("record length below its header");
  } else if (client.GetReason() == Connection::REASON_TLS_FAILED) {
    std::cerr << "TARPON CLIENT E0012 : TLS with the gateway failed: "
              << client.GetTlsFailure() << ". Terminating.\n";
  } else {
    // Unreachable, closed without a reply or part way through one, a
    // status record, a bad version, the deadline passed: the line first.
    if (!record.unresolved) {
      std::cerr << "TARPON CLIENT "
                << ExplainFailure(client, request.timeoutSeconds) << std::endl;
    }
    program_output()
        << "TARPON CLIENT errors encountered, diagnostic information "
           "follows:"
        << client << std::endl;
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
    rc = GATEWAY_CLIENT_RC_USAGE;
    return rc;
  }
  const Secret text(
      option_line::Request(user, oldPassword, newPassword, server, options));
  if (text.size() > GATEWAY_MAX_REQUEST_LENGTH) {
    std::cerr << kTooLong;
    rc = GATEWAY_CLIENT_RC_USAGE;
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
    OutputCapture capture;
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
