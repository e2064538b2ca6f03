// End-to-end test of the remote client's one-line causes: tarponrc as a
// process against a name that does not resolve, a port nothing listens on, a
// service missing, a listener that never answers and one that closes at
// once. Each run prints its line on standard error and then the dump, as
// before, on standard output, and exits with 100.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e_support.h"
#include "tests/support/gateway_support.h"

namespace {

// A listening socket on a loopback port; with closing, a thread accepts
// one connection and closes it at once, else nobody accepts and the
// connection waits in the queue, unanswered.
class SilentListener {
 public:
  explicit SilentListener(bool closing) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    if (!closing) return;
    thread_ = std::thread([this] {
      pollfd ready = {fd_, POLLIN, 0};
      if (poll(&ready, 1, 10000) != 1) return;
      int accepted = accept(fd_, nullptr, nullptr);
      if (accepted >= 0) close(accepted);
    });
  }
  ~SilentListener() {
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(RemoteClientMessages, OneLineNamesTheCauseBeforeTheDump) {
  e2e::Sandbox box;
  SilentListener holding(false);
  SilentListener closing(true);
  const int refused = e2e::FreeLoopbackPort();
  ASSERT_GT(holding.port(), 0);
  ASSERT_GT(closing.port(), 0);
  box.Write("refused", "tarponGateway " + std::to_string(refused) + "/tcp\n");
  box.Write("holding",
            "tarponGateway " + std::to_string(holding.port()) + "/tcp\n");
  box.Write("closing",
            "tarponGateway " + std::to_string(closing.port()) + "/tcp\n");
  const std::string at = "127.0.0.1 port ";
  struct Case {
    const char* name;
    std::string host;
    std::string services;  // the file TARPON_SERVICES names
    std::vector<std::string> more;
    std::string line;  // the whole line, or how it begins when end is set
    std::string end;   // the end after the resolver's own words
  };
  const Case cases[] = {
      {"a name that does not resolve",
       "no.such.host.invalid",
       "refused",
       {},
       "TARPON CLIENT E0013 : cannot resolve no.such.host.invalid: ",
       ". Check the gateway's name, or give its address.\n"},
      {"nothing listens",
       "127.0.0.1",
       "refused",
       {},
       "TARPON CLIENT E0015 : connection refused at " + at +
           std::to_string(refused) + ": is tarpons running there?\n",
       ""},
      {"the service is named nowhere",
       "127.0.0.1",
       "refused",
       {"-S", "tarponNoSuchService"},
       "TARPON CLIENT E0014 : service tarponNoSuchService is neither in "
       "TARPON_SERVICES nor in the services database. Add "
       "\"tarponNoSuchService PORT/tcp\" to /etc/services or to the file "
       "TARPON_SERVICES names, or name another service with -S.\n",
       ""},
      {"no answer in time",
       "localhost",
       "holding",
       {},
       "TARPON CLIENT E0017 : no answer from the gateway at " + at +
           std::to_string(holding.port()) +
           " within 1 seconds: it may be busy or out of reach; "
           "TARPON_CLIENT_TIMEOUT sets a longer wait.\n",
       ""},
      {"closed without answering",
       "127.0.0.1",
       "closing",
       {},
       "TARPON CLIENT E0018 : the gateway at " + at +
           std::to_string(closing.port()) +
           " closed the connection without a whole answer: it may require "
           "TLS (set TARPON_TLS_CA), or refuse this address for a while "
           "after failed sign-ons.\n",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {
        c.host, "-u", "ALICE", "-p", "SECRET1", "-np", "NEWPW1", "-s", "hosta"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    e2e::RunResult run = e2e::Run(
        e2e::BinDir() + "/tarponrc", args,
        {"TARPON_SERVICES=" + box.Path(c.services), "TARPON_CLIENT_TIMEOUT=1"});
    EXPECT_EQ(100, run.status);
    if (c.end.empty()) {
      EXPECT_EQ(c.line, run.err);
    } else {
      EXPECT_EQ(0u, run.err.find(c.line)) << run.err;
      EXPECT_EQ(run.err.size() - c.end.size(), run.err.rfind(c.end)) << run.err;
      EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n'));
    }
    EXPECT_EQ(0u, run.out.find("TARPON CLIENT errors encountered, diagnostic "
                               "information follows:Client formatted dump \n"))
        << run.out;
  }
}

}  // namespace
