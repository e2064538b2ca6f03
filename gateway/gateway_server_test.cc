// Unit tests of a gateway session over a connected socket pair: the client's
// bytes are in the socket before the session starts, so every case runs the
// same way every time, and the engine runs against an emulated node in a
// temporary folder. The gateway's own loop serves each session, stopped
// as SIGTERM stops it, so that it ends once the session has.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "comm/address.h"
#include "comm/clock.h"
#include "comm/fd.h"
#include "comm/gateway_protocol.h"
#include "comm/tls.h"
#include "gateway/admission.h"
#include "gateway/gateway_limits.h"
#include "gateway/gateway_log.h"
#include "gateway/gateway_loop.h"
#include "tests/support/gateway_support.h"
#include "tests/support/test_support.h"
#include "trace/trace.h"

namespace {

const char kUsers[] = "ALICE SECRET1\nBOB PASSW0RD\n";
const char kTooLong[] =
    "\nTARPON SERVER E0006 : request too long, not processed.\n";
const char kClosed[] = "closed";
const char kClosedEarly[] =
    "Session id(#) IP(127.0.0.1) closed before a whole request\n";
const char kNoRequest[] =
    "Session id(#) IP(127.0.0.1) no whole request within 1 second\n";

using comm_test::RecordHeader;

std::string DataRecord(const std::string& data) {
  return RecordHeader(44 + static_cast<uint32_t>(data.size()), 'D') + data;
}

// What the client saw after the session: the reply's return code text and
// data, or "closed" for both when no whole record came.
struct Reply {
  std::string code = kClosed;
  std::string data = kClosed;
};

Reply ReadReply(int fd) {
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) bytes.append(buffer, n);
  Reply reply;
  if (bytes.size() < 44) return reply;
  size_t length = (static_cast<unsigned char>(bytes[0]) << 8) |
                  static_cast<unsigned char>(bytes[1]);
  if (length != bytes.size()) return reply;
  reply.code = std::string(bytes.data() + 8, strnlen(bytes.data() + 8, 16));
  reply.data = bytes.substr(44);
  return reply;
}

// A connected TCP pair on 127.0.0.1 (for resets), or a Unix socket pair.
bool MakePair(bool tcp, int* client, int* server) {
  if (!tcp) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      return false;
    }
    *client = fds[0];
    *server = fds[1];
    return true;
  }
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bool ok = bind(listener, reinterpret_cast<sockaddr*>(&address),
                 sizeof address) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address),
                        &length) == 0;
  *client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ok = ok && connect(*client, reinterpret_cast<sockaddr*>(&address),
                     sizeof address) == 0;
  *server = ok ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  close(listener);
  return ok && *server >= 0;
}

class GatewaySessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Write("sna-node.conf", e2e::kGatewayNodeConfig);
    box_.Write("users.db", kUsers);
    setenv("TARPON_SNA_NODE", box_.Path("sna-node.conf").c_str(), 1);
    logFd_ = open(box_.Path("gateway.log").c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    log_.emplace(logFd_, logFd_);
    savedLog_ = trace_log().rdbuf(&*log_);
  }
  void TearDown() override {
    trace_log().rdbuf(savedLog_);
    log_.reset();
    close(logFd_);
    unsetenv("TARPON_SNA_NODE");
  }

  // Serves one connection from 127.0.0.1 on the gateway's loop, with a
  // session timeout of one second: a stop comes first, so that the loop
  // ends when the session does (the stop's grace is longer than the
  // timeout).
  void ServeSession(Fd socket) {
    int flags = fcntl(socket.get(), F_GETFL);
    fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK);
    GatewayListener listener(Address(static_cast<uint16_t>(0),
                                     static_cast<uint32_t>(INADDR_LOOPBACK)),
                             1);
    ASSERT_TRUE(listener.IsGood());
    Admission admission(GatewayLimits(), 1, GATEWAY_MAX_REQUEST_LENGTH,
                        Clock::Steady(), 1);
    GatewayLoop loop({&listener}, admission, *log_);
    sockaddr_storage peer = {};
    sockaddr_in* ipv4 = reinterpret_cast<sockaddr_in*>(&peer);
    ipv4->sin_family = AF_INET;
    ipv4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    loop.Admit(std::move(socket), peer, "127.0.0.1");
    raise(SIGTERM);
    EXPECT_TRUE(loop.Run());
  }

  // Puts the bytes into the client's end, closes its sending side unless
  // keepOpen, serves the session and returns what the client received.
  Reply Serve(const std::string& bytes, bool keepOpen = false,
              bool tcp = false) {
    int client = -1;
    int server = -1;
    if (!MakePair(tcp, &client, &server)) return Reply{};
    send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (!keepOpen) shutdown(client, SHUT_WR);
    ServeSession(Fd(server));
    Reply reply = ReadReply(client);
    close(client);
    return reply;
  }

  // The log written so far without time stamps, session ids as "#".
  std::string Log() const {
    std::string log = e2e::WithoutTimeStamps(box_.Read("gateway.log"));
    return std::regex_replace(log, std::regex("id\\([0-9]+\\)"), "id(#)");
  }

  e2e::Sandbox box_;
  std::optional<GatewayLog> log_;
  int logFd_ = -1;
  std::streambuf* savedLog_ = nullptr;
};

TEST_F(GatewaySessionTest, AnswersEachKindOfRequest) {
  std::string wrongVersion = DataRecord("-?");
  wrongVersion.replace(4, 4, "01.1");
  struct Case {
    const char* name;
    std::string bytes;
    bool keepOpen;
    const char* code;
    const char* data;  // nullptr: any text
    const char* log;
  };
  const Case cases[] = {
      {"change", DataRecord("-u bob -p passw0rd -np new1 -plu hosta"), false,
       "0000", e2e::kChanged,
       "Session id(#) IP(127.0.0.1) user(bob) @host(hosta) tarponRc(0) \n"},
      // A request may not switch on the gateway's trace.
      {"trace switch dropped",
       DataRecord("-ftrace -u bob -p new1 -np new2 /ftrace -plu hosta"), false,
       "0000", e2e::kChanged,
       "Session id(#) IP(127.0.0.1) user(bob) @host(hosta) tarponRc(0) \n"},
      // Requests that are not run: the engine answers its own options alone.
      {"empty request, peer waiting", RecordHeader(44, 'D'), true, "0004",
       nullptr, "Session id(#) IP(127.0.0.1) tarponRc(4) \n"},
      {"wrong version", wrongVersion, false, "0004", nullptr,
       "Session id(#) IP(127.0.0.1) tarponRc(4) \n"},
      {"record length below 44", RecordHeader(30, 'D') + "-?", false, "0004",
       nullptr, "Session id(#) IP(127.0.0.1) tarponRc(4) \n"},
      {"oversized request", DataRecord(std::string(87, 'x')), false, "0014",
       kTooLong, "Session id(#) IP(127.0.0.1) tarponRc(14) \n"},
      {"closed at once", "", false, kClosed, kClosed, kClosedEarly},
      {"status record 0", RecordHeader(44, 'S'), true, kClosed, kClosed,
       kClosedEarly},
      {"data cut short by a close", DataRecord("-u bob -p x").substr(0, 50),
       false, kClosed, kClosed, kClosedEarly},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before = Log();
    Reply reply = Serve(c.bytes, c.keepOpen);
    EXPECT_EQ(c.code, reply.code);
    if (c.data != nullptr) {
      EXPECT_EQ(c.data, reply.data);
    }
    EXPECT_EQ(c.log, Log().substr(before.size()));
  }
  EXPECT_EQ("ALICE SECRET1\nBOB       NEW2\n", box_.Read("users.db"));
}

// Whatever way a request stalls, the session ends at its deadline, as an
// expired receive, without a reply.
TEST_F(GatewaySessionTest, EndsAStalledRequestAtTheDeadline) {
  const char kTimedOut[] =
      "Session id(#) ended abnormally\n\nServer formatted dump \n"
      "Connection object state ............: 7 ( STATE_ERROR ) \n"
      "Reason code for state ..............: 15 ( REASON_RECEIVE_TIMED_OUT ) "
      "\n";
  struct Case {
    const char* name;
    std::string bytes;
    const char* logStart;
  };
  const Case cases[] = {
      {"nothing sent", "", kNoRequest},
      {"part of a header", RecordHeader(80, 'D').substr(0, 20), kNoRequest},
      {"header alone", RecordHeader(80, 'D'), kNoRequest},
      {"refused record cut short", RecordHeader(60000, 'D') + "xyz",
       "Session id(#) IP(127.0.0.1) tarponRc(14) \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before = Log();
    Reply reply = Serve(c.bytes, true);
    EXPECT_EQ(kClosed, reply.code);
    EXPECT_EQ(std::string(c.logStart) + kTimedOut,
              Log().substr(before.size(),
                           std::strlen(c.logStart) + std::strlen(kTimedOut)));
  }
}

// A client that announces a large record and trickles its data a byte at
// a time never holds the session past its deadline.
TEST_F(GatewaySessionTest, DropsAClientThatTricklesARefusedRecord) {
  int client = -1;
  int server = -1;
  ASSERT_TRUE(MakePair(false, &client, &server));
  std::string header = RecordHeader(60000, 'D');
  send(client, header.data(), header.size(), MSG_NOSIGNAL);
  std::thread trickler([client] {
    for (int i = 0; i < 100 && send(client, "x", 1, MSG_NOSIGNAL) == 1; ++i) {
      usleep(50000);
    }
  });
  long long start = e2e::NowMs();
  ServeSession(Fd(server));
  long long elapsed = e2e::NowMs() - start;
  trickler.join();
  close(client);
  EXPECT_LT(elapsed, 3000);
  EXPECT_NE(std::string::npos, Log().find("REASON_RECEIVE_TIMED_OUT"));
}

// A request cut short by a reset never runs: the part alone would change
// BOB's password to "HOST".
TEST_F(GatewaySessionTest, NeverRunsARequestCutShortByAReset) {
  const std::string request = "-plu hosta -u bob -p passw0rd -np hostile1";
  const std::string part =
      DataRecord(request).substr(0, 44 + request.find("tile1"));
  int client = -1;
  int server = -1;
  ASSERT_TRUE(MakePair(true, &client, &server));
  ASSERT_EQ(static_cast<ssize_t>(part.size()),
            send(client, part.data(), part.size(), MSG_NOSIGNAL));
  linger reset = {1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(client);
  ServeSession(Fd(server));
  EXPECT_EQ(kUsers, box_.Read("users.db"));
  EXPECT_EQ(std::string::npos, Log().find("tarponRc(")) << Log();
}

}  // namespace
