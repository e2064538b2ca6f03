// The gateway loop's dispatch on a clock of the test's: every deadline the
// loop keeps (the session's for its request, the stop's grace) is read
// from the admission's clock, which here moves a second each time it is
// read, so that minutes of the loop's time pass in a few turns. Each case
// is one connection, its bytes in the socket before the loop starts, and a
// stop that ends the loop once the connection is done with.
#include "gateway/gateway_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>
#include <string>

#include "comm/address.h"
#include "comm/clock.h"
#include "comm/gateway_protocol.h"
#include "comm/tls.h"
#include "gateway/admission.h"
#include "tests/support/gateway_support.h"
#include "tests/support/test_support.h"
#include "trace/trace.h"

namespace {

// Moves stepMs each time it is read.
class SteppingClock : public Clock {
 public:
  explicit SteppingClock(int64_t stepMs) : stepMs_(stepMs) {}
  int64_t NowMs() const override { return now_ += stepMs_; }

 private:
  const int64_t stepMs_;
  mutable std::atomic<int64_t> now_{1000000};
};

std::string DataRecord(const std::string& data) {
  return comm_test::RecordHeader(44 + static_cast<uint32_t>(data.size()), 'D') +
         data;
}

// The reply's return code text, or "closed" when no whole record came.
std::string ReplyCode(int fd) {
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) bytes.append(buffer, n);
  if (bytes.size() < 44) return "closed";
  return std::string(bytes.data() + 8, strnlen(bytes.data() + 8, 16));
}

TEST(GatewayLoopTest, DispatchesEachConnectionOnTheAdmissionsClock) {
  e2e::Sandbox box;
  box.Write("sna-node.conf", e2e::kGatewayNodeConfig);
  box.Write("users.db", "ALICE SECRET1\n");
  setenv("TARPON_SNA_NODE", box.Path("sna-node.conf").c_str(), 1);
  const struct {
    const char* name;
    std::string bytes;
    bool keepOpen;     // the client's sending side stays open
    const char* code;  // the reply's, or "closed"
    const char* log;   // in the loop's log; null: nothing logged
  } cases[] = {
      // Answered on the loop's thread, no host conversation behind it.
      {"help", DataRecord("-?"), false, "0004", "tarponRc(4)"},
      {"local path", DataRecord("-u alice -zz"), false, "0014",
       "user(alice) @host(local) tarponRc(14)"},
      // A host conversation, held on the loop's thread (its only session).
      {"change", DataRecord("-u alice -p secret1 -np new2 -plu hosta"), false,
       "0000", "user(alice) @host(hosta) tarponRc(0)"},
      // A request that never comes whole: the stop's grace, two seconds on
      // the loop's clock, closes it without a line, although its own
      // minute has not run.
      {"nothing sent", "", true, "closed", nullptr},
      {"header alone", comm_test::RecordHeader(60, 'D'), true, "closed",
       nullptr},
  };
  for (const auto& c : cases) {
    const int logFd = open(box.Path(std::string(c.name) + ".log").c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(logFd, 0);
    std::optional<GatewayLog> log;
    log.emplace(logFd, logFd);
    std::streambuf* saved = trace_log().rdbuf(&*log);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    send(fds[0], c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
    if (!c.keepOpen) shutdown(fds[0], SHUT_WR);
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    const auto start = std::chrono::steady_clock::now();
    {
      SteppingClock clock(1000);
      GatewayListener listener(Address(static_cast<uint16_t>(0),
                                       static_cast<uint32_t>(INADDR_LOOPBACK)),
                               1);
      ASSERT_TRUE(listener.IsGood());
      Admission admission(GatewayLimits(), 60, GATEWAY_MAX_REQUEST_LENGTH,
                          clock, 1);
      // Conversations are abandoned only an hour of the loop's time into
      // the stop: this clock's hour is 3,600 readings away.
      LoopSettings settings;
      settings.stopSeconds = 3600;
      GatewayLoop loop({&listener}, admission, *log, nullptr, settings);
      sockaddr_storage peer = {};
      sockaddr_in* ipv4 = reinterpret_cast<sockaddr_in*>(&peer);
      ipv4->sin_family = AF_INET;
      ipv4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      loop.Admit(Fd(fds[1]), peer, "127.0.0.1");
      raise(SIGTERM);
      EXPECT_TRUE(loop.Run()) << c.name;
    }
    // The loop waited on its own clock: not the real two seconds of grace.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(1900))
        << c.name;
    EXPECT_EQ(c.code, ReplyCode(fds[0])) << c.name;
    close(fds[0]);
    trace_log().flush();
    trace_log().rdbuf(saved);
    log.reset();
    close(logFd);
    const std::string logged = box.Read(std::string(c.name) + ".log");
    if (c.log == nullptr) {
      EXPECT_EQ("", logged) << c.name;
    } else {
      EXPECT_NE(std::string::npos, logged.find(c.log)) << c.name << logged;
    }
  }
  unsetenv("TARPON_SNA_NODE");
}

}  // namespace
