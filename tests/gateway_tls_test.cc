// End-to-end tests of TLS between the real tarponrc and tarpons: changes
// over TLS, refusals on either side with their one line, settings that stop
// the gateway at its start, and a stalled handshake that holds only its own
// slot. Certificates are made in a temporary folder; loopback only.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/gateway_support.h"
#include "tests/support/tls_test_support.h"

namespace {

using Args = std::vector<std::string>;

const char kTlsUsers[] = "ALICE SECRET1\nBOB PASSW0RD\n";
const char kChangedUsers[] = "ALICE     AFTER1\nBOB PASSW0RD\n";
const char kTlsFailed[] = "TARPON CLIENT E0012 : TLS with the gateway failed: ";
const char kClearFailure[] =
    "TARPON CLIENT errors encountered, diagnostic information follows:";

class GatewayTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certificates_.Ok());
    box_.Write("sna-node.conf", e2e::kGatewayNodeConfig);
    port_ = e2e::FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    box_.Write("services", "tarponGateway " + std::to_string(port_) + "/tcp\n");
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services"),
            "TARPON_TLS_CA",
            "TARPON_TLS_CERT",
            "TARPON_TLS_KEY",
            "TARPON_TLS_CLIENT_CA"};
  }

  std::string Cert(const std::string& name) const {
    return certificates_.Path(name);
  }

  // The gateway with certificate name (none: clear text) and, when
  // clientCa, client certificates required.
  Args GatewayEnv(const std::string& name, bool clientCa,
                  const std::string& timeout = "30") const {
    Args env = env_;
    env.push_back("TARPON_SESSION_TIMEOUT=" + timeout);
    if (!name.empty()) {
      env.push_back("TARPON_TLS_CERT=" + Cert(name + ".pem"));
      env.push_back("TARPON_TLS_KEY=" + Cert(name + ".key"));
    }
    if (clientCa) env.push_back("TARPON_TLS_CLIENT_CA=" + Cert("ca.pem"));
    return env;
  }

  void Start(const Args& env) {
    box_.Write("users.db", kTlsUsers);
    chmod(box_.Path("users.db").c_str(), 0600);
    box_.Write("gateway.log", "");
    gateway_ =
        e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, "gateway", env);
    ASSERT_TRUE(gateway_) << box_.Read("gateway.err");
  }

  // tarponrc trusting trusted (none: clear text), with the client
  // certificate when withCert.
  e2e::RunResult Change(const std::string& trusted, bool withCert,
                        const std::string& host = "127.0.0.1") const {
    Args env = env_;
    if (!trusted.empty()) env.push_back("TARPON_TLS_CA=" + Cert(trusted));
    if (withCert) {
      env.push_back("TARPON_TLS_CERT=" + Cert("client.pem"));
      env.push_back("TARPON_TLS_KEY=" + Cert("client.key"));
    }
    return e2e::Run(e2e::BinDir() + "/tarponrc",
                    {host, "-u", "alice", "-p", "secret1", "-np", "after1",
                     "-plu", "hosta"},
                    env);
  }

  // Sends SIGHUP until the log shows until.
  bool Reload(const std::string& until) {
    return gateway_->Signal(SIGHUP, [&](int ms) {
      return e2e::WaitForText(box_, "gateway.log", until, ms);
    });
  }

  std::string Log(const std::string& until) const {
    e2e::WaitForText(box_, "gateway.log", until, 5000);
    return e2e::WithoutTimeStamps(box_.Read("gateway.log"));
  }

  tls_test::TestCertificates certificates_;
  e2e::Sandbox box_;
  int port_ = -1;
  Args env_;
  std::unique_ptr<e2e::Background> gateway_;
};

TEST_F(GatewayTlsTest, ChangesOverTlsAndRefusesWithOneLine) {
  struct Case {
    const char* name;
    const char* gateway;  // its certificate; "" for clear text
    bool clientCa;        // client certificates required
    const char* trusted;  // the client's TARPON_TLS_CA; "" for clear text
    bool withCert;
    const char* host;
    std::string failure;  // "" for a change; the client's one line
    std::string logged;   // the gateway's line after "IP(127.0.0.1) "
  };
  const std::string refused = "the other end refused our certificate (";
  const Case cases[] = {
      {"over TLS", "gateway", false, "ca.pem", false, "127.0.0.1", "",
       "TLSv1.3\n"},
      {"client certificate", "gateway", true, "ca.pem", true, "localhost", "",
       "TLSv1.3, client CN=tarpon client\n"},
      {"no client certificate", "gateway", true, "ca.pem", false, "localhost",
       refused + "tlsv13 alert certificate required)",
       "TLS refused: no client certificate\n"},
      {"unknown CA", "gateway", false, "other-ca.pem", false, "127.0.0.1",
       "certificate not signed by a trusted CA (unknown CA)",
       "TLS refused: " + refused + "tlsv1 alert unknown ca)\n"},
      {"name mismatch", "elsewhere", false, "ca.pem", false, "localhost",
       "certificate does not name localhost (name mismatch)",
       "TLS refused: " + refused + "sslv3 alert bad certificate)\n"},
      {"expired", "expired", false, "ca.pem", false, "127.0.0.1",
       "certificate has expired",
       "TLS refused: " + refused + "sslv3 alert certificate expired)\n"},
      {"clear-text client", "gateway", false, "", false, "127.0.0.1",
       kClearFailure, "TLS refused: no TLS at the other end\n"},
      {"clear-text gateway", "", false, "ca.pem", false, "127.0.0.1",
       "no TLS at the other end", "tarponRc(4) \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(GatewayEnv(c.gateway, c.clientCa));
    e2e::RunResult run = Change(c.trusted, c.withCert, c.host);
    if (c.failure.empty()) {
      EXPECT_EQ(std::string(e2e::kBanner) + "0000)\n" + e2e::kChanged, run.out);
      EXPECT_EQ(0, run.status);
      EXPECT_EQ(kChangedUsers, box_.Read("users.db"));
    } else {
      EXPECT_EQ(100, run.status);
      if (c.failure == kClearFailure) {
        EXPECT_EQ(0u, run.out.find(kClearFailure)) << run.out;
      } else {
        EXPECT_EQ(kTlsFailed + c.failure + ". Terminating.\n", run.err);
        EXPECT_EQ("", run.out);
      }
      EXPECT_EQ(kTlsUsers, box_.Read("users.db"));
    }
    EXPECT_NE(std::string::npos,
              Log(c.logged).find("IP(127.0.0.1) " + c.logged))
        << Log(c.logged);
    gateway_.reset();
  }
}

// The gateway refuses to start, rather than serve clear text, when its TLS
// settings cannot be used (the reasons are the TLS layer's own).
// SIGHUP reads the TLS files again: new handshakes get the new
// certificate; files that fail leave the ones in use.
TEST_F(GatewayTlsTest, ReloadsItsCertificateOnSighup) {
  auto read = [](const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  auto install = [&](const std::string& name) {
    box_.Write("live.pem", read(Cert(name + ".pem")));
    box_.Write("live.key", read(Cert(name + ".key")));
    chmod(box_.Path("live.key").c_str(), 0600);
  };
  install("gateway");
  Args env = GatewayEnv("", false);
  env.push_back("TARPON_TLS_CERT=" + box_.Path("live.pem"));
  env.push_back("TARPON_TLS_KEY=" + box_.Path("live.key"));
  Start(env);
  EXPECT_EQ(0, Change("ca.pem", false).status);
  install("elsewhere");
  ASSERT_TRUE(Reload("reloaded\n"));
  ASSERT_NE(std::string::npos,
            Log("reloaded\n").find("TARPON SERVER TLS files reloaded\n"));
  e2e::RunResult refused = Change("ca.pem", false);
  EXPECT_EQ(0u, refused.err.find(kTlsFailed)) << refused.err;
  EXPECT_NE(std::string::npos, refused.err.find("name mismatch"));
  install("gateway");
  chmod(box_.Path("live.key").c_str(), 0644);
  ASSERT_TRUE(Reload("stay\n"));
  EXPECT_NE(std::string::npos,
            Log("stay\n").find("TARPON SERVER TLS files not reloaded (the key "
                               "file " +
                               box_.Path("live.key") +
                               " is readable by group or others"));
  EXPECT_NE(std::string::npos,
            Change("ca.pem", false).err.find("name mismatch"));
}

TEST_F(GatewayTlsTest, RefusesALooseKeyAtStart) {
  const std::string key = box_.Path("loose.key");
  box_.Write("loose.key", box_.Read(Cert("gateway.key")));
  chmod(key.c_str(), 0640);
  Args env = env_;
  env.push_back("TARPON_TLS_CERT=" + Cert("gateway.pem"));
  env.push_back("TARPON_TLS_KEY=" + key);
  e2e::RunResult run = e2e::Run(e2e::BinDir() + "/tarpons", {}, env);
  EXPECT_EQ(8, run.status);
  EXPECT_EQ("TARPON SERVER E0010 : TLS settings refused: the key file " + key +
                " is readable by group or others (chmod 600 " + key +
                "). Terminating.\n",
            run.err);
}

// Connections that never finish a handshake hold their own slots up to the
// session deadline and no longer, while an honest client is served at once.
TEST_F(GatewayTlsTest, StalledHandshakeHoldsOnlyItsSlotToTheDeadline) {
  Start(GatewayEnv("gateway", false, "2"));
  const long long opened = e2e::NowMs();
  int silent = e2e::ConnectFrom("127.0.0.2", port_);
  int halfHello = e2e::ConnectFrom("127.0.0.3", port_);
  ASSERT_GE(silent, 0);
  ASSERT_GE(halfHello, 0);
  // A handshake record header announcing bytes that never come.
  const char header[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
  ASSERT_EQ(6, send(halfHello, header, sizeof header, 0));

  e2e::RunResult run = Change("ca.pem", false);
  EXPECT_EQ(0, run.status) << run.err;
  // Served while both stalled connections are still held.
  pollfd held = {silent, POLLIN, 0};
  EXPECT_EQ(0, poll(&held, 1, 0));

  for (int fd : {silent, halfHello}) {
    pollfd ready = {fd, POLLIN, 0};
    char byte;
    EXPECT_EQ(1, poll(&ready, 1, 5000));
    EXPECT_GE(e2e::NowMs() - opened, 1900);
    EXPECT_EQ(0, recv(fd, &byte, 1, 0));
    close(fd);
  }
  const std::string expired =
      ") TLS refused: no TLS handshake within the deadline\n";
  std::string log = Log("IP(127.0.0.3" + expired);
  EXPECT_NE(std::string::npos, log.find("IP(127.0.0.2" + expired)) << log;
  EXPECT_NE(std::string::npos, log.find("IP(127.0.0.3" + expired)) << log;
}

}  // namespace
