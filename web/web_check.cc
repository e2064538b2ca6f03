#include "web/web_check.h"

#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "comm/gateway_protocol.h"
#include "comm/listen_address.h"
#include "comm/tls.h"
#include "gateway_client/gateway_exchange.h"
#include "web/catalogue.h"
#include "web/readiness.h"
#include "web/web_state.h"

namespace {

struct CheckLines {
  bool passed = true;
  void Line(bool ok, const std::string& text) {
    passed = passed && ok;
    std::cout << (ok ? "ok      " : "FAILED  ") << text << "\n";
  }
  // Passes.
  void Warn(const std::string& text) {
    std::cout << "warning " << text << "\n";
  }
};

void CheckAddresses(const WebSettings& settings, CheckLines* report) {
  std::vector<std::string> addresses = settings.listen;
  if (!settings.redirectListen.empty()) {
    addresses.push_back(settings.redirectListen);
  }
  if (!settings.metricsListen.empty()) {
    addresses.push_back(settings.metricsListen);
  }
  for (const std::string& text : addresses) {
    ListenAddress address;
    std::string error;
    int fd = ParseListenAddress(text, &address)
                 ? OpenListeningSocket(address, text, &error)
                 : -1;
    if (fd >= 0) ::close(fd);
    report->Line(fd >= 0, "listen address " + text +
                              (fd >= 0 ? " can be bound" : ": " + error));
  }
}

void CheckFiles(const WebSettings& settings, CheckLines* report) {
  std::string error;
  auto tls = LoadServerTls(settings, &error);
  report->Line(tls != nullptr, tls != nullptr
                                   ? "certificate " + settings.certificate +
                                         " and key " + settings.key + " load"
                                   : error);
  if (tls != nullptr) {
    std::string line;
    int verdict = JudgeCertificateExpiry(tls->native_handle(),
                                         settings.certificate, &line);
    if (verdict == 1) {
      report->Warn(line);
    } else {
      report->Line(verdict == 0, line);
    }
  }
  error.clear();
  for (const char* file :
       {"/page.html", "/static/tarpon-web.js", "/static/tarpon-web.css",
        "/static/favicon.svg", "/openapi.json"}) {
    ReadAsset(settings.assets + file, &error);
    if (!error.empty()) break;
  }
  report->Line(error.empty(), error.empty() ? "assets in " + settings.assets
                                            : "assets: " + error);
  error.clear();
  Catalogue catalogue;
  bool read =
      catalogue.Load(settings.assets + "/i18n", settings.language, &error);
  report->Line(read, read ? "catalogues in " + settings.assets +
                                "/i18n, default language " + settings.language
                          : "catalogues: " + error);
}

// The line for the gateway's answer to the check's request.
void ReportGateway(const WebSettings& settings, const GatewayAnswer& answer,
                   int code, CheckLines* report) {
  std::string gateway = "gateway " + settings.gatewayHost + ":" +
                        settings.gatewayService + " (PROXY header " +
                        (settings.proxyHeader ? "on" : "off") + ")";
  if (answer.failure == GatewayFailure::kNone &&
      code == GATEWAY_RC_PROXY_REFUSED) {
    report->Line(false, gateway +
                            " refuses the PROXY header: start tarpons with "
                            "-proxy-from naming this server's address, or "
                            "start tarpon-web with -proxy-header off");
  } else if (answer.failure == GatewayFailure::kNone) {
    ReadyVerdict verdict = JudgeNoOpAnswer(answer, code);
    report->Line(verdict.ready,
                 gateway + (verdict.ready ? " answers"
                                          : " answers, but " + verdict.detail));
  } else if (answer.failure == GatewayFailure::kClosed) {
    report->Line(false, gateway + " closed without answering: does it want " +
                            (settings.proxyHeader ? "no" : "a") +
                            " PROXY header, or TLS (TARPON_TLS_CA)?");
  } else {
    report->Line(
        false,
        gateway + ": " + (answer.detail.empty() ? "no answer" : answer.detail));
  }
}

// Each destination as the gateway's SNA node resolves it, without a
// conversation; after a refused PROXY header one line says why none was
// probed.
void ProbeDestinations(const WebSettings& settings, const TlsContext* tls,
                       CheckLines* report) {
  for (const auto& [name, label] : settings.destinations) {
    GatewayRequest request = ProbeRequest(settings, tls, name);
    GatewayAnswer answer;
    int code = ExchangeWithGateway(request, &answer);
    ReadyVerdict verdict = JudgeProbeAnswer(name, answer, code);
    // A gateway that cannot be probed (it takes no PROXY header from
    // here, or knows no probe) may serve all the same: a warning.
    if (IsUnprobed(answer, code)) {
      report->Warn(verdict.detail);
      return;
    }
    report->Line(verdict.ready, verdict.detail);
  }
}

// False when the gateway's TLS settings are refused: nothing more is
// checked then.
bool CheckGateway(const WebSettings& settings, CheckLines* report) {
  std::string error;
  std::unique_ptr<TlsContext> gatewayTls =
      TlsContext::ClientFromEnvironment(&error);
  if (!error.empty()) {
    report->Line(false, "gateway TLS settings refused: " + error);
    return false;
  }
  GatewayRequest request =
      NoOpRequest(settings, gatewayTls.get(), settings.timeoutSeconds);
  GatewayAnswer answer;
  int code = ExchangeWithGateway(request, &answer);
  ReportGateway(settings, answer, code, report);
  if (answer.failure == GatewayFailure::kNone &&
      code != GATEWAY_RC_PROXY_REFUSED) {
    ProbeDestinations(settings, gatewayTls.get(), report);
  }
  return true;
}

}  // namespace

int CheckWeb(const WebSettings& settings) {
  CheckLines report;
  CheckAddresses(settings, &report);
  CheckFiles(settings, &report);
  if (!CheckGateway(settings, &report)) return 1;
  return report.passed ? 0 : 1;
}
