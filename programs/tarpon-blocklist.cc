// tarpon-blocklist: builds the list of passwords the gateway refuses and
// asks it (blocklist/blocklist_tool.h).
#include <iostream>

#include "blocklist/blocklist_tool.h"

int main(int argc, char** argv) {
  return BlocklistToolMain(argc, argv, std::cin, std::cout, std::cerr);
}
