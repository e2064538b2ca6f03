// End-to-end test of the gateway against hostile clients: raw loopback
// sockets that close early, stall, send broken headers, oversized records or
// garbage, and a burst of connect-and-close. Afterwards the gateway must
// still change a password correctly and hold no more open descriptors than
// before. Every loop is bounded in count and in time; all traffic goes to
// 127.0.0.1.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/gateway_support.h"
#include "tests/support/tls_test_support.h"

namespace {

using e2e::kBanner;
using e2e::kChanged;
using e2e::kGatewayNodeConfig;

using Args = std::vector<std::string>;

const char kTooLong[] =
    "\nTARPON SERVER E0006 : request too long, not processed.\n";

// A record header: length field, type, version, user data, reserved.
std::string Header(uint32_t recordLength, char type,
                   const std::string& version = "01.0") {
  std::string header(44, '\0');
  header[0] = static_cast<char>((recordLength >> 8) & 0xFF);
  header[1] = static_cast<char>(recordLength & 0xFF);
  header[2] = type;
  header.replace(4, 4, version.substr(0, 4));
  return header;
}

std::string DataRecord(const std::string& data) {
  return Header(44 + static_cast<uint32_t>(data.size()), 'D') + data;
}

// What a raw client saw: the bytes up to the gateway's close (or reset).
struct Seen {
  bool connected = false;
  std::string bytes;
  // The reply record split into its return code text and data; "closed"
  // when the gateway sent no complete record.
  std::string ReturnCode() const {
    if (bytes.size() < 44) return "closed";
    return std::string(bytes.data() + 8, strnlen(bytes.data() + 8, 16));
  }
  std::string Data() const {
    if (bytes.size() < 44) return "closed";
    size_t length = (static_cast<unsigned char>(bytes[0]) << 8) |
                    static_cast<unsigned char>(bytes[1]);
    if (length < 44 || bytes.size() != length) return "malformed";
    return bytes.substr(44);
  }
};

class HostileGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override { Start({}); }

  // The gateway with extra settings in its environment.
  void Start(const Args& settings) {
    gateway_.reset();
    box_.Write("gateway.log", "");
    box_.Write("sna-node.conf", kGatewayNodeConfig);
    box_.Write("users.db", "ALICE SECRET1\nBOB PASSW0RD\n");
    port_ = e2e::FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    box_.Write("services", "tarponGateway " + std::to_string(port_) + "/tcp\n");
    // A stalled client is dropped after a second.
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services"),
            "TARPON_SESSION_TIMEOUT=1"};
    Args env = env_;
    env.insert(env.end(), settings.begin(), settings.end());
    gateway_ =
        e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, "gateway", env);
    ASSERT_TRUE(gateway_) << box_.Read("gateway.err");
  }

  int OpenDescriptors() const { return e2e::OpenDescriptors(gateway_->pid()); }

  // The descriptor count once it has settled at "expected" (a session may
  // still be closing), or the last count seen after two seconds.
  int SettledDescriptors(int expected) const {
    long long deadline = e2e::NowMs() + 2000;
    int count = OpenDescriptors();
    while (count != expected && e2e::NowMs() < deadline) {
      usleep(10000);
      count = OpenDescriptors();
    }
    return count;
  }

  // A connected loopback socket, or -1 when the connect did not complete
  // within timeoutMs.
  int Connect(int timeoutMs = 2000) const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd waiting = {fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      if (poll(&waiting, 1, timeoutMs) == 1 &&
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
          error == 0) {
        rc = 0;
      }
    }
    if (rc != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // Sends bytes (as far as the gateway takes them), closes our sending side
  // unless keepOpen, and reads until the gateway closes or timeoutMs pass.
  Seen Throw(const std::string& bytes, bool keepOpen = false,
             int timeoutMs = 4000) const {
    Seen seen;
    int fd = Connect();
    if (fd < 0) return seen;
    seen.connected = true;
    long long deadline = e2e::NowMs() + timeoutMs;
    size_t sent = 0;
    bool open = true;
    if (bytes.empty() && !keepOpen) shutdown(fd, SHUT_WR);
    while (open && e2e::NowMs() < deadline) {
      short events = POLLIN;
      if (sent < bytes.size()) events |= POLLOUT;
      pollfd ready = {fd, events, 0};
      if (poll(&ready, 1, 50) <= 0) continue;
      if (ready.revents & POLLIN || ready.revents & (POLLHUP | POLLERR)) {
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          seen.bytes.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EAGAIN) {
          open = false;
        }
      }
      if (open && sent < bytes.size() && (ready.revents & POLLOUT)) {
        ssize_t n =
            send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) sent = bytes.size();
        if (sent == bytes.size() && !keepOpen) shutdown(fd, SHUT_WR);
      }
    }
    close(fd);
    return seen;
  }

  e2e::RunResult Change(const std::string& user, const std::string& from,
                        const std::string& to,
                        const Args& settings = {}) const {
    Args env = env_;
    env.insert(env.end(), settings.begin(), settings.end());
    return e2e::Run(
        e2e::BinDir() + "/tarponrc",
        {"127.0.0.1", "-u", user, "-p", from, "-np", to, "-plu", "hosta"}, env);
  }

  e2e::Sandbox box_;
  int port_ = -1;
  std::vector<std::string> env_;
  std::unique_ptr<e2e::Background> gateway_;
};

TEST_F(HostileGatewayTest, SurvivesHostileClientsAndStillServes) {
  const int before = OpenDescriptors();
  ASSERT_GT(before, 0);

  const std::string request = "-u bob -p passw0rd -np hostile -plu hosta";
  std::string wrongVersion = DataRecord(request);
  wrongVersion.replace(4, 4, "01.1");
  std::string belowHeader = DataRecord(request);
  belowHeader[0] = 0;
  belowHeader[1] = 30;
  struct Case {
    const char* name;
    std::string bytes;
    bool keepOpen;
    const char* returnCode;  // "closed": no reply record
    const char* data;        // nullptr: any reply
  };
  const Case cases[] = {
      {"connect and close", "", false, "closed", "closed"},
      {"partial header", Header(80, 'D').substr(0, 20), false, "closed",
       "closed"},
      {"partial header, then silence", Header(80, 'D').substr(0, 20), true,
       "closed", "closed"},
      {"header, then silence", Header(80, 'D'), true, "closed", "closed"},
      {"data cut short", DataRecord(request).substr(0, 60), false, "closed",
       "closed"},
      {"empty data record", Header(44, 'D'), false, "0004", nullptr},
      {"status record 0", Header(44, 'S'), false, "closed", "closed"},
      // The engine runs on its own options alone and answers with its
      // short usage; the request data are never run.
      {"wrong version", wrongVersion, false, "0004", nullptr},
      {"unknown record type", Header(50, 'E') + "abcdef", false, "0004",
       nullptr},
      {"record length below 44", belowHeader, false, "0004", nullptr},
      {"oversized request", DataRecord(std::string(87, 'x')), false, "0014",
       kTooLong},
      {"60,000-byte record", DataRecord(std::string(60000 - 44, 'y')), false,
       "0014", kTooLong},
      {"announces 60,000 bytes, sends 100",
       DataRecord(std::string(59956, 'z')).substr(0, 144), false, "closed",
       "closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Seen seen = Throw(c.bytes, c.keepOpen);
    ASSERT_TRUE(seen.connected);
    EXPECT_EQ(c.returnCode, seen.ReturnCode());
    if (c.data != nullptr) {
      EXPECT_EQ(c.data, seen.Data());
    }
  }
  // Nothing of the refused requests reached the host.
  EXPECT_EQ("ALICE SECRET1\nBOB PASSW0RD\n", box_.Read("users.db"));

  // Garbage: random bytes as a whole, and random data behind a sound header
  // (which the engine then gets as its options). Any answer will do.
  std::mt19937 random(20261208);
  for (int i = 0; i < 10; ++i) {
    std::string garbage(1 + random() % 300, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    ASSERT_TRUE(Throw(garbage).connected) << "garbage " << i;
    std::string data(1 + random() % 86, '\0');
    for (char& c : data) c = static_cast<char>(random());
    ASSERT_TRUE(Throw(DataRecord(data)).connected) << "garbage data " << i;
  }

  // 500 connect-and-close in a row. Each client half-closes and waits,
  // bounded, for the gateway to close its side, so that the burst stays
  // within the per-address cap of connections without a request.
  int served = 0;
  long long burstDeadline = e2e::NowMs() + 10000;
  for (int i = 0; i < 500 && e2e::NowMs() < burstDeadline; ++i) {
    int fd = Connect(1000);
    if (fd < 0) continue;
    shutdown(fd, SHUT_WR);
    pollfd closing = {fd, POLLIN, 0};
    char byte;
    if (poll(&closing, 1, 1000) == 1 && recv(fd, &byte, 1, 0) == 0) ++served;
    close(fd);
  }
  EXPECT_EQ(500, served);

  e2e::RunResult run = Change("alice", "secret1", "after1");
  EXPECT_EQ(std::string(kBanner) + "0000)\n" + kChanged, run.out);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ALICE     AFTER1\nBOB PASSW0RD\n", box_.Read("users.db"));
  EXPECT_EQ(before, SettledDescriptors(before));
  EXPECT_EQ("", box_.Read("gateway.err"));
}

// With TLS on, hostile bytes in clear text, broken handshakes and garbage
// behind a handshake header are refused before anything reaches the
// engine; the gateway then still serves a change over TLS.
TEST_F(HostileGatewayTest, TlsRoundRefusesAllButHandshakes) {
  tls_test::TestCertificates certificates;
  ASSERT_TRUE(certificates.Ok());
  Start({"TARPON_TLS_CERT=" + certificates.Path("gateway.pem"),
         "TARPON_TLS_KEY=" + certificates.Path("gateway.key")});
  const int before = OpenDescriptors();
  ASSERT_GT(before, 0);

  const std::string handshake("\x16\x03\x01", 3);
  std::vector<std::pair<std::string, bool>> hostile = {
      {DataRecord("-u bob -p passw0rd -np hostile -plu hosta"), false},
      {"", false},
      {"", true},
      {handshake, false},
      {handshake + std::string("\x40\x00", 2), true},
      {handshake + std::string("\x00\x05\x01\x00\x00\x01\x00", 7), false},
  };
  std::mt19937 random(20261208);
  for (int i = 0; i < 10; ++i) {
    std::string garbage(1 + random() % 300, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    hostile.push_back({garbage, false});
    hostile.push_back({handshake + garbage, false});
  }
  for (size_t i = 0; i < hostile.size(); ++i) {
    Seen seen = Throw(hostile[i].first, hostile[i].second);
    ASSERT_TRUE(seen.connected) << i;
    EXPECT_EQ("closed", seen.ReturnCode()) << i;
  }

  e2e::RunResult run = Change("alice", "secret1", "after1",
                              {"TARPON_TLS_CA=" + certificates.Path("ca.pem")});
  EXPECT_EQ(std::string(kBanner) + "0000)\n" + kChanged, run.out);
  EXPECT_EQ("ALICE     AFTER1\nBOB PASSW0RD\n", box_.Read("users.db"));
  EXPECT_EQ(before, SettledDescriptors(before));
  // The engine ran once: for the change.
  std::string log = box_.Read("gateway.log");
  EXPECT_EQ(log.find("tarponRc("), log.rfind("tarponRc(")) << log;
  EXPECT_EQ("", box_.Read("gateway.err"));
}

}  // namespace
