// An address to listen on, as -metrics and tarpon-web's -listen take it,
// and a listening socket bound to one: the one way both the metrics
// listener and tarpon-web open theirs.
#ifndef TARPON_COMM_LISTEN_ADDRESS_H_
#define TARPON_COMM_LISTEN_ADDRESS_H_

#include <cstdint>
#include <string>

// A numeric address and a port.
struct ListenAddress {
  std::string host;  // "127.0.0.1" or "::1", without brackets
  uint16_t port = 0;
  bool IsIpv6() const { return host.find(':') != std::string::npos; }
};

// Parses "IPv4:PORT" ("127.0.0.1:9101") or "[IPv6]:PORT" ("[::1]:9101");
// the port from 0 to 65535, where 0 lets the system choose one. Host names
// are refused. False, with *address unchanged, for any other text.
bool ParseListenAddress(const std::string& text, ListenAddress* address);

// A TCP socket of the address's family (an IPv6 one for IPv6 alone), with
// SO_REUSEADDR, bound to the address and listening with the system's
// largest backlog; close-on-exec. The caller owns the descriptor. -1, with
// "cannot listen on TEXT: reason" in *error, when a step fails (text is
// the address as the user wrote it).
int OpenListeningSocket(const ListenAddress& address, const std::string& text,
                        std::string* error);

#endif  // TARPON_COMM_LISTEN_ADDRESS_H_
