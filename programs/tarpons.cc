// tarpons: the TCP/IP gateway to the password-change engine.
#include "gateway/gateway_server.h"
#include "trace/standard_streams.h"
#include "version.h"

#ifdef TARPON_EMULATED_NODE
#include "sna/node_config.h"

namespace {

// For -check: the emulated node's configuration and its user databases.
bool LoadNode(NodeFacts* facts, std::string* error) {
  sna::NodeConfig config;
  if (!sna::LoadNodeConfig(&config, error)) return false;
  for (const auto& host : config.hosts) {
    facts->userDatabases.push_back(host.second.users);
    if (host.second.revoke_after > 0) {
      facts->revokeAfter.emplace_back(host.first, host.second.revoke_after);
    }
  }
  return true;
}

// The host a conversation reaches: a symbolic destination's partner LU,
// an alias's qualified name, upper-cased; "" when the node has none (an
// alias it lacks, a qualified name that is neither a host nor a partner).
std::string ResolveHost(const std::string& partnerLu,
                        const std::string& symbolicDestination) {
  std::string error;
  std::shared_ptr<const sna::NodeConfig> config =
      sna::LoadSharedNodeConfig(&error);
  if (config == nullptr) return std::string();
  std::string lu = partnerLu;
  if (lu.empty() && !symbolicDestination.empty()) {
    auto side = config->side_info.find(symbolicDestination);
    if (side != config->side_info.end()) lu = side->second.partner_lu;
  }
  if (!lu.empty() && lu.find('.') == std::string::npos) {
    auto alias = config->partner_lus.find(lu);
    if (alias == config->partner_lus.end()) return std::string();
    lu = alias->second;
  }
  lu = sna::UpperCase(lu);
  // A qualified name the node has neither as a host nor as a partner.
  if (config->hosts.count(lu) != 0) return lu;
  for (const auto& partner : config->partner_lus) {
    if (sna::UpperCase(partner.second) == lu) return lu;
  }
  return std::string();
}

}  // namespace
#else
// Another SNA provider: its configuration is its own to check, and a
// request's partner LU counts as it names it.
constexpr NodeLoader LoadNode = nullptr;
const HostResolver ResolveHost;
#endif

int main(int argc, char** argv) {
  if (IsVersionRequest(argc, argv)) return PrintVersion("tarpons");
  PrepareStandardStreams();
  return GatewayServerMain(argc, argv, LoadNode, ResolveHost);
}
