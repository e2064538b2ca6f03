// What tarpon-web asks its gateway to learn that it can serve: a request
// that changes nothing (an option the engine does not know, which it
// refuses before any host is asked), and how its answer reads. /readyz and
// -check send it; -check also probes each destination (ProbeRequest).
//
// A probe is a whole change request for a user ID no host has, sent with
// the PROXY header's probe TLV: a gateway that knows the TLV processes the
// options as for a change, resolves the destination at its SNA node and
// answers without a conversation (GATEWAY_RC_PROBE_KNOWN or
// GATEWAY_RC_PROBE_UNKNOWN). The request leaves out both passwords, which
// the gateway supplies for a probe alone, so that a gateway without the
// TLV refuses it before any host is asked.
#ifndef TARPON_WEB_READINESS_H_
#define TARPON_WEB_READINESS_H_

#include <string>

#include "gateway_client/gateway_exchange.h"
#include "web/web_settings.h"

// The longest /readyz waits for the gateway, in seconds (or -timeout when
// that is shorter).
constexpr int kReadinessDeadlineSeconds = 5;

struct ReadyVerdict {
  bool ready = false;
  std::string detail;  // a few words: "gateway answers", or why not
};

// /readyz's body: "ready\n", or "not ready: " and why.
std::string ReadyBody(const ReadyVerdict& verdict);

// The no-op request to the gateway of settings, with a PROXY header that
// names loopback when settings send one; tls as the changes use it.
GatewayRequest NoOpRequest(const WebSettings& settings, const TlsContext* tls,
                           int timeoutSeconds);
// Ready when the gateway answered the no-op request with the engine's
// refusal of the option (its loop and its engine, SNA node started,
// work); not ready for no answer, a refused PROXY header, or an engine
// that could not start the node.
ReadyVerdict JudgeNoOpAnswer(const GatewayAnswer& answer, int code);

// The probe of destination: the request, with the PROXY header and its
// probe TLV (whatever settings.proxyHeader says: a probe needs one).
GatewayRequest ProbeRequest(const WebSettings& settings, const TlsContext* tls,
                            const std::string& destination);
// The check's line for a probe's answer: ok when the node knows the
// destination, else why.
ReadyVerdict JudgeProbeAnswer(const std::string& destination,
                              const GatewayAnswer& answer, int code);
// True when the gateway answered without probing: it takes no PROXY header
// from this server, or does not know the probe.
bool IsUnprobed(const GatewayAnswer& answer, int code);

#endif  // TARPON_WEB_READINESS_H_
