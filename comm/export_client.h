// ExportClient passes an accepted connection from a Listener to a Server.
#ifndef TARPON_COMM_EXPORT_CLIENT_H_
#define TARPON_COMM_EXPORT_CLIENT_H_

#include <cstdint>

struct ExportClient {
  // The peer's address in its standard text form (dotted-decimal for IPv4),
  // with a terminating zero byte; INET6_ADDRSTRLEN bytes.
  char clientAddress[46];
  // The accepted socket handle in network byte order.
  uint32_t socket;
};

#endif  // TARPON_COMM_EXPORT_CLIENT_H_
