// End-to-end tests of "tarpons -check" and of the line that names the cause
// of a failed start: the real tarpons against a good setup (an emulated
// node, a services file, TLS files) and against one broken item at a time.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "comm/fd.h"
#include "tests/support/gateway_support.h"
#include "tests/support/tls_test_support.h"

namespace {

using Args = std::vector<std::string>;

const char kCheckUsers[] = "ALICE SECRET1\n";

class GatewayCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certificates_.Ok());
    box_.Write("sna-node.conf", e2e::kGatewayNodeConfig);
    box_.Write("users.db", kCheckUsers);
    port_ = e2e::FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    box_.Write("services", "tarponGateway " + std::to_string(port_) + "/tcp\n");
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services"),
            "TARPON_TLS_CERT=" + Cert("soon.pem"),
            "TARPON_TLS_KEY=" + Cert("soon.key"),
            "TARPON_TLS_CLIENT_CA",
            "TARPON_SESSION_TIMEOUT"};
  }

  std::string Cert(const std::string& name) const {
    return certificates_.Path(name);
  }

  // tarpons with args, in the fixture's environment changed by changes.
  e2e::RunResult Tarpons(const Args& args, const Args& changes) const {
    Args env;
    for (const std::string& entry : env_) {
      std::string name = entry.substr(0, entry.find('='));
      bool changed = false;
      for (const std::string& change : changes) {
        changed =
            changed || change.compare(0, name.size() + 1, name + "=") == 0;
      }
      if (!changed) env.push_back(entry);
    }
    env.insert(env.end(), changes.begin(), changes.end());
    return e2e::Run(e2e::BinDir() + "/tarpons", args, env);
  }

  // Listens on the gateway's port, as a running gateway would.
  Fd HoldPort() const {
    Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    if (bind(socket.get(), reinterpret_cast<sockaddr*>(&address),
             sizeof address) != 0 ||
        listen(socket.get(), 1) != 0) {
      return Fd();
    }
    return socket;
  }

  tls_test::TestCertificates certificates_;
  e2e::Sandbox box_;
  int port_ = -1;
  Args env_;
};

TEST_F(GatewayCheckTest, PassesAGoodSetupWithoutTouchingIt) {
  const std::string port = std::to_string(port_);
  e2e::RunResult run = Tarpons({"-log", box_.Path("gateway.log"), "-state-file",
                                box_.Path("gateway.state"), "-check"},
                               {});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(
      "ok      service tarponGateway: port " + port + "/tcp\n" +
          "ok      listen address 0.0.0.0 port " + port + ": free\n" +
          "ok      listen address :: port " + port + ": free\n" +
          "ok      log file " + box_.Path("gateway.log") +
          ": made at start in " + box_.dir() + "\n" +
          "ok      session timeout: 30 seconds\n" + "ok      TLS certificate " +
          Cert("soon.pem") + " and key " + Cert("soon.key") +
          ": readable, key private and matching\n" + "warning certificate " +
          Cert("soon.pem") + " expires in 12 days\n" +
          "ok      node configuration " + box_.Path("sna-node.conf") +
          ": parsed, 1 user database\n" + "ok      user database " +
          box_.Path("users.db") + ": mode 0600, readable and writable by " +
          getpwuid(geteuid())->pw_name + "\n" +
          "warning no new-password list: only the context, runs and "
          "sequences are checked\n" +
          "ok      account limit: state file " + box_.Path("gateway.state") +
          ": made at start in " + box_.dir() + "\n",
      run.out);
  EXPECT_EQ("", run.err);
  EXPECT_NE(0, access(box_.Path("gateway.log").c_str(), F_OK));
  EXPECT_NE(0, access(box_.Path("gateway.state").c_str(), F_OK));
}

// Each broken item fails its own check alone (exit status 1); where it also
// stops a start, the start's first line names the cause before the message
// the gateway has always printed.
TEST_F(GatewayCheckTest, NamesEachBrokenItemInTheCheckAndAtStart) {
  const std::string port = std::to_string(port_);
  const std::string missingLog = box_.Path("missing/gateway.log");
  const std::string looseKey = box_.Path("loose.key");
  box_.Write("loose.key", box_.Read(Cert("soon.key")));
  chmod(looseKey.c_str(), 0644);
  struct Case {
    const char* cause;
    Args args;
    Args env;
    bool holdPort;
    mode_t usersMode;
    std::string checkLine;
    std::string startLines;  // empty: the start does not fail on it
    int startStatus;
  };
  const Case cases[] = {
      {"service missing",
       {"-S", "noSuchService"},
       {},
       false,
       0600,
       "FAILED  service noSuchService is not in the services database or "
       "TARPON_SERVICES: add a line like 'noSuchService 5000/tcp'\n",
       "TARPON SERVER E0011 : service noSuchService is not in the services "
       "database or TARPON_SERVICES: add a line like 'noSuchService "
       "5000/tcp'\n"
       "TARPON SERVER E0005 : error encountered, not started.\n",
       5},
      {"port in use",
       {},
       {},
       true,
       0600,
       "FAILED  listen address 0.0.0.0 port " + port +
           " is in use: is another tarpons running?\n",
       "TARPON SERVER E0011 : port " + port +
           " (service tarponGateway) is in use: is another tarpons "
           "running?\n"
           "TARPON SERVER E0005 : error encountered, not started.\n",
       5},
      // As root a folder's mode does not stop a write, so the folder is
      // missing.
      {"log folder not writable",
       {"-log", missingLog},
       {},
       false,
       0600,
       "FAILED  log file " + missingLog + " cannot be made: " +
           box_.Path("missing") + ": No such file or directory\n",
       "TARPON SERVER E0011 : cannot open the log " + missingLog +
           ": No such file or directory\n"
           "TARPON SERVER E0001 : cannot open output log. Terminating.\n",
       6},
      {"key readable by others",
       {},
       {"TARPON_TLS_KEY=" + looseKey},
       false,
       0600,
       "FAILED  TLS settings refused: the key file " + looseKey +
           " is readable by group or others (chmod 600 " + looseKey + ")\n",
       "",
       0},
      {"certificate expired",
       {},
       {"TARPON_TLS_CERT=" + Cert("expired.pem"),
        "TARPON_TLS_KEY=" + Cert("expired.key")},
       false,
       0600,
       "FAILED  certificate " + Cert("expired.pem") +
           " has expired 1 day ago: renew it and restart\n",
       "",
       0},
      {"database 0644",
       {},
       {},
       false,
       0644,
       "FAILED  user database " + box_.Path("users.db") +
           ": mode 0644 lets the group or others read passwords: chmod 600 " +
           box_.Path("users.db") + "\n",
       "",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    Fd holder = c.holdPort ? HoldPort() : Fd();
    ASSERT_EQ(c.holdPort, holder.valid());
    chmod(box_.Path("users.db").c_str(), c.usersMode);
    Args check = c.args;
    check.push_back("-check");
    e2e::RunResult run = Tarpons(check, c.env);
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.out.find(c.checkLine)) << run.out;
    EXPECT_EQ(run.out.find("FAILED"), run.out.rfind("FAILED")) << run.out;
    if (!c.startLines.empty()) {
      run = Tarpons(c.args, c.env);
      EXPECT_EQ(c.startStatus, run.status);
      EXPECT_NE(std::string::npos,
                e2e::WithoutTimeStamps(run.err).find(c.startLines))
          << run.err;
    }
    chmod(box_.Path("users.db").c_str(), 0600);
  }
}

// A host that revokes at or below the limit per account is warned about.
TEST_F(GatewayCheckTest, WarnsOfAHostThatRevokesWithinTheAccountLimit) {
  box_.Write("sna-node.conf",
             std::string(e2e::kGatewayNodeConfig) + "revoke_after = 2\n");
  chmod(box_.Path("users.db").c_str(), 0600);
  const std::string revokes =
      "host NETA.KSVHOST revokes a user ID after 2 failed sign-ons in a row";
  const struct {
    Args args;
    std::string line;
  } cases[] = {
      {{},
       "warning " + revokes +
           ", at or below -accountlimit's count of 2: set the count "
           "below it, as -accountlimit 1\n"},
      {{"-accountlimit", "1"},
       "ok      " + revokes + ", -accountlimit holds changes after 1\n"},
      {{"-accountlimit", "1:900:60:3600"},
       "warning account limit 1:900:60:3600: holds end by time, after which "
       "a guesser has 1 more tries: unless the host forgets failures as "
       "fast, use -accountlimit 1\n"},
      {{"-accountlimit", "off"},
       "warning " + revokes +
           " and -accountlimit is off: anybody who knows a user ID can have "
           "it revoked\n"},
  };
  for (const auto& c : cases) {
    Args args = c.args;
    args.push_back("-check");
    e2e::RunResult run = Tarpons(args, {});
    EXPECT_NE(std::string::npos, run.out.find(c.line)) << run.out;
  }
}

// Without TLS the check says where passwords cross in clear text; the
// -metrics address is bound as the start would bind it.
TEST_F(GatewayCheckTest, SaysWhereTlsIsOffAndTriesTheMetricsAddress) {
  const Args noTls = {"TARPON_TLS_CERT=", "TARPON_TLS_KEY="};
  const std::string off =
      "TLS: off (TARPON_TLS_CERT and TARPON_TLS_KEY are not set)";
  const std::string free = std::to_string(e2e::FreeLoopbackPort());
  const int held = e2e::FreeLoopbackPort();
  Fd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(held));
  ASSERT_EQ(0, bind(holder.get(), reinterpret_cast<sockaddr*>(&address),
                    sizeof address));
  ASSERT_EQ(0, listen(holder.get(), 1));
  const std::string busy = "127.0.0.1:" + std::to_string(held);
  const struct {
    Args args;
    int status;
    std::string line;
  } cases[] = {
      {{},
       0,
       "warning " + off +
           ": passwords cross the network in clear text on every address "
           "(no -listen)\n"},
      {{"-listen", "127.0.0.1", "-listen", "0.0.0.0"},
       0,
       "warning " + off +
           ": passwords cross the network in clear text on 0.0.0.0\n"},
      {{"-listen", "127.0.0.1", "-listen", "::1"},
       0,
       "ok      " + off + ", on loopback only\n"},
      {{"-listen", "127.0.0.1", "-metrics", "127.0.0.1:" + free},
       0,
       "ok      metrics address 127.0.0.1:" + free + " can be bound\n"},
      {{"-listen", "127.0.0.1", "-metrics", busy},
       1,
       "FAILED  metrics address " + busy + ": cannot listen on " + busy + ": "},
  };
  chmod(box_.Path("users.db").c_str(), 0600);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Args args = c.args;
    args.push_back("-check");
    e2e::RunResult run = Tarpons(args, noTls);
    EXPECT_EQ(c.status, run.status) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find(c.line)) << run.out;
  }
}

}  // namespace
