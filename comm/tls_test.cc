#include "comm/tls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/support/tls_test_support.h"

namespace {

using tls_test::TlsEnvironment;

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates_ = new tls_test::TestCertificates;
  }
  static void TearDownTestSuite() { delete certificates_; }
  void SetUp() override { ASSERT_TRUE(certificates_->Ok()); }

  static std::string Path(const std::string& name) {
    return certificates_->Path(name);
  }
  static tls_test::TestCertificates* certificates_;
};

tls_test::TestCertificates* TlsTest::certificates_ = nullptr;

TEST_F(TlsTest, SettingsRefusedWithTheirReason) {
  std::string readable = Path("readable.key");
  ASSERT_EQ(0, std::system(("cp '" + Path("gateway.key") + "' '" + readable +
                            "' && chmod 640 '" + readable + "'")
                               .c_str()));
  struct Case {
    bool server;
    std::string ca, cert, key, clientCa;
    std::string error;  // "" with TLS off
  };
  const Case cases[] = {
      {true, "", "", "", "", ""},
      {false, "", Path("client.pem"), Path("client.key"), "", ""},
      {true, "", Path("gateway.pem"), readable, "",
       "the key file " + readable +
           " is readable by group or others (chmod "
           "600 " +
           readable + ")"},
      {false, Path("ca.pem"), Path("client.pem"), readable, "",
       "the key file " + readable +
           " is readable by group or others (chmod "
           "600 " +
           readable + ")"},
      {true, "", Path("gateway.pem"), "", "",
       "TARPON_TLS_CERT is set without TARPON_TLS_KEY"},
      {false, Path("ca.pem"), "", Path("client.key"), "",
       "TARPON_TLS_KEY is set without TARPON_TLS_CERT"},
      {true, "", "", "", Path("ca.pem"),
       "TARPON_TLS_CLIENT_CA is set without TARPON_TLS_CERT"},
      {true, "", Path("client.pem"), Path("gateway.key"), "",
       "cannot load the key " + Path("gateway.key") + " for " +
           Path("client.pem") + " (key values mismatch)"},
      {false, "/dev/null", "", "", "",
       "cannot read the trusted CAs /dev/null (not a regular file)"},
      {false, Path("missing.pem"), "", "", "",
       "cannot read the trusted CAs " + Path("missing.pem") +
           " (No such file or directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    TlsEnvironment env({{"TARPON_TLS_CA", c.ca},
                        {"TARPON_TLS_CERT", c.cert},
                        {"TARPON_TLS_KEY", c.key},
                        {"TARPON_TLS_CLIENT_CA", c.clientCa}});
    std::string error = "unset";
    std::unique_ptr<TlsContext> context =
        c.server ? TlsContext::ServerFromEnvironment(&error)
                 : TlsContext::ClientFromEnvironment(&error);
    EXPECT_EQ(nullptr, context);
    EXPECT_EQ(c.error, error);
  }
}

// Both ends of a socket pair, non-blocking, driven in turn.
struct Ends {
  int fds[2] = {-1, -1};
  Ends() {
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    for (int fd : fds) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  ~Ends() {
    close(fds[0]);
    close(fds[1]);
  }
};

// Runs both handshakes until neither waits any more, bounded in steps and
// time; the results in *client and *server.
void Handshakes(TlsSession& clientSession, TlsSession& serverSession,
                const Ends& ends, IoResult* client, IoResult* server) {
  *client = *server = IoResult::kWouldBlock;
  auto waiting = [](IoResult status) {
    return status == IoResult::kWouldBlock;
  };
  for (int step = 0; step < 100 && (waiting(*client) || waiting(*server));
       ++step) {
    if (waiting(*client)) *client = clientSession.Handshake();
    if (waiting(*server)) *server = serverSession.Handshake();
    pollfd ready[2] = {{ends.fds[0], POLLIN, 0}, {ends.fds[1], POLLIN, 0}};
    poll(ready, 2, 100);
  }
}

TEST_F(TlsTest, ServerSessionsReportWhatTheGatewayLogs) {
  struct Case {
    const char* name;
    std::string clientCa;  // the server demands a client certificate
    std::string clientCert, clientKey;
    IoResult server;
    std::string failure, subject;
  };
  const Case cases[] = {
      {"server certificate only", "", "", "", IoResult::kOk, "", ""},
      {"client certificate", Path("ca.pem"), Path("client.pem"),
       Path("client.key"), IoResult::kOk, "", "CN=tarpon client"},
      {"client certificate missing", Path("ca.pem"), "", "", IoResult::kFailed,
       "no client certificate", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    std::unique_ptr<TlsContext> serverContext;
    {
      TlsEnvironment env({{"TARPON_TLS_CERT", Path("gateway.pem")},
                          {"TARPON_TLS_KEY", Path("gateway.key")},
                          {"TARPON_TLS_CLIENT_CA", c.clientCa}});
      serverContext = TlsContext::ServerFromEnvironment(&error);
    }
    ASSERT_NE(nullptr, serverContext) << error;
    TlsEnvironment env({{"TARPON_TLS_CA", Path("ca.pem")},
                        {"TARPON_TLS_CERT", c.clientCert},
                        {"TARPON_TLS_KEY", c.clientKey}});
    std::unique_ptr<TlsContext> clientContext =
        TlsContext::ClientFromEnvironment(&error);
    ASSERT_NE(nullptr, clientContext) << error;
    Ends ends;
    auto client =
        TlsSession::ForClient(*clientContext, ends.fds[0], "localhost", &error);
    auto server = TlsSession::ForServer(*serverContext, ends.fds[1], &error);
    ASSERT_TRUE(client && server);
    IoResult clientStatus = IoResult::kOk;
    IoResult serverStatus = IoResult::kOk;
    Handshakes(*client, *server, ends, &clientStatus, &serverStatus);
    EXPECT_EQ(c.server, serverStatus);
    EXPECT_EQ(c.failure, server->Failure());
    if (serverStatus == IoResult::kOk) {
      EXPECT_EQ("TLSv1.3", server->Protocol());
      EXPECT_EQ(c.subject, server->PeerSubject());
      // Data through the sessions; a socket pair delivers at once.
      size_t count = 0;
      EXPECT_EQ(IoResult::kOk, client->WriteSome("ping", 4, &count));
      char buffer[8] = {};
      EXPECT_EQ(IoResult::kOk, server->ReadSome(buffer, sizeof buffer, &count));
      EXPECT_EQ("ping", std::string(buffer, count));
      // A peer that has gone fails the write; no SIGPIPE ends the test.
      shutdown(ends.fds[1], SHUT_RDWR);
      EXPECT_EQ(IoResult::kFailed, client->WriteSome("ping", 4, &count));
    }
  }
}

// A client that keeps sessions resumes the one the server handed out, for
// the same host name only, also where the server asks for its certificate;
// one that does not keep them, never.
TEST_F(TlsTest, KeptSessionsResumeForTheirHostOnly) {
  struct Case {
    const char* name;
    bool keep;
    const char* secondHost;
    bool clientCertificate;
    bool resumed;
  };
  const Case cases[] = {
      {"kept, same host", true, "localhost", false, true},
      {"kept, client certificate", true, "localhost", true, true},
      {"kept, another name of the host", true, "127.0.0.1", false, false},
      {"not kept", false, "localhost", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    std::string certificate = c.clientCertificate ? Path("client.pem") : "";
    std::string key = c.clientCertificate ? Path("client.key") : "";
    std::unique_ptr<TlsContext> serverContext;
    {
      TlsEnvironment env({{"TARPON_TLS_CERT", Path("gateway.pem")},
                          {"TARPON_TLS_KEY", Path("gateway.key")},
                          {"TARPON_TLS_CLIENT_CA",
                           c.clientCertificate ? Path("ca.pem") : ""}});
      serverContext = TlsContext::ServerFromEnvironment(&error);
    }
    ASSERT_NE(nullptr, serverContext) << error;
    TlsEnvironment env({{"TARPON_TLS_CA", Path("ca.pem")},
                        {"TARPON_TLS_CERT", certificate},
                        {"TARPON_TLS_KEY", key}});
    std::unique_ptr<TlsContext> clientContext =
        TlsContext::ClientFromEnvironment(&error);
    ASSERT_NE(nullptr, clientContext) << error;
    if (c.keep) clientContext->KeepSessions();
    for (int connection = 0; connection < 2; ++connection) {
      const char* host = connection == 0 ? "localhost" : c.secondHost;
      Ends ends;
      auto client =
          TlsSession::ForClient(*clientContext, ends.fds[0], host, &error);
      auto server = TlsSession::ForServer(*serverContext, ends.fds[1], &error);
      ASSERT_TRUE(client && server);
      IoResult clientStatus = IoResult::kOk;
      IoResult serverStatus = IoResult::kOk;
      Handshakes(*client, *server, ends, &clientStatus, &serverStatus);
      ASSERT_EQ(IoResult::kOk, clientStatus);
      ASSERT_EQ(IoResult::kOk, serverStatus) << server->Failure();
      EXPECT_EQ(connection == 1 && c.resumed, client->Resumed());
      EXPECT_EQ(c.clientCertificate ? "CN=tarpon client" : "",
                server->PeerSubject());
      // The session comes after the handshake, with the server's first
      // bytes.
      size_t count = 0;
      EXPECT_EQ(IoResult::kOk, server->WriteSome("pong", 4, &count));
      char buffer[8] = {};
      EXPECT_EQ(IoResult::kOk, client->ReadSome(buffer, sizeof buffer, &count));
    }
  }
}

TEST_F(TlsTest, ServerRefusesClearTextUnread) {
  std::string error;
  TlsEnvironment env({{"TARPON_TLS_CERT", Path("gateway.pem")},
                      {"TARPON_TLS_KEY", Path("gateway.key")}});
  std::unique_ptr<TlsContext> context =
      TlsContext::ServerFromEnvironment(&error);
  ASSERT_NE(nullptr, context) << error;
  Ends ends;
  auto server = TlsSession::ForServer(*context, ends.fds[1], &error);
  EXPECT_EQ(IoResult::kWouldBlock, server->Handshake());
  const char record[] =
      "\x00\x30"
      "D\x00"
      "01.0";
  ASSERT_EQ(8, write(ends.fds[0], record, 8));
  EXPECT_EQ(IoResult::kFailed, server->Handshake());
  EXPECT_EQ("no TLS at the other end", server->Failure());
  // Nothing was taken from the socket.
  char buffer[8];
  EXPECT_EQ(8, recv(ends.fds[1], buffer, sizeof buffer, 0));
}

}  // namespace
