// The page's account of a change to several hosts: a table of host,
// outcome and what to do, then in plain words which hosts take the new
// password now and which still take the old one. Pure: text in, HTML out.
#ifndef TARPON_WEB_HOST_TABLE_H_
#define TARPON_WEB_HOST_TABLE_H_

#include <functional>
#include <string>
#include <vector>

#include "web/catalogue.h"
#include "web/multi_change.h"

// A destination's label as the page shows it.
using LabelOf = std::function<std::string(const std::string& name)>;

// The message key that speaks for the whole change: "changed" when every
// host changed, "partlyChanged" when some did, else the first asked one's.
std::string OverallKey(const std::vector<DestinationResult>& results);

// The table and the lines after it, escaped.
std::string HostTable(const Texts& texts,
                      const std::vector<DestinationResult>& results,
                      const LabelOf& label);

// The names of the hosts that did not change, for a retry of just those.
std::vector<std::string> Unchanged(
    const std::vector<DestinationResult>& results);

#endif  // TARPON_WEB_HOST_TABLE_H_
