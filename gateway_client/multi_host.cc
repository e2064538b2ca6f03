#include "gateway_client/multi_host.h"

#include <thread>

#include "comm/gateway_protocol.h"
#include "contract/secret.h"
#include "contract/tarpon_rc.h"
#include "gateway_client/tarpon_gateway.h"

namespace {

// The verdicts after which no other host is asked: the same current
// password would fail there too, and count there too.
bool StopsTheOthers(const GatewayAnswer& answer) {
  if (answer.failure != GatewayFailure::kNone) return false;
  const int code = answer.code;
  return code == TARPON_RC_HOST_STATUS_BASE + 1 ||
         code == TARPON_RC_HOST_STATUS_BASE + 2 ||
         code == TARPON_RC_ACCOUNT_HELD;
}

bool Changed(const HostOutcome& outcome) {
  return outcome.tried && outcome.answer.failure == GatewayFailure::kNone &&
         outcome.answer.code == TARPON_RC_OK;
}

void Ask(const GatewayRequest& request, const std::string& host,
         Exchange exchange, HostOutcome* outcome) {
  GatewayRequest one;
  one.host = request.host;
  one.service = request.service;
  one.options = request.options.Copy();
  one.options.Writable()->append("-s " + host + " ");
  one.timeoutSeconds = request.timeoutSeconds;
  one.prelude = request.prelude;
  one.tls = request.tls;
  outcome->host = host;
  outcome->tried = true;
  exchange(one, &outcome->answer, nullptr);
}

// The first line of the engine's text, without blanks around it.
std::string FirstLine(const std::string& text) {
  const size_t begin = text.find_first_not_of("\r\n ");
  if (begin == std::string::npos) return std::string();
  const size_t end = text.find_first_of("\r\n", begin);
  return text.substr(begin, end == std::string::npos ? end : end - begin);
}

std::string Names(const std::vector<HostOutcome>& outcomes, bool changed) {
  std::string names;
  for (const HostOutcome& outcome : outcomes) {
    if (Changed(outcome) != changed) continue;
    names += (names.empty() ? "" : ", ") + outcome.host;
  }
  return names;
}

}  // namespace

bool SplitHosts(const std::string& list, std::vector<std::string>* hosts) {
  hosts->clear();
  size_t at = 0;
  for (;;) {
    const size_t comma = list.find(',', at);
    std::string name = list.substr(
        at, comma == std::string::npos ? std::string::npos : comma - at);
    if (name.empty() || name.find_first_of(" \t") != std::string::npos ||
        hosts->size() == kMaxHosts) {
      return false;
    }
    hosts->push_back(name);
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

std::vector<HostOutcome> ChangeAtHosts(const GatewayRequest& request,
                                       const std::vector<std::string>& hosts,
                                       Exchange exchange) {
  std::vector<HostOutcome> outcomes(hosts.size());
  for (size_t i = 0; i < hosts.size(); ++i) outcomes[i].host = hosts[i];
  if (hosts.empty()) return outcomes;
  Ask(request, hosts[0], exchange, &outcomes[0]);
  if (StopsTheOthers(outcomes[0].answer)) return outcomes;
  std::vector<std::thread> others;
  for (size_t i = 1; i < hosts.size(); ++i) {
    others.emplace_back(
        [&, i] { Ask(request, hosts[i], exchange, &outcomes[i]); });
  }
  for (std::thread& thread : others) thread.join();
  return outcomes;
}

int ReportHosts(const std::vector<HostOutcome>& outcomes, std::ostream& out) {
  int first = TARPON_RC_OK;
  size_t changed = 0;
  for (const HostOutcome& outcome : outcomes) {
    out << "TARPON CLIENT " << outcome.host << ": ";
    const GatewayAnswer& answer = outcome.answer;
    if (!outcome.tried) {
      out << "not tried: the first host refused the request\n";
    } else if (answer.failure != GatewayFailure::kNone) {
      out << "no answer from the gateway (" << answer.detail << ")\n";
    } else if (answer.code == TARPON_RC_OK) {
      out << "changed (rc=" << answer.codeText << ")\n";
      ++changed;
    } else {
      out << "not changed (rc=" << answer.codeText
          << "): " << FirstLine(answer.text) << "\n";
    }
    if (!Changed(outcome) && first == TARPON_RC_OK) {
      first = !outcome.tried ? TARPON_RC_OK
              : answer.failure == GatewayFailure::kNone
                  ? answer.code
                  : TARPON_GATEWAY_NO_ANSWER;
    }
  }
  out << "TARPON CLIENT " << changed << " of " << outcomes.size()
      << " hosts changed";
  if (changed > 0) out << "; the new password: " << Names(outcomes, true);
  if (changed < outcomes.size()) {
    out << "; still the old password: " << Names(outcomes, false);
  }
  out << "\n";
  if (changed == outcomes.size()) return TARPON_RC_OK;
  if (changed > 0) return GATEWAY_CLIENT_RC_PARTLY_CHANGED;
  return first;
}
