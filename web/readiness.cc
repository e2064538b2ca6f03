#include "web/readiness.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "comm/gateway_protocol.h"
#include "comm/proxy_header.h"
#include "contract/tarpon_rc.h"

namespace {

// The no-op request's option: no engine knows it.
const char kNoOpOptions[] = " -tarpon-web-check";
// The probe's user ID; it never goes with passwords, and no host is asked
// about it.
const char kProbeUser[] = "TARPONCK";

sockaddr_storage Loopback() {
  sockaddr_storage loopback = {};
  auto* ipv4 = reinterpret_cast<sockaddr_in*>(&loopback);
  ipv4->sin_family = AF_INET;
  ipv4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return loopback;
}

GatewayRequest ToGateway(const WebSettings& settings, const TlsContext* tls,
                         int timeoutSeconds) {
  GatewayRequest request;
  request.host = settings.gatewayHost;
  request.service = settings.gatewayService;
  request.timeoutSeconds = timeoutSeconds;
  request.tls = tls;
  return request;
}

// Why the gateway gave no answer that counts, for a line or a 503's body.
std::string NoAnswer(const GatewayAnswer& answer) {
  switch (answer.failure) {
    case GatewayFailure::kClosed:
      return "the gateway closed without answering";
    case GatewayFailure::kTimeout:
      return "the gateway did not answer in time";
    case GatewayFailure::kTls:
      return "TLS with the gateway failed";
    default:
      return "no gateway answers" +
             (answer.detail.empty() ? "" : " (" + answer.detail + ")");
  }
}

// The first line of a text, printable ASCII only, at most 120 bytes.
std::string FirstLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\n' && !line.empty()) break;
    if (c >= 0x20 && c <= 0x7E && line.size() < 120) line += c;
  }
  return line;
}

}  // namespace

std::string ReadyBody(const ReadyVerdict& verdict) {
  return verdict.ready ? "ready\n" : "not ready: " + verdict.detail + "\n";
}

GatewayRequest NoOpRequest(const WebSettings& settings, const TlsContext* tls,
                           int timeoutSeconds) {
  GatewayRequest request = ToGateway(settings, tls, timeoutSeconds);
  request.options = Secret(std::string(kNoOpOptions));
  if (settings.proxyHeader) {
    request.prelude = EncodeProxyV2(Loopback(), Loopback());
  }
  return request;
}

ReadyVerdict JudgeNoOpAnswer(const GatewayAnswer& answer, int code) {
  if (answer.failure != GatewayFailure::kNone) return {false, NoAnswer(answer)};
  if (code == GATEWAY_RC_PROXY_REFUSED) {
    return {false, "the gateway refuses the PROXY header"};
  }
  // The engine started the SNA node, then refused the option (and the
  // passwords' absence).
  if (code == TARPON_RC_BAD_OPTION || code == TARPON_RC_INFORMATION) {
    return {true, "the gateway answers"};
  }
  return {false, "the gateway's engine cannot serve (rc " +
                     std::to_string(code) + ")"};
}

GatewayRequest ProbeRequest(const WebSettings& settings, const TlsContext* tls,
                            const std::string& destination) {
  GatewayRequest request = ToGateway(settings, tls, settings.timeoutSeconds);
  request.options =
      Secret(std::string(" -u ") + kProbeUser + " -s " + destination);
  request.prelude = EncodeProxyV2Probe(Loopback(), Loopback());
  return request;
}

bool IsUnprobed(const GatewayAnswer& answer, int code) {
  return answer.failure == GatewayFailure::kNone &&
         (code == GATEWAY_RC_PROXY_REFUSED || code == TARPON_RC_BAD_OPTION ||
          code == TARPON_RC_NO_PASSWORD);
}

ReadyVerdict JudgeProbeAnswer(const std::string& destination,
                              const GatewayAnswer& answer, int code) {
  const std::string subject = "destination " + destination;
  if (answer.failure != GatewayFailure::kNone) {
    return {false, subject + ": " + NoAnswer(answer)};
  }
  if (code == GATEWAY_RC_PROBE_KNOWN) {
    return {true, subject + ": " + FirstLine(answer.text)};
  }
  if (code == GATEWAY_RC_PROBE_UNKNOWN) {
    return {false, subject +
                       ": the gateway's SNA node has no such "
                       "destination (side information or partner LU)"};
  }
  if (code == GATEWAY_RC_PROXY_REFUSED) {
    return {false, subject +
                       ": not probed, the gateway takes no PROXY "
                       "header from this server (-proxy-from)"};
  }
  if (code == TARPON_RC_BAD_OPTION || code == TARPON_RC_NO_PASSWORD) {
    return {false, subject +
                       ": not probed, the gateway answers no probes "
                       "(a tarpons older than this tarpon-web?)"};
  }
  if (code == GATEWAY_RC_PROBE_REFUSED) {
    return {false, subject + ": the gateway's engine refuses it: " +
                       FirstLine(answer.text)};
  }
  return {false, subject + ": the gateway answered rc " + std::to_string(code)};
}
