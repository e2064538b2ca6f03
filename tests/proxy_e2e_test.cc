// End-to-end tests of the gateway behind a balancer: PROXY headers from a
// trusted address name the client, a health check closes without a line,
// bad headers are refused with one, and an untrusted address is never read
// as a header; the metrics count what happened. Loopback only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/proxy_header.h"
#include "comm/record_format.h"
#include "tests/support/gateway_support.h"

namespace {

sockaddr_storage Endpoint(const char* text, uint16_t port) {
  sockaddr_storage address = {};
  if (std::strchr(text, ':') != nullptr) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    inet_pton(AF_INET6, text, &v6->sin6_addr);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    inet_pton(AF_INET, text, &v4->sin_addr);
  }
  return address;
}

std::string HelpRecord() {
  const char userData[record_format::kUserDataLength] = {};
  return record_format::EncodeDataRecord(userData, "-?", 2);
}

// Sends bytes from source, closes the sending side unless keepOpen, and
// returns the reply's return code, or "closed" without a whole reply.
std::string Exchange(const std::string& source, int port,
                     const std::string& bytes, bool keepOpen = false) {
  int fd = e2e::ConnectFrom(source, port);
  if (fd < 0) return "no connection";
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (!keepOpen) shutdown(fd, SHUT_WR);
  std::string reply = e2e::SendAndReadToClose(fd, "");
  if (reply.size() < record_format::kHeaderLength) return "closed";
  return std::string(reply.data() + 8, strnlen(reply.data() + 8, 16));
}

TEST(ProxyGatewayTest, TrustsOnlyItsBalancersHeaders) {
  e2e::Sandbox box;
  box.Write("sna-node.conf", e2e::kGatewayNodeConfig);
  box.Write("users.db", "ALICE SECRET1\n");
  int port = e2e::FreeLoopbackPort();
  int metricsPort = e2e::FreeLoopbackPort();
  ASSERT_GT(port, 0);
  box.Write("services", "tarponGateway " + std::to_string(port) + "/tcp\n");
  auto gateway = e2e::StartGateway(
      e2e::BinDir() + "/tarpons", box, "gateway",
      {"TARPON_SNA_NODE=" + box.Path("sna-node.conf"),
       "TARPON_SERVICES=" + box.Path("services"), "TARPON_SESSION_TIMEOUT=1"},
      {"-proxy-from", "127.0.0.1,::1", "-metrics",
       "127.0.0.1:" + std::to_string(metricsPort)});
  ASSERT_TRUE(gateway) << box.Read("gateway.err");
  const std::string help = HelpRecord();
  const std::string v2Local = EncodeProxyV2Local();
  struct Case {
    const char* name;
    const char* source;
    std::string bytes;
    bool keepOpen;
    const char* code;
    const char* logged;  // a line the log must hold, or ""
  };
  const Case cases[] = {
      {"v1 IPv4", "127.0.0.1",
       "PROXY TCP4 198.51.100.7 192.0.2.1 40000 5000\r\n" + help, false, "0004",
       "IP(198.51.100.7) via(127.0.0.1) tarponRc(4) \n"},
      {"v2 IPv4", "127.0.0.1",
       EncodeProxyV2(Endpoint("198.51.100.8", 40001),
                     Endpoint("192.0.2.1", 5000)) +
           help,
       false, "0004", "IP(198.51.100.8) via(127.0.0.1) tarponRc(4) \n"},
      {"v2 IPv6", "127.0.0.1",
       EncodeProxyV2(Endpoint("2001:db8::7", 40002),
                     Endpoint("2001:db8::1", 5000)) +
           help,
       false, "0004", "IP(2001:db8::7) via(127.0.0.1) tarponRc(4) \n"},
      {"v2 LOCAL, a health check", "127.0.0.1", v2Local, false, "closed", ""},
      {"truncated", "127.0.0.1", "PROXY TCP4 198.51.100.9", false, "closed",
       "TARPON SERVER refused IP(127.0.0.1): bad PROXY header (truncated)\n"},
      {"oversized", "127.0.0.1", "PROXY TCP4 " + std::string(200, '1'), false,
       "closed",
       "TARPON SERVER refused IP(127.0.0.1): bad PROXY header (header longer "
       "than 107 bytes)\n"},
      {"untrusted source: refused, never run", "127.0.0.5",
       "PROXY TCP4 198.51.100.10 192.0.2.1 40000 5000\r\n" + help, false,
       "1090",
       "TARPON SERVER refused IP(127.0.0.5): a PROXY header from an address "
       "that -proxy-from does not list: add the address to -proxy-from, or "
       "have the sender send none (tarpon-web -proxy-header off)\n"},
      {"trusted source without a header: a client itself", "127.0.0.1", help,
       false, "0004", ") IP(127.0.0.1) tarponRc(4) \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.code, Exchange(c.source, port, c.bytes, c.keepOpen));
  }
  e2e::WaitForText(box, "gateway.log", "IP(127.0.0.1) tarponRc(4)", 5000);
  std::string log = e2e::WithoutTimeStamps(box.Read("gateway.log"));
  for (const Case& c : cases) {
    EXPECT_NE(std::string::npos, log.find(c.logged)) << c.name << "\n" << log;
  }
  // The health check is no session: sessions 1 to 3 are the proxied ones.
  EXPECT_NE(std::string::npos, log.find("Session id(3) IP(2001:db8::7)"));
  std::string metrics = e2e::HttpGet(metricsPort, "/metrics");
  EXPECT_NE(std::string::npos,
            metrics.find("\ntarpons_proxy_health_checks_total 1\n"))
      << metrics;
  EXPECT_NE(std::string::npos,
            metrics.find("\ntarpons_proxy_headers_refused_total 2\n"));
  EXPECT_NE(
      std::string::npos,
      metrics.find("tarpons_sessions_total{outcome=\"information\"} 4\n"));
}

}  // namespace
