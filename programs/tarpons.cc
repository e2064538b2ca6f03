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

}  // namespace
#else
// Another SNA provider: its configuration is its own to check.
constexpr NodeLoader LoadNode = nullptr;
#endif

int main(int argc, char** argv) {
  if (IsVersionRequest(argc, argv)) return PrintVersion("tarpons");
  PrepareStandardStreams();
  return GatewayServerMain(argc, argv, LoadNode);
}
