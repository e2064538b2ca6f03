// tarpon-blocklist: builds the list of passwords the gateway refuses and
// asks it (blocklist/blocklist_tool.h).
#include <iostream>

#include "blocklist/blocklist_tool.h"
#include "version.h"

int main(int argc, char** argv) {
  if (IsVersionRequest(argc, argv)) return PrintVersion("tarpon-blocklist");
  return BlocklistToolMain(argc, argv, std::cin, std::cout, std::cerr);
}
