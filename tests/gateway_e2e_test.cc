// End-to-end tests of the gateway and the remote client: the real tarpons on
// a free loopback port named through a services file, with an emulated SNA
// node in a temporary folder, and the real tarponrc (or hand-made records)
// against it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comm/address.h"
#include "comm/client.h"
#include "gateway_client/tarpon_gateway.h"
#include "tests/support/gateway_support.h"
#include "tests/support/http_support.h"

namespace {

using e2e::kBanner;
using e2e::kChanged;
using e2e::kGatewayNodeConfig;

using Args = std::vector<std::string>;

const char kUsers[] =
    "ALICE SECRET1\n"
    "BOB PASSW0RD\n";

const char kBadPassword[] =
    "\nERROR 55. Korvid Common Server KSV client version 02.00\n"
    "Veltrix Korvid Common Server\n"
    "Keysaver utility completed:\n"
    "Status code .................... 02\n"
    "Status code text ............... SIGNON/CHANGE FAILED BAD PASSWORD\n\n";

const char kServerSyntax[] =
    "\nVeltrix Korvid Common Server tarpon server utility program syntax: \n\n"
    "TARPONS {-S serviceName} {-t} {-log {logfileName}} \n\n"
    "   -S /etc/services service name configured for this server\n"
    "      Optional, default = tarponGateway\n"
    "   -log {filename} write events to a log file. \n"
    "      By default, server events (client requests),\n"
    "      are logged to the terminal.\n"
    "      If -log specified, filename is also optional, \n"
    "      default = tarpond.log\n"
    "   -t Optional trace flag. Produces diagnostics on TARPON "
    "client/server.\n"
    "   -? This help text.\n\n"
    "Further options:\n"
    "   -maxstartups start:rate:full connections without a whole request:\n"
    "      from start on refused at rate %, rising to all at full.\n"
    "      Optional, default = 2048:30:4096\n"
    "   -persource n connections without a whole request per client "
    "address.\n"
    "      Optional, default = 10\n"
    "   -penalties count:window:seconds:max after count failed sign-ons\n"
    "      within window seconds an address is refused for seconds,\n"
    "      doubling up to max; off: never. Optional, default = 5:60:30:600\n"
    "   -listen ADDRESS listen on this address only; repeatable. Default:\n"
    "      every address of both families.\n"
    "   -ipv6prefix bits count IPv6 clients by this prefix, default = 64\n"
    "   -proxy-from LIST peers (addresses, networks) whose connections "
    "begin\n"
    "      with a PROXY header that names the client.\n"
    "   -conversations n host conversations at once, default = 64\n"
    "   -metrics ADDRESS:PORT serve /metrics, /healthz and /readyz there.\n"
    "   -accountlimit count[:forget] at most count failed sign-ons of one\n"
    "      user ID reach a host until a success or a release (-release);\n"
    "      forget: the seconds after which the host forgets them; off: "
    "never.\n"
    "      Optional, default = 2\n"
    "   -state-file PATH keep the counts there across restarts; default =\n"
    "      /var/lib/tarpon/tarpons.state when that folder exists.\n"
    "      -state-key FILE the key of their hashes (default: PATH.key).\n"
    "   -held list the held user IDs; -release USER@HOST release one.\n"
    "   -stop-timeout n seconds a stop waits for the hosts, default = 15\n"
    "   -shared-state redis://HOST[:PORT][/DB] keep the counts in Redis,\n"
    "      shared by every gateway; -shared-state-password FILE names\n"
    "      a file whose first line is its password; -shared-gateways n\n"
    "      the gateways that share it (default 2).\n"
    "   -on-event PROGRAM run PROGRAM with each event (a change a host\n"
    "      answered, a hold) on its input; repeatable. -spool DIR keeps\n"
    "      the events until delivered, default = /var/lib/tarpon/spool\n"
    "   -on-change-sync PROGRAM run PROGRAM after each change made, with\n"
    "      the user ID, destination and new password on its input.\n"
    "   -blocklist FILE a list of passwords no new password may be;\n"
    "      repeatable; off: none. Optional, default = the packaged list\n"
    "   -blockwords FILE words no new password may contain, one a line.\n"
    "   -check check what a start needs (services entry, port, log, TLS,\n"
    "      metrics address, node), one line each, and exit.\n"
    "   -log-format text|json the log's lines as the text above (default)\n"
    "      or one JSON object a line.\n"
    "   --version print the version; --help this text, exit status 0.\n"
    "   Settings from the environment: TARPON_SNA_NODE, TARPON_SERVICES,\n"
    "      TARPON_SESSION_TIMEOUT, TARPON_TLS_CERT, TARPON_TLS_KEY,\n"
    "      TARPON_TLS_CLIENT_CA; see tarpons(8).\n";

std::string Program(const std::string& name) {
  return e2e::BinDir() + "/" + name;
}

std::string ServerSyntax() {
  std::string text = kServerSyntax;
  return text.replace(text.find("TARPONS"), 7, Program("tarpons"));
}

// One gateway per test, on its own port, logging into the sandbox.
class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Write("sna-node.conf", kGatewayNodeConfig);
    box_.Write("users.db", kUsers);
    port_ = e2e::FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    box_.Write("services", "tarponGateway " + std::to_string(port_) + "/tcp\n" +
                               "otherService 1/tcp\n");
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services")};
  }

  // Starts the gateway and waits, bounded, until it listens.
  void StartGateway(const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env = env_;
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    gateway_ = std::make_unique<e2e::Background>(
        Program("tarpons"), Args{"-log", box_.Path("gateway.log")}, env,
        box_.Path("gateway.out"), box_.Path("gateway.err"));
    ASSERT_TRUE(gateway_->Started());
    ASSERT_TRUE(
        e2e::WaitForText(box_, "gateway.log", "TARPON SERVER started ", 10000))
        << box_.Read("gateway.err");
  }

  // The start's line that names where the gateway listens.
  std::string Listening() const {
    const std::string port = std::to_string(port_);
    return "TARPON SERVER listening on 0.0.0.0 port " + port + ", :: port " +
           port + " (service tarponGateway)\n";
  }

  e2e::RunResult Remote(const Args& args) {
    return e2e::Run(Program("tarponrc"), args, env_);
  }

  // The gateway's log without time stamps, once it holds text.
  std::string Log(const std::string& until) {
    e2e::WaitForText(box_, "gateway.log", until, 10000);
    return e2e::WithoutTimeStamps(box_.Read("gateway.log"));
  }

  // Sends data as one record and returns the reply's return code text and
  // data; "closed" when the gateway closed without a reply.
  std::string Exchange(const std::string& data, std::string* userData) {
    Address address(port_, "127.0.0.1");
    Client client(address);
    if (!client.IsGood()) return "no connection";
    if (client.SendRecord(data.data(), static_cast<uint32_t>(data.size())) !=
        0) {
      return "send failed";
    }
    static char reply[8192];
    uint32_t length = 0;
    if (client.ReceiveRecord(reply, sizeof reply - 1, &length) != 0) {
      return "closed";
    }
    *userData = std::string(client.GetUserData(), 4);
    return std::string(reply, length);
  }

  e2e::Sandbox box_;
  int port_ = -1;
  std::vector<std::string> env_;
  std::unique_ptr<e2e::Background> gateway_;
};

TEST_F(GatewayTest, ChangesRefusesAndHelpsThroughTheGateway) {
  StartGateway();
  e2e::RunResult run = Remote({"127.0.0.1", "-u", "alice", "-p", "secret1",
                               "-np", "new1", "-plu", "hosta"});
  EXPECT_EQ(std::string(kBanner) + "0000)\n" + kChanged, run.out);
  EXPECT_EQ(0, run.status);

  run = Remote({"-H", "127.0.0.1", "-S", "tarponGateway", "-u", "alice", "-p",
                "secret1", "-np", "new2", "-plu", "hosta"});
  EXPECT_EQ(std::string(kBanner) + "2002)\n" + kBadPassword, run.out);
  // The gateway's code exits as tarpon's would.
  EXPECT_EQ(202, run.status);

  // Only a host: the gateway's engine answers "-? " with its short usage.
  run = Remote({"127.0.0.1"});
  EXPECT_EQ(0u, run.out.find(std::string(kBanner) +
                             "0004)\n\n\n"
                             "Veltrix Korvid Common Server utility program.\n"))
      << run.out;
  EXPECT_NE(std::string::npos,
            run.out.find("tarpon -u user -p password -np newpassword -sd "
                         "side_information_profile  \n\n"));
  EXPECT_EQ(4, run.status);

  EXPECT_EQ(
      "TARPON SERVER starting: serviceName=tarponGateway\n"
      "TARPON SERVER started \n" +
          Listening() +
          "Session id(1) IP(127.0.0.1) user(alice) @host(hosta) tarponRc(0) \n"
          "Session id(2) IP(127.0.0.1) user(alice) @host(hosta) tarponRc(2002) "
          "\n"
          "Session id(3) IP(127.0.0.1) tarponRc(4) \n",
      Log("tarponRc(4) \n"));
  EXPECT_EQ("TARPON SERVER started: serviceName=tarponGateway, logFileName=" +
                box_.Path("gateway.log") + "\n",
            box_.Read("gateway.out"));
  // The log file the gateway created grants others nothing.
  struct stat status = {};
  ASSERT_EQ(0, stat(box_.Path("gateway.log").c_str(), &status));
  EXPECT_EQ(0u, status.st_mode & 0007);
}

// Standard streams the gateway cannot use neither stop nor end it.
TEST_F(GatewayTest, ServesWithoutUsableStandardStreams) {
  struct Case {
    const char* name;
    e2e::Streams streams;
    Args args;
  };
  const Case cases[] = {
      {"descriptors 0 to 2 closed",
       e2e::Streams::kClosed,
       {"-log", box_.Path("gateway.log")}},
      {"output and error to a closed pipe", e2e::Streams::kDeadPipe, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::Background gateway(Program("tarpons"), c.args, env_, "", "",
                            c.streams);
    ASSERT_TRUE(e2e::WaitForPort(port_, 10000));
    for (const char* change : {"new1", "new2"}) {
      e2e::RunResult run = Remote({"127.0.0.1", "-u", "alice", "-p", "secret1",
                                   "-np", change, "-plu", "hosta"});
      EXPECT_EQ(0u, run.out.find(kBanner)) << run.out;
    }
    EXPECT_GT(gateway.pid(), 0);
    gateway.Stop();
  }
}

TEST_F(GatewayTest, RefusesAnInvalidSessionTimeout) {
  for (const char* value : {"abc", "0", "-5", "3 ", " 3", "+3", "86401"}) {
    SCOPED_TRACE(value);
    e2e::RunResult run = e2e::Run(
        Program("tarpons"), {},
        {env_[0], env_[1], std::string("TARPON_SESSION_TIMEOUT=") + value});
    EXPECT_EQ(7, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(
        "TARPON SERVER E0007 : TARPON_SESSION_TIMEOUT must be a whole number "
        "of seconds from 1 to 86400. Terminating.\n",
        run.err);
  }
}

TEST_F(GatewayTest, SurvivesClientsThatCloseEarlyOrSendTooMuch) {
  StartGateway();
  {
    // Connects and closes at once: no engine run, no reply.
    Address address(port_, "127.0.0.1");
    Client client(address);
    ASSERT_TRUE(client.IsGood());
  }
  std::string userData;
  std::string oversized(120, 'x');
  EXPECT_EQ("\nTARPON SERVER E0006 : request too long, not processed.\n",
            Exchange(oversized, &userData));
  EXPECT_EQ("0014", userData);
  {
    // Sends a request and closes without reading the reply.
    Address address(port_, "127.0.0.1");
    Client client(address);
    ASSERT_TRUE(client.IsGood());
    ASSERT_EQ(0, client.SendRecord("-u bob -p passw0rd -np new1 -plu hosta"));
  }
  // Requests run at once: the next change starts from this one's password.
  ASSERT_TRUE(e2e::WaitForText(
      box_, "gateway.log",
      "Session id(3) IP(127.0.0.1) user(bob) @host(hosta) tarponRc(0) \n",
      10000));
  // The longest request the gateway takes, 86 characters, still runs.
  std::string longest = "-u bob -p new1 -np new2 -plu hosta -m #BATCH ";
  longest += std::string(86 - longest.size(), ' ');
  ASSERT_EQ(86u, longest.size());
  EXPECT_EQ(kChanged, Exchange(longest, &userData));
  EXPECT_EQ("0000", userData);
  EXPECT_EQ(
      "TARPON SERVER starting: serviceName=tarponGateway\n"
      "TARPON SERVER started \n" +
          Listening() +
          "Session id(1) IP(127.0.0.1) closed before a whole request\n"
          "Session id(2) IP(127.0.0.1) tarponRc(14) \n"
          "Session id(3) IP(127.0.0.1) user(bob) @host(hosta) tarponRc(0) \n"
          "Session id(4) IP(127.0.0.1) user(bob) @host(hosta) tarponRc(0) \n",
      Log("Session id(4) IP(127.0.0.1) user(bob) @host(hosta) tarponRc(0) \n"));
}

TEST_F(GatewayTest, IdleClientsDelayNoOneAndEndAtTheirDeadline) {
  StartGateway({"TARPON_SESSION_TIMEOUT=1"});
  // Two addresses, within the cap of connections without a request that
  // each address may hold.
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(e2e::ConnectFrom(i < 10 ? "127.0.0.2" : "127.0.0.3", port_));
    ASSERT_GE(idle.back(), 0);
  }
  long long start = e2e::NowMs();
  e2e::RunResult run = Remote({"127.0.0.1", "-u", "alice", "-p", "secret1",
                               "-np", "new1", "-plu", "hosta"});
  EXPECT_LT(e2e::NowMs() - start, 2000);
  EXPECT_EQ(std::string(kBanner) + "0000)\n" + kChanged, run.out);
  std::string log = Log("Session id(20) ended abnormally");
  for (int fd : idle) close(fd);
  EXPECT_NE(std::string::npos,
            log.find("Session id(21) IP(127.0.0.1) user(alice) @host(hosta) "
                     "tarponRc(0) \n"))
      << log;
  EXPECT_NE(std::string::npos,
            log.find("Session id(1) IP(127.0.0.2) no whole request within 1 "
                     "second\nSession id(1) ended "
                     "abnormally\n\nServer formatted dump \n"
                     "Connection object state ............: 7 ( STATE_ERROR"))
      << log;
}

TEST_F(GatewayTest, ProgrammaticEntryPointCapturesTheReply) {
  StartGateway();
  setenv("TARPON_SERVICES", box_.Path("services").c_str(), 1);
  char text[32];
  ApiResult result = {-1, sizeof text, text};
  int rc = tarponGateway("alice", "secret1", "new1", "hosta", &result,
                         "127.0.0.1", "-local", nullptr, 0);
  // The gateway's own code, not an exit status.
  EXPECT_EQ(21, rc);
  EXPECT_EQ(21, result.returnCode);
  // Cut at textSize - 1 characters and terminated.
  EXPECT_EQ(std::string(kBanner).substr(0, 31), text);

  // Without "-local" the server becomes "-s hosta"; the whole text fits.
  static char whole[4096];
  result = {-1, sizeof whole, whole};
  tarponGateway("alice", "secret1", "new1", "hosta", &result, "127.0.0.1",
                nullptr, "tarponGateway", 0);
  EXPECT_EQ(std::string(kBanner) + "0000)\n" + kChanged, whole);
  unsetenv("TARPON_SERVICES");
  EXPECT_NE(std::string::npos,
            Log("tarponRc(0) \n")
                .find("Session id(1) IP(127.0.0.1) user(alice) @host(local) "
                      "tarponRc(21) \n"));
}

TEST_F(GatewayTest, RefusesBadServerOptions) {
  struct Case {
    Args args;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {{"-S"}, "TARPON SERVER E0003 : missing service name. Terminating.\n", 2},
      {{"-S", "-t"},
       "TARPON SERVER E0003 : missing service name. Terminating.\n",
       2},
      {{"-x", "/?"},
       "TARPON SERVER E0004 : bad command line option. Terminating.\n",
       4},
      {{"-?"}, "", 4},
      {{"-penalties", "2:60:30:600"},
       "TARPON SERVER E0009 : missing or invalid value for -penalties. "
       "Terminating.\n",
       4},
      {{"-conversations", "0"},
       "TARPON SERVER E0009 : missing or invalid value for -conversations. "
       "Terminating.\n",
       4},
      {{"-conversations", "1025"},
       "TARPON SERVER E0009 : missing or invalid value for -conversations. "
       "Terminating.\n",
       4},
      {{"-log", box_.Path("missing/folder/log")},
       "TARPON SERVER E0011 : cannot open the log " +
           box_.Path("missing/folder/log") +
           ": No such file or directory\n"
           "TARPON SERVER E0001 : cannot open output log. Terminating.\n",
       6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    e2e::RunResult run = e2e::Run(Program("tarpons"), c.args, env_);
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ(ServerSyntax(), run.out);
    // "-t" writes its trace to standard error after the message.
    EXPECT_EQ(0u, run.err.find(c.err));
  }
}

TEST_F(GatewayTest, ReportsAServiceItCannotListenOn) {
  e2e::RunResult run =
      e2e::Run(Program("tarpons"), {"-S", "noSuchService"}, env_);
  EXPECT_EQ(5, run.status);
  std::string log = e2e::WithoutTimeStamps(run.err);
  EXPECT_EQ(0u, log.find("TARPON SERVER starting: serviceName=noSuchService\n"
                         "TARPON SERVER E0011 : service noSuchService is not "
                         "in the services database or TARPON_SERVICES: add a "
                         "line like 'noSuchService 5000/tcp'\n"
                         "TARPON SERVER E0005 : error encountered, not "
                         "started.\n"));
  EXPECT_NE(std::string::npos,
            log.find("TARPON SERVER ended abnormally\n\n"
                     "Listener formatted dump \n"
                     "Connection object state ............: 7 ( STATE_ERROR"
                     " ) \n"
                     "Reason code for state ..............: 4 ( "
                     "REASON_INVALID_ADDRESS ) \n"))
      << log;
  EXPECT_NE(std::string::npos,
            log.find("Reason for state ...................: 2 ( "
                     "REASON_GET_SERVICE_BY_NAME ) \n"));
}

TEST_F(GatewayTest, RemoteClientCommandLine) {
  struct Case {
    Args args;
    std::string err;
    int status;
  };
  const std::string e5 =
      "TARPON CLIENT E0005 : Missing host name. Please specify the host name "
      "or IP address.\n";
  const Case cases[] = {
      {{"-H", "127.0.0.1", "-S"},
       "TARPON CLIENT E0003 : missing service name. Terminating.\n",
       2},
      {{"-S", "tarponGateway"}, e5, 1},
      {{"-H"},
       "TARPON CLIENT E0004 : missing host name. Terminating.\n" + e5,
       1},
      {{"-t", "127.0.0.1"}, e5, 1},
      {{"127.0.0.1", "-u", "alice", "-p", "secret1", "-np", "new1", "-plu",
        "NETA.KSVHOST", "-m", "#BATCH", "-lu", "WKSTN1", "-cpic", "-v", "-log",
        "-noterm"},
       "TARPON CLIENT E0006 : options too long. Terminating.\n",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    e2e::RunResult run = Remote(c.args);
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ("", run.out);
    // "-t" adds trace lines around the message.
    EXPECT_NE(std::string::npos, run.err.find(c.err)) << run.err;
  }

  e2e::RunResult help = Remote({"/?"});
  EXPECT_EQ(4, help.status);
  EXPECT_EQ(0u, help.out.find("\nVeltrix Korvid CS: tarpon client utility "
                              "program syntax :\n\n" +
                              Program("tarponrc") +
                              " {-H} host {-S service} {-t} {-?} {tarpon "
                              "options} \n\n"));
  EXPECT_EQ(help.out, Remote({}).out);

  // Nothing listens on the port: the diagnostic dump, and no answer.
  e2e::RunResult refused = Remote({"127.0.0.1", "-?"});
  EXPECT_EQ(TARPON_GATEWAY_NO_ANSWER, refused.status);
  EXPECT_EQ(0u, refused.out.find(
                    "TARPON CLIENT errors encountered, diagnostic information "
                    "follows:Client formatted dump \n"
                    "Connection object state ............: 7 ( STATE_ERROR ) \n"
                    "Reason code for state ..............: 7 ( "
                    "REASON_CONNECT_FAILED ) \n"));
  EXPECT_NE(std::string::npos,
            refused.out.find("Last external API (TCP/IP) rc ......: 111\n"));
}

}  // namespace

namespace {

// The metrics listener answers /healthz while the process lives and
// /readyz while the loop answers and the SNA node can be used; the start
// line names where the gateway listens. With -log-format json every line
// is an object.
TEST(GatewayReadinessTest, ReadyzFollowsTheNodeAndTheStartNamesItsAddresses) {
  e2e::Sandbox box;
  box.Write("sna-node.conf", e2e::kGatewayNodeConfig);
  box.Write("users.db", kUsers);
  chmod(box.Path("users.db").c_str(), 0600);
  const int port = e2e::FreeLoopbackPort();
  box.Write("services", "tarponGateway " + std::to_string(port) + "/tcp\n");
  const struct {
    const char* what;
    std::string node;
    int status;
    const char* body;
  } cases[] = {
      {"a node that starts", box.Path("sna-node.conf"), 200, "ready\n"},
      {"no node", box.Path("missing.conf"), 503,
       "not ready: the SNA node cannot be used (rc 8)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string metrics =
        "127.0.0.1:" + std::to_string(e2e::FreeLoopbackPort());
    auto gateway = e2e::StartGateway(
        Program("tarpons"), box, "gateway",
        {"TARPON_SNA_NODE=" + c.node,
         "TARPON_SERVICES=" + box.Path("services")},
        {"-listen", "127.0.0.1", "-metrics", metrics, "-log-format", "json"});
    ASSERT_TRUE(gateway) << box.Read("gateway.err");
    const uint16_t metricsPort =
        static_cast<uint16_t>(std::stoi(metrics.substr(10)));
    auto get = [metricsPort](const std::string& path) {
      return http_test::HttpExchange(
          metricsPort, "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n");
    };
    http_test::HttpAnswer health = get("/healthz");
    EXPECT_EQ(200, health.status);
    EXPECT_EQ("ok\n", health.body);
    http_test::HttpAnswer ready = get("/readyz");
    EXPECT_EQ(c.status, ready.status);
    EXPECT_EQ(c.body, ready.body);
    const std::string log = box.Read("gateway.log");
    EXPECT_NE(
        std::string::npos,
        log.find("\"message\":\"TARPON SERVER listening on 127.0.0.1 "
                 "port " +
                 std::to_string(port) +
                 " (service tarponGateway), metrics on " + metrics + "\"}\n"))
        << log;
    size_t lines = 0;
    for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1) {
      EXPECT_EQ(0u, log.compare(at, 9, "{\"time\":\"")) << log.substr(at);
      if (++lines > 20) break;
    }
    gateway.reset();
    std::remove(box.Path("gateway.log").c_str());
    std::remove(box.Path("gateway.state").c_str());
  }
}

}  // namespace
