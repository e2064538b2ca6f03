// ExportClient passes an accepted connection from a Listener to a Server.
#ifndef TARPON_COMM_EXPORT_CLIENT_H_
#define TARPON_COMM_EXPORT_CLIENT_H_

#include <cstdint>

struct ExportClient {
  // The peer's IPv4 address, dotted-decimal, with a terminating zero byte.
  char clientAddress[16];
  // The accepted socket handle in network byte order.
  uint32_t socket;
};

#endif  // TARPON_COMM_EXPORT_CLIENT_H_
