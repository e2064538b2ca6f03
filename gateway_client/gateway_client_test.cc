// The remote client against a fake gateway: a loopback listener thread that
// reads the request record and answers with crafted bytes.
#include "gateway_client/gateway_client.h"

#include <arpa/inet.h>
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

#include "comm/test_support.h"
#include "trace/stdout_capture.h"

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

// Receives once, waiting at most kWaitMs; "" when the peer closed or the
// wait ran out.
std::string ReceiveSome(int fd) {
  pollfd ready = {fd, POLLIN, 0};
  char buffer[4096];
  if (poll(&ready, 1, kWaitMs) != 1) return "";
  ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

// Serves one connection on a free loopback port named tarponGateway: reads
// the request record, sends the reply bytes, then closes at once, or with
// hold only once the client has closed.
class FakeGateway {
 public:
  FakeGateway(const std::string& reply, bool hold) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address),
             sizeof address) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address),
                    &length) != 0) {
      ADD_FAILURE() << "no loopback listener";
      return;
    }
    services_ = std::make_unique<comm_test::ServicesFile>(
        "tarponGateway " + std::to_string(ntohs(address.sin_port)) + "/tcp\n");
    thread_ = std::thread([this, reply, hold] { Serve(reply, hold); });
  }
  ~FakeGateway() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }

 private:
  void Serve(const std::string& reply, bool hold) {
    pollfd ready = {listener_, POLLIN, 0};
    if (poll(&ready, 1, kWaitMs) != 1) return;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    std::string request;
    for (std::string more = ReceiveSome(fd); !more.empty();) {
      request += more;
      size_t length = request.size() < 2
                          ? 44
                          : (static_cast<unsigned char>(request[0]) << 8 |
                             static_cast<unsigned char>(request[1]));
      if (request.size() >= length) break;
      more = ReceiveSome(fd);
    }
    if (!reply.empty()) send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    while (hold && !ReceiveSome(fd).empty()) {
    }
    close(fd);
  }

  int listener_ = -1;
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
  StdoutCapture capture;
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
       "Connection object state ............: 8 ( STATE_CONNECTION_CLOSED", ""},
      {"status record", Record('S', 44, "", ""), false, none,
       "Connection object state ............: 8 ( STATE_CONNECTION_CLOSED", ""},
      {"short reply", Record('D', 144, "0000", "only ten.."), false, none,
       "Reason code for state ..............: 14 ( REASON_SEND_FAILED", ""},
      {"never answers", "", true, none,
       "Reason code for state ..............: 15 ( REASON_RECEIVE_TIMED_OUT",
       ""},
  };
  setenv("TARPON_CLIENT_TIMEOUT", "1", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeGateway gateway(c.reply, c.hold);
    Outcome run = RunClient({"127.0.0.1", "-u", "x"});
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ(c.err, run.err);
    if (c.out.rfind("Connection", 0) == 0 || c.out.rfind("Reason", 0) == 0) {
      EXPECT_EQ(0u, run.out.find(kDump)) << run.out;
      EXPECT_NE(std::string::npos, run.out.find(c.out)) << run.out;
    } else {
      EXPECT_EQ(c.out, run.out);
    }
  }
  unsetenv("TARPON_CLIENT_TIMEOUT");
}

TEST(GatewayClient, RefusesAnInvalidTimeoutBeforeConnecting) {
  // Nothing listens on the port: a connect would end in the dump instead.
  comm_test::ServicesFile services(
      "tarponGateway " + std::to_string(comm_test::FreePort()) + "/tcp\n");
  for (const char* value : {"abc", "0", "-5", "3 ", " 3", "86401", ""}) {
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

}  // namespace
