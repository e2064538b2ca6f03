// The remote client against a fake gateway: a loopback listener thread that
// reads the request record and answers with crafted bytes.
#include "gateway_client/gateway_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/tls.h"
#include "tests/support/test_support.h"
#include "tests/support/tls_test_support.h"
#include "trace/program_output.h"

namespace {

constexpr int kWaitMs = 10000;

std::string Record(char type, uint32_t length, const std::string& userData,
                   const std::string& data) {
  std::string record(44, '\0');
  record[0] = static_cast<char>(length >> 8);
  record[1] = static_cast<char>(length & 0xFF);
  record[2] = type;
  record.replace(4, 4, "01.0");
  record.replace(8, userData.size(), userData);
  return record + data;
}

std::string Reply(const std::string& returnCode, const std::string& text) {
  return Record('D', static_cast<uint32_t>(44 + text.size()), returnCode, text);
}

bool Waits(IoResult status) { return status == IoResult::kWouldBlock; }

// One accepted connection, in clear text or, with a context, inside TLS on
// a non-blocking socket. Every wait is bounded in steps and by kWaitMs.
class Channel {
 public:
  Channel(int fd, const TlsContext* tls) : fd_(fd) {
    if (tls == nullptr) return;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string error;
    session_ = TlsSession::ForServer(*tls, fd, &error);
    IoResult status = session_ ? IoResult::kWouldBlock : IoResult::kFailed;
    for (int step = 0; step < 100 && Waits(status) && Wait(); ++step) {
      status = session_->Handshake();
    }
    ok_ = status == IoResult::kOk;
    if (!ok_) {
      // As a gateway should: the client reads the alert, not a reset.
      shutdown(fd, SHUT_WR);
      char scratch[4096];
      for (int step = 0;
           step < 100 && Wait() && recv(fd, scratch, sizeof scratch, 0) > 0;
           ++step) {
      }
    }
  }
  ~Channel() {
    if (session_ && ok_) session_->Close();
    close(fd_);
  }
  bool Ok() const { return ok_; }

  // Receives once; "" when the peer closed or the wait ran out.
  std::string ReceiveSome() {
    char buffer[4096];
    size_t count = 0;
    IoResult status = IoResult::kWouldBlock;
    for (int step = 0; step < 100 && Waits(status) && Wait(); ++step) {
      if (!session_) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        count = n > 0 ? static_cast<size_t>(n) : 0;
        break;
      }
      status = session_->ReadSome(buffer, sizeof buffer, &count);
    }
    return std::string(buffer, count);
  }
  void Send(const std::string& bytes) {
    if (!session_) {
      send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      return;
    }
    size_t count = 0;
    IoResult status = IoResult::kWouldBlock;
    for (int step = 0; step < 100 && Waits(status) && Wait(true); ++step) {
      status = session_->WriteSome(bytes.data(), bytes.size(), &count);
    }
  }

 private:
  // Waits for what the session's last step waited for, or at first for
  // what the caller is about to do.
  bool Wait(bool writing = false) {
    bool write = session_ && (session_->WantsWrite() || writing);
    short events = write ? POLLOUT : POLLIN;
    pollfd ready = {fd_, events, 0};
    return poll(&ready, 1, kWaitMs) == 1;
  }

  int fd_;
  std::unique_ptr<TlsSession> session_;
  bool ok_ = true;
};

// Serves one connection on a free loopback port named tarponGateway, inside
// TLS with a context: reads the request record (or the first bytes of
// anything else), sends the reply bytes, then closes at once, or with hold
// only once the client has closed.
class FakeGateway {
 public:
  FakeGateway(const std::string& reply, bool hold,
              const TlsContext* tls = nullptr, int family = AF_INET) {
    listener_ = socket(family, SOCK_STREAM, 0);
    sockaddr_storage address = {};
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    socklen_t length = sizeof in4;
    if (family == AF_INET6) {
      in6.sin6_family = AF_INET6;
      in6.sin6_addr = in6addr_loopback;
      length = sizeof in6;
    } else {
      in4.sin_family = AF_INET;
      in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address),
                    &length) != 0) {
      ADD_FAILURE() << "no loopback listener";
      return;
    }
    // sin_port and sin6_port share their place.
    port_ = ntohs(in4.sin_port);
    services_ = std::make_unique<comm_test::ServicesFile>(
        "tarponGateway " + std::to_string(port_) + "/tcp\n");
    thread_ =
        std::thread([this, reply, hold, tls] { Serve(reply, hold, tls); });
  }
  ~FakeGateway() {
    // Ends the wait for a client that never came.
    shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }

  int port() const { return port_; }

 private:
  void Serve(const std::string& reply, bool hold, const TlsContext* tls) {
    pollfd ready = {listener_, POLLIN, 0};
    if (poll(&ready, 1, kWaitMs) != 1) return;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    Channel channel(fd, tls);
    if (!channel.Ok()) return;
    std::string request;
    for (std::string more = channel.ReceiveSome(); !more.empty();) {
      request += more;
      size_t length = request.size() < 2
                          ? 44
                          : (static_cast<unsigned char>(request[0]) << 8 |
                             static_cast<unsigned char>(request[1]));
      bool record = request.size() < 8 || request.compare(4, 4, "01.0") == 0;
      if (!record || request.size() >= length) break;
      more = channel.ReceiveSome();
    }
    if (!reply.empty()) channel.Send(reply);
    while (hold && !channel.ReceiveSome().empty()) {
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::unique_ptr<comm_test::ServicesFile> services_;
  std::thread thread_;
};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunClient(std::vector<std::string> args) {
  args.insert(args.begin(), "tarponrc");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  testing::internal::CaptureStderr();
  OutputCapture capture;
  int status =
      GatewayClientCommandline(static_cast<int>(argv.size()), argv.data());
  return {status, capture.Text(), testing::internal::GetCapturedStderr()};
}

const char kBanner[] =
    "TARPON remote server (KSV GATEWAY) successfully invoked. Response "
    "received follows, (remote rc=";
const char kDump[] =
    "TARPON CLIENT errors encountered, diagnostic information follows:Client "
    "formatted dump \n";
const char kNoDigits[] =
    "TARPON CLIENT E0009 : malformed reply (return code not digits) refused. "
    "Terminating.\n";

const char kClosed[] =
    "TARPON CLIENT E0018 : the gateway at 127.0.0.1 port PORT closed the "
    "connection without a whole answer: it may require TLS (set "
    "TARPON_TLS_CA), or refuse this address for a while after failed "
    "sign-ons.\n";

TEST(GatewayClient, RepliesAndFailures) {
  struct Case {
    const char* name;
    std::string reply;
    bool hold;
    int status;
    std::string out;  // the whole output, or after kDump its first line
    std::string err;
  };
  const int none = TARPON_GATEWAY_NO_ANSWER;
  const Case cases[] = {
      {"changed", Reply("0000", "\nchanged\n"), false, 0,
       std::string(kBanner) + "0000)\n\nchanged\n", ""},
      {"host verdict", Reply("2002", "no\n"), false, 202,
       std::string(kBanner) + "2002)\nno\n", ""},
      {"unusable host reply", Reply("1024", "x"), false, 124,
       std::string(kBanner) + "1024)\nx", ""},
      {"terminal escapes", Reply("0000", "a\x1b]0;t\x07 \tb\r\nc\rd\x7f\x9b"),
       false, 0, std::string(kBanner) + "0000)\na^[]0;t^G \tb\r\nc^Md^?M-^[",
       ""},
      {"escape in return code",
       Reply("00\x1b"
             "1",
             "x"),
       false, none, "", kNoDigits},
      {"empty return code", Reply("", "x"), false, none, "", kNoDigits},
      {"length below header", Record('D', 10, "0000", "xyz"), false, none, "",
       "TARPON CLIENT E0009 : malformed reply (record length below its "
       "header) refused. Terminating.\n"},
      {"too long", Record('D', 44 + 8192, "0000", "x"), false, none, "",
       "TARPON CLIENT E0007 : reply longer than 8191 bytes refused. "
       "Terminating.\n"},
      {"closed without reply", "", false, none,
       "Connection object state ............: 8 ( STATE_CONNECTION_CLOSED",
       kClosed},
      {"status record", Record('S', 44, "", ""), false, none,
       "Connection object state ............: 8 ( STATE_CONNECTION_CLOSED",
       kClosed},
      {"short reply", Record('D', 144, "0000", "only ten.."), false, none,
       "Reason code for state ..............: 14 ( REASON_SEND_FAILED",
       kClosed},
      {"never answers", "", true, none,
       "Reason code for state ..............: 15 ( REASON_RECEIVE_TIMED_OUT",
       "TARPON CLIENT E0017 : no answer from the gateway at 127.0.0.1 port "
       "PORT within 1 seconds: it may be busy or out of reach; "
       "TARPON_CLIENT_TIMEOUT sets a longer wait.\n"},
  };
  setenv("TARPON_CLIENT_TIMEOUT", "1", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeGateway gateway(c.reply, c.hold);
    Outcome run = RunClient({"127.0.0.1", "-u", "x"});
    EXPECT_EQ(c.status, run.status);
    std::string err = c.err;
    size_t port = err.find("PORT");
    if (port != std::string::npos) {
      err.replace(port, 4, std::to_string(gateway.port()));
    }
    EXPECT_EQ(err, run.err);
    if (c.out.rfind("Connection", 0) == 0 || c.out.rfind("Reason", 0) == 0) {
      EXPECT_EQ(0u, run.out.find(kDump)) << run.out;
      EXPECT_NE(std::string::npos, run.out.find(c.out)) << run.out;
    } else {
      EXPECT_EQ(c.out, run.out);
    }
  }
  unsetenv("TARPON_CLIENT_TIMEOUT");
}

// An IPv6 literal, bare or bracketed, reaches a gateway on ::1.
TEST(GatewayClient, ReachesAnIpv6Gateway) {
  int probe = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 loopback = {};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  bool ipv6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loopback),
                                 sizeof loopback) == 0;
  if (probe >= 0) close(probe);
  if (!ipv6) GTEST_SKIP() << "no IPv6 loopback";
  for (const char* host : {"::1", "[::1]"}) {
    SCOPED_TRACE(host);
    FakeGateway gateway(Reply("0000", "ok\n"), false, nullptr, AF_INET6);
    Outcome run = RunClient({host, "-u", "x"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(std::string(kBanner) + "0000)\nok\n", run.out);
  }
}

TEST(GatewayClient, RefusesAnInvalidTimeoutBeforeConnecting) {
  // Nothing listens on the port: a connect would end in the dump instead.
  comm_test::ServicesFile services(
      "tarponGateway " + std::to_string(comm_test::FreePort()) + "/tcp\n");
  for (const char* value : {"abc", "0", "-5", "3 ", " 3", "86401"}) {
    SCOPED_TRACE(value);
    setenv("TARPON_CLIENT_TIMEOUT", value, 1);
    Outcome run = RunClient({"127.0.0.1"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(
        "TARPON CLIENT E0010 : TARPON_CLIENT_TIMEOUT must be a whole number "
        "of seconds from 1 to 86400. Terminating.\n",
        run.err);
  }
  unsetenv("TARPON_CLIENT_TIMEOUT");
}

TEST(GatewayClient, TraceNestsTheExchangeInTheCommandLine) {
  FakeGateway gateway(Reply("0000", "ok\n"), false);
  comm_test::TraceCapture trace;
  Outcome run = RunClient({"127.0.0.1", "-t"});
  EXPECT_EQ(0, run.status);
  EXPECT_NE(
      std::string::npos,
      trace.Text().find("\n...GatewayClient(host,service,options) called"));
  EXPECT_NE(
      std::string::npos,
      trace.Text().find("\nGatewayClientCommandline(argc,argv) returned 0"));
}

// Against a fake gateway on the session API: TLS refusals print one line
// and count as no answer.
TEST(GatewayClient, TlsOutcomes) {
  tls_test::TestCertificates certificates;
  ASSERT_TRUE(certificates.Ok());
  auto path = [&](const std::string& name) {
    return name.empty() ? name : certificates.Path(name);
  };
  struct Case {
    const char* name;
    std::string gateway;   // its certificate; "" for clear text
    std::string clientCa;  // the gateway demands a client certificate
    std::string trusted;   // the client's TARPON_TLS_CA
    std::string certificate;
    std::string host;
    std::string why;  // "" for the reply
  };
  const Case cases[] = {
      {"over TLS", "gateway", "", "ca.pem", "", "127.0.0.1", ""},
      {"client certificate", "gateway", "ca.pem", "ca.pem", "client",
       "localhost", ""},
      {"no client certificate", "gateway", "ca.pem", "ca.pem", "", "localhost",
       "the other end refused our certificate (tlsv13 alert certificate "
       "required)"},
      {"unknown CA", "gateway", "", "other-ca.pem", "", "127.0.0.1",
       "certificate not signed by a trusted CA (unknown CA)"},
      {"name mismatch", "elsewhere", "", "ca.pem", "", "localhost",
       "certificate does not name localhost (name mismatch)"},
      {"expired", "expired", "", "ca.pem", "", "127.0.0.1",
       "certificate has expired"},
      {"clear-text gateway", "", "", "ca.pem", "", "127.0.0.1",
       "no TLS at the other end"},
      {"stalled handshake", "", "", "ca.pem", "", "127.0.0.1",
       "no TLS handshake within the deadline"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TlsContext> gatewayTls;
    if (!c.gateway.empty()) {
      tls_test::TlsEnvironment env(
          {{"TARPON_TLS_CERT", path(c.gateway + ".pem")},
           {"TARPON_TLS_KEY", path(c.gateway + ".key")},
           {"TARPON_TLS_CLIENT_CA", path(c.clientCa)}});
      std::string error;
      gatewayTls = TlsContext::ServerFromEnvironment(&error);
      ASSERT_NE(nullptr, gatewayTls) << error;
    }
    // The stalled gateway reads the handshake and says nothing.
    bool stall = c.why == cases[7].why;
    FakeGateway gateway(stall ? "" : Reply("0000", "ok\n"), stall,
                        gatewayTls.get());
    const std::string& cert = c.certificate;
    tls_test::TlsEnvironment env(
        {{"TARPON_TLS_CA", path(c.trusted)},
         {"TARPON_TLS_CERT", cert.empty() ? "" : path(cert + ".pem")},
         {"TARPON_TLS_KEY", cert.empty() ? "" : path(cert + ".key")},
         {"TARPON_CLIENT_TIMEOUT", stall ? "1" : ""}});
    Outcome run = RunClient({c.host, "-u", "x"});
    if (c.why.empty()) {
      EXPECT_EQ(0, run.status);
      EXPECT_EQ(std::string(kBanner) + "0000)\nok\n", run.out);
      EXPECT_EQ("", run.err);
    } else {
      EXPECT_EQ(TARPON_GATEWAY_NO_ANSWER, run.status);
      EXPECT_EQ("", run.out);
      EXPECT_EQ("TARPON CLIENT E0012 : TLS with the gateway failed: " + c.why +
                    ". Terminating.\n",
                run.err);
    }
  }
}

}  // namespace
