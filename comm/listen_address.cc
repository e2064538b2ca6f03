#include "comm/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <system_error>

bool ParseListenAddress(const std::string& text, ListenAddress* address) {
  std::string host;
  size_t colon;
  int family;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() ||
        text[close + 1] != ':') {
      return false;
    }
    host = text.substr(1, close - 1);
    colon = close + 1;
    family = AF_INET6;
  } else {
    colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != text.npos) {
      return false;
    }
    host = text.substr(0, colon);
    family = AF_INET;
  }
  in6_addr scratch;
  if (inet_pton(family, host.c_str(), &scratch) != 1) return false;
  std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return false;
  unsigned long port = 0;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    port = port * 10 + static_cast<unsigned long>(c - '0');
  }
  if (port > 65535) return false;
  address->host = host;
  address->port = static_cast<uint16_t>(port);
  return true;
}

int OpenListeningSocket(const ListenAddress& address, const std::string& text,
                        std::string* error) {
  sockaddr_storage storage = {};
  socklen_t length = 0;
  int family = address.IsIpv6() ? AF_INET6 : AF_INET;
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(address.port);
    inet_pton(AF_INET6, address.host.c_str(), &in6->sin6_addr);
    length = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(address.port);
    inet_pton(AF_INET, address.host.c_str(), &in4->sin_addr);
    length = sizeof *in4;
  }
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  bool ok = fd >= 0 &&
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            (family != AF_INET6 ||
             setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0) &&
            bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
            listen(fd, SOMAXCONN) == 0;
  if (ok) return fd;
  int failure = errno;
  if (fd >= 0) close(fd);
  *error = "cannot listen on " + text + ": " +
           std::system_category().message(failure);
  return -1;
}
