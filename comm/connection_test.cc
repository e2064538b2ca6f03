#include "comm/connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/server.h"
#include "tests/support/test_support.h"

namespace {

using comm_test::Dump;

// A record as raw bytes: length field, type, version, user data (or the
// status byte) and data.
std::string Record(char type, const std::string& data,
                   const std::string& userData = std::string(16, 'u'),
                   const char* version = "01.0", int lengthField = -1) {
  std::string header(44, '\0');
  uint16_t length = static_cast<uint16_t>(
      lengthField >= 0 ? lengthField : 44 + static_cast<int>(data.size()));
  header[0] = static_cast<char>(length >> 8);
  header[1] = static_cast<char>(length & 0xFF);
  header[2] = type;
  header.replace(4, 4, version, 4);
  header.replace(8, userData.size(), userData);
  return header + data;
}

std::string Status(uint8_t status) {
  return Record('S', "", std::string(1, static_cast<char>(status)));
}

// One end of a socket pair wrapped in a Server (which adopts any socket),
// the other end raw for writing exact bytes. A packet pair keeps the
// boundaries of each write, so pieces arrive as pieces.
class ConnectionTest : public ::testing::Test {
 protected:
  void Pair(int type) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, type, 0, fds));
    ExportClient handedOver = {};
    handedOver.socket = htonl(static_cast<uint32_t>(fds[0]));
    connection_ = std::make_unique<Server>(handedOver);
    ClosePeer();
    peer_ = fds[1];
    ASSERT_TRUE(connection_->IsGood());
    // A fault that loses bytes must not hang the test.
    ASSERT_EQ(0, connection_->SetReceiveTimeout(10));
  }
  void SetUp() override { Pair(SOCK_SEQPACKET); }
  void TearDown() override { ClosePeer(); }
  void Write(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              send(peer_, bytes.data(), bytes.size(), 0));
  }
  // A whole record as two packets, header and data.
  void WriteRecord(const std::string& bytes) {
    Write(bytes.substr(0, 44));
    if (bytes.size() > 44) Write(bytes.substr(44));
  }
  void ClosePeer() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }
  // Whatever is waiting at the peer, without blocking.
  std::string ReadAtPeer() {
    std::vector<char> buffer(70000);
    ssize_t n = recv(peer_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    return n > 0 ? std::string(buffer.data(), n) : std::string();
  }

  std::unique_ptr<Server> connection_;
  int peer_ = -1;
};

TEST_F(ConnectionTest, SendRecordWritesHeaderUserDataAndData) {
  connection_->SetUserData("0004\0restIgnored");
  ASSERT_EQ(0, connection_->SendRecord("abc"));
  std::string expected =
      Record('D', "abc", std::string("0004\0restIgnored", 16));
  expected[3] = '\0';
  std::string got = ReadAtPeer();
  // The reserved bytes are ours to choose: compare all the others.
  ASSERT_EQ(expected.size(), got.size());
  EXPECT_EQ(expected.substr(0, 24), got.substr(0, 24));
  EXPECT_EQ("abc", got.substr(44));

  ASSERT_EQ(0, connection_->SendStatus(0));
  got = ReadAtPeer();
  ASSERT_EQ(44u, got.size());
  EXPECT_EQ(Status(0).substr(0, 9), got.substr(0, 9));
}

TEST_F(ConnectionTest, RefusedSendsWriteNothing) {
  struct Case {
    const char* what;
    long rc;
    std::function<long(Connection&)> send;
  };
  std::string largest(Connection::MAX_DATA_LENGTH + 1, 'x');
  std::vector<Case> cases = {
      {"empty text", 8, [](Connection& c) { return c.SendRecord(""); }},
      {"null text", 8, [](Connection& c) { return c.SendRecord(nullptr); }},
      {"zero length", 8, [](Connection& c) { return c.SendRecord("x", 0); }},
      {"too long", 8,
       [&](Connection& c) {
         return c.SendRecord(largest.data(),
                             static_cast<uint32_t>(largest.size()));
       }},
      {"too long text", 8,
       [&](Connection& c) { return c.SendRecord(largest.c_str()); }},
      {"no data", 8, [](Connection& c) { return c.SendData("x", 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.rc, c.send(*connection_));
    EXPECT_EQ("", ReadAtPeer());
    EXPECT_TRUE(connection_->IsGood());
  }
}

TEST_F(ConnectionTest, ReassemblesHeaderAndDataArrivingInPieces) {
  std::string record = Record('D', std::string(30, 'd'), "0123456789abcdef");
  Write(record.substr(0, 10));
  Write(record.substr(10, 20));
  Write(record.substr(30, 14));
  Write(record.substr(44, 5));
  Write(record.substr(49));
  char buffer[100];
  uint32_t length = 99;
  ASSERT_EQ(0, connection_->ReceiveRecord(buffer, &length));
  EXPECT_EQ(30u, length);
  EXPECT_EQ(std::string(30, 'd'), std::string(buffer));
  EXPECT_EQ(30u, connection_->GetBytesReceived());
  // The record's user data replace ours without a GetUserData call.
  EXPECT_EQ("0123456789abcdef", std::string(connection_->GetUserData(),
                                            Connection::USER_DATA_LENGTH));
  EXPECT_TRUE(connection_->IsGood());
}

TEST_F(ConnectionTest, ReceiveRecordOutcomes) {
  struct Case {
    const char* what;
    std::string bytes;
    long rc;
    int state;
    bool userDataReplaced;
  } cases[] = {
      {"data", Record('D', "hello"), 0, Connection::STATE_GOOD, true},
      {"version 01.1", Record('D', "hello", std::string(16, 'u'), "01.1"), 8,
       Connection::STATE_GOOD, false},
      {"type E", Record('E', "hello"), 8, Connection::STATE_GOOD, false},
      {"status 1", Status(1), 8, Connection::STATE_GOOD, false},
      {"length field 43", Record('D', "", std::string(16, 'u'), "01.0", 43), 12,
       Connection::STATE_GOOD, false},
      {"length field 0", Record('D', "", std::string(16, 'u'), "01.0", 0), 12,
       Connection::STATE_GOOD, false},
      {"more data than the buffer", Record('D', std::string(11, 'x')), 12,
       Connection::STATE_GOOD, false},
      {"status 0", Status(0), 0, Connection::STATE_CONNECTION_CLOSED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pair(SOCK_SEQPACKET);
    connection_->SetUserData("ABCDEFGHIJKLMNOP");
    WriteRecord(c.bytes);
    char buffer[11 + 1];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t length = 77;
    EXPECT_EQ(c.rc, connection_->ReceiveRecord(buffer, 10, &length));
    EXPECT_EQ(c.state, connection_->GetState());
    EXPECT_EQ(Connection::REASON_OK, connection_->GetReason());
    // A record too big for the buffer tells how much data waits unread.
    const uint32_t expected = c.rc == 0 && c.bytes[2] == 'D'      ? 5u
                              : c.rc == 12 && c.bytes.size() > 44 ? 11u
                                                                  : 0u;
    EXPECT_EQ(expected, length);
    EXPECT_EQ(c.userDataReplaced ? std::string(16, 'u') : "ABCDEFGHIJKLMNOP",
              std::string(connection_->GetUserData(), 16));
    EXPECT_EQ('#', buffer[11]);  // never past the buffer
    ClosePeer();
  }
}

TEST_F(ConnectionTest, BufferExactlyTheDataLengthTakesTheTerminator) {
  WriteRecord(Record('D', "0123456789"));
  char buffer[12];
  std::memset(buffer, '#', sizeof buffer);
  uint32_t length = 0;
  ASSERT_EQ(0, connection_->ReceiveRecord(buffer, 10, &length));
  EXPECT_EQ(10u, length);
  EXPECT_EQ("0123456789", std::string(buffer));
  EXPECT_EQ('#', buffer[11]);

  // The array form leaves room for the terminator itself.
  WriteRecord(Record('D', "0123456789"));
  char exact[10];
  EXPECT_EQ(12, connection_->ReceiveRecord(exact, &length));
  EXPECT_EQ(10u, length);
}

TEST_F(ConnectionTest, PeerClosingBeforeTheHeaderIsComplete) {
  Write(Record('D', "hello").substr(0, 10));
  ClosePeer();
  char buffer[100];
  uint32_t length = 0;
  EXPECT_EQ(8, connection_->ReceiveRecord(buffer, &length));
  std::ostringstream lines;
  connection_->Connection::Print(lines);
  EXPECT_EQ(
      "Connection object state ............: 8 ( STATE_CONNECTION_CLOSED ) \n"
      "Reason code for state ..............: 14 ( REASON_SEND_FAILED ) \n"
      "Socket number ......................: " +
          std::to_string(connection_->GetSocket()) +
          "\n"
          "Last external API (TCP/IP) rc ......: -2\n",
      lines.str());
}

TEST_F(ConnectionTest, SendingToAGonePeerFailsWithoutASignal) {
  ClosePeer();
  EXPECT_EQ(8, connection_->SendRecord("hello"));
  EXPECT_EQ(EPIPE, connection_->GetLastApiRc());
  EXPECT_EQ(8, connection_->SendStatus(0));
}

TEST_F(ConnectionTest, ReceiveTimeoutEndsInError) {
  ASSERT_EQ(0, connection_->SetReceiveTimeout(1));
  char buffer[100];
  uint32_t length = 0;
  EXPECT_EQ(8, connection_->ReceiveRecord(buffer, &length));
  EXPECT_TRUE(connection_->IsInError());
  EXPECT_EQ(Connection::REASON_RECEIVE_TIMED_OUT, connection_->GetReason());
  EXPECT_STREQ("REASON_RECEIVE_TIMED_OUT", connection_->GetReasonName());
  EXPECT_EQ(EAGAIN, connection_->GetLastApiRc());
}

TEST_F(ConnectionTest, ReceiveDeadlineHoldsAgainstATricklingPeer) {
  // One byte every 100 ms would satisfy a timeout per receive forever; the
  // deadline ends the whole receive after a second.
  Pair(SOCK_STREAM);
  connection_->SetReceiveDeadline(1);
  std::atomic<bool> done(false);
  std::thread trickler([this, &done] {
    for (int i = 0; i < 30 && !done; ++i) {
      if (send(peer_, "x", 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  auto start = std::chrono::steady_clock::now();
  char buffer[100];
  uint32_t length = 0;
  EXPECT_EQ(8, connection_->ReceiveRecord(buffer, &length));
  auto waited = std::chrono::steady_clock::now() - start;
  done = true;
  trickler.join();
  EXPECT_TRUE(connection_->IsInError());
  EXPECT_EQ(Connection::REASON_RECEIVE_TIMED_OUT, connection_->GetReason());
  EXPECT_LT(waited, std::chrono::milliseconds(2500));
}

TEST_F(ConnectionTest, LargestRecordTravelsWhole) {
  // A stream pair: the record is larger than a socket buffer need hold, so
  // the raw peer reads and writes on its own thread. Only this thread opens
  // trace scopes; the trace is not made for two.
  Pair(SOCK_STREAM);
  std::string data(Connection::MAX_DATA_LENGTH, 'z');
  data[0] = 'a';
  data.back() = 'b';
  std::string wire;
  std::thread reader([this, &wire] {
    char chunk[8192];
    while (wire.size() < 65535) {
      ssize_t n = recv(peer_, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      wire.append(chunk, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(0, connection_->SendRecord(data.data(),
                                       static_cast<uint32_t>(data.size())));
  reader.join();
  ASSERT_EQ(65535u, wire.size());
  // Record length 0xFFFF, type "D", version "01.0".
  EXPECT_EQ(std::string("\xFF\xFF"
                        "D"),
            wire.substr(0, 3));
  EXPECT_EQ("01.0", wire.substr(4, 4));
  EXPECT_EQ(data, wire.substr(44));

  std::thread writer([this, &wire] {
    size_t sent = 0;
    while (sent < wire.size()) {
      ssize_t n =
          send(peer_, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  });
  std::vector<char> buffer(65492, '#');
  long received = connection_->ReceiveRecord(buffer.data());
  writer.join();
  ASSERT_EQ(0, received);
  EXPECT_EQ(data.size(), connection_->GetBytesReceived());
  EXPECT_EQ(data, std::string(buffer.data()));
}

TEST(ConnectionDump, FreshConnection) {
  Connection connection;
  EXPECT_EQ(
      "Connection object state ............: 3 ( STATE_INIT ) \n"
      "Reason code for state ..............: 0 ( REASON_OK ) \n"
      "Socket number ......................: -2\n"
      "Last external API (TCP/IP) rc ......: -2\n",
      Dump(connection));
}

TEST(ConnectionNames, OutOfRangeCodesAreUnknown) {
  for (int code : {-1, 10}) {
    EXPECT_STREQ("<unknown reason code>", CommBase::StateName(code));
  }
  for (int code : {-1, 17}) {
    EXPECT_STREQ("<unknown reason code>", CommBase::ReasonName(code));
  }
}

TEST(ConnectionTrace, CloseSocketTwiceClosesOnce) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  ExportClient handedOver = {};
  handedOver.socket = htonl(static_cast<uint32_t>(fds[0]));
  Server server(handedOver);
  std::string text;
  {
    comm_test::TraceCapture capture;
    server.CloseSocket();
    server.CloseSocket();
    text = capture.Text();
  }
  EXPECT_EQ(
      "Connection::CloseSocket() called\n"
      "Connection::CloseSocket() returned 0\n"
      "Connection::CloseSocket() called\n"
      "Connection::CloseSocket() returned -2\n",
      text);
  // The peer sees the close.
  char byte;
  EXPECT_EQ(0, recv(fds[1], &byte, 1, 0));
  close(fds[1]);
}

}  // namespace
