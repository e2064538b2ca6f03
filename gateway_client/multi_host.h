// tarponrc -hosts LIST: one change at several hosts. The request goes to
// the first host alone; when that host refuses the current password (or
// the user ID is unknown or held), nothing else is tried, so that a wrong
// password costs one failure, not one per host. Otherwise the others are
// asked at once, each on a connection of its own. One line per host, then
// a summary naming the hosts that take the new password and those that
// still take the old one.
#ifndef TARPON_GATEWAY_CLIENT_MULTI_HOST_H_
#define TARPON_GATEWAY_CLIENT_MULTI_HOST_H_

#include <ostream>
#include <string>
#include <vector>

#include "gateway_client/gateway_exchange.h"

// Some hosts changed the password and others did not.
constexpr int GATEWAY_CLIENT_RC_PARTLY_CHANGED = 3;

// Splits "a,b,c" into its names: false for an empty name, a name with a
// blank, or more than kMaxHosts names.
constexpr size_t kMaxHosts = 16;
bool SplitHosts(const std::string& list, std::vector<std::string>* hosts);

// One host's outcome.
struct HostOutcome {
  std::string host;
  bool tried = false;
  GatewayAnswer answer;
};

// Runs request (its options without a destination) at each of hosts, as
// the header says; exchange is ExchangeWithGateway but for tests.
using Exchange = int (*)(const GatewayRequest&, GatewayAnswer*,
                         GatewayExchangeRecord*);
std::vector<HostOutcome> ChangeAtHosts(const GatewayRequest& request,
                                       const std::vector<std::string>& hosts,
                                       Exchange exchange = ExchangeWithGateway);

// Prints the lines and the summary; the exit status: 0 when every host
// changed, GATEWAY_CLIENT_RC_PARTLY_CHANGED when some did, else the
// first failure's, as a single change would exit.
int ReportHosts(const std::vector<HostOutcome>& outcomes, std::ostream& out);

#endif  // TARPON_GATEWAY_CLIENT_MULTI_HOST_H_
