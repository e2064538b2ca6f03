#include "comm/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/client.h"
#include "comm/server.h"
#include "tests/support/test_support.h"

namespace {

using comm_test::Dump;
using comm_test::FreePort;
using comm_test::ServicesFile;

std::string AddressDump(const std::string& state, const std::string& reason,
                        int lastRc, const std::string& host,
                        const std::string& service, uint16_t port,
                        const std::string& dotted) {
  return "Address object state ...............: " + state + " ) \n" +
         "Reason for state ...................: " + reason + " ) \n" +
         "Last external API rc (TCP/IP) ......: " + std::to_string(lastRc) +
         "\n" + "Host name ..........................: " + host + "\n" +
         "Service port name ..................: " + service + "\n" +
         "struct sockaddr_in  .............:    \n" +
         "   sin_family ......................: 2\n" +
         "   sin_port ........................: " +
         std::to_string(htons(port)) + "\n" +
         "   sin_addr.s_addr .................: " + dotted + "\n" +
         "   sin_zero ........................: \n";
}

std::string ConnectionLines(const std::string& state, const std::string& reason,
                            int socket, int lastRc) {
  return "Connection object state ............: " + state + " ) \n" +
         "Reason code for state ..............: " + reason + " ) \n" +
         "Socket number ......................: " + std::to_string(socket) +
         "\n" +
         "Last external API (TCP/IP) rc ......: " + std::to_string(lastRc) +
         "\n";
}

// A free port named "tarponTestGateway" in a services file.
class ListenerTest : public ::testing::Test {
 protected:
  ListenerTest()
      : port_(FreePort()),
        services_("tarponTestGateway " + std::to_string(port_) + "/tcp\n") {}
  Address Loopback() {
    return Address("tarponTestGateway", static_cast<uint32_t>(INADDR_LOOPBACK));
  }

  uint16_t port_;
  ServicesFile services_;
};

TEST_F(ListenerTest, ClientAndServerExchangeRecords) {
  ASSERT_NE(0, port_);
  Listener listener(Loopback(), 5);
  ASSERT_TRUE(listener.IsGood()) << listener;

  // The listen queue completes the connect before anyone accepts.
  Client client(Address("tarponTestGateway", "127.0.0.1"));
  ASSERT_TRUE(client.IsGood()) << client;
  ExportClient handedOver;
  ASSERT_EQ(0, listener.GetNewClient(handedOver));
  EXPECT_STREQ("127.0.0.1", handedOver.clientAddress);

  Server server(handedOver);
  ASSERT_TRUE(server.IsGood());
  ASSERT_EQ(0, server.SetReceiveTimeout(10));
  ASSERT_EQ(0, client.SetReceiveTimeout(10));
  EXPECT_STREQ("127.0.0.1", server.GetClientIpAddress());
  EXPECT_EQ("Server formatted dump \n" +
                ConnectionLines("0 ( STATE_GOOD", "0 ( REASON_OK",
                                server.GetSocket(), -2) +
                "Session id  (if established) .......: " +
                std::to_string(server.GetSessionId()) +
                "\n\n"
                "Client's address is:\n" +
                AddressDump("1 ( STATE_INIT", "0 ( REASON_OK", 0, "", "", 0,
                            "127.0.0.1"),
            Dump(server));

  ASSERT_EQ(0, client.SendRecord("-u joe -? "));
  char request[100];
  uint32_t length = 0;
  ASSERT_EQ(0, server.ReceiveRecord(request, &length));
  EXPECT_EQ("-u joe -? ", std::string(request, length));

  char rc[16] = "0004";
  server.SetUserData(rc);
  ASSERT_EQ(0, server.SendRecord("help text\n"));
  char reply[8192];
  ASSERT_EQ(0, client.ReceiveRecord(reply, &length));
  EXPECT_STREQ("help text\n", reply);
  EXPECT_STREQ("0004", client.GetUserData());
  EXPECT_TRUE(client.IsGood());

  // The server sends a status 0 and ends the session; the client sees both.
  ASSERT_EQ(0, server.SendStatus(0));
  ASSERT_EQ(0, client.ReceiveRecord(reply, &length));
  EXPECT_EQ(Connection::STATE_CONNECTION_CLOSED, client.GetState());
  EXPECT_EQ(Connection::REASON_OK, client.GetReason());
}

TEST_F(ListenerTest, PeerCloseIsSeenByTheServer) {
  Listener listener(Loopback(), 5);
  ASSERT_TRUE(listener.IsGood());
  ExportClient handedOver;
  {
    Client client(Address(port_, "127.0.0.1"));
    ASSERT_TRUE(client.IsGood());
    ASSERT_EQ(0, listener.GetNewClient(handedOver));
  }
  Server server(handedOver);
  ASSERT_EQ(0, server.SetReceiveTimeout(10));
  char request[100];
  EXPECT_EQ(8, server.ReceiveRecord(request));
  EXPECT_EQ(Connection::STATE_CONNECTION_CLOSED, server.GetState());
  EXPECT_EQ(Connection::REASON_SEND_FAILED, server.GetReason());
}

TEST_F(ListenerTest, SessionIdsCountEveryOpen) {
  ExportClient invalid = {};
  invalid.socket = htonl(static_cast<uint32_t>(Connection::NO_SOCKET));
  Server first(invalid);
  int firstId = first.GetSessionId();
  EXPECT_EQ(Connection::STATE_RESET, first.GetState());
  EXPECT_EQ(Connection::REASON_INVALID_SOCKET, first.GetReason());
  EXPECT_EQ(-2, first.GetLastApiRc());
  EXPECT_EQ(Connection::NO_SOCKET, first.GetSocket());
  ExportClient zero = {};
  Server second(zero);
  EXPECT_EQ(Connection::STATE_RESET, second.GetState());
  EXPECT_EQ(firstId + 1, second.GetSessionId());
  // The count is class-wide: the first server reports it too.
  EXPECT_EQ(second.GetSessionId(), first.GetSessionId());
}

TEST_F(ListenerTest, UnknownServiceIsAnInvalidAddress) {
  Listener listener(
      Address("tarponNoSuchService", static_cast<uint32_t>(INADDR_ANY)), 5);
  EXPECT_TRUE(listener.IsInError());
  EXPECT_EQ("Listener formatted dump \n" +
                ConnectionLines("7 ( STATE_ERROR", "4 ( REASON_INVALID_ADDRESS",
                                -2, -2) +
                "\n" +
                AddressDump("2 ( STATE_ERROR", "2 ( REASON_GET_SERVICE_BY_NAME",
                            0, "", "", 0, "0.0.0.0"),
            Dump(listener));
  ExportClient untouched = {};
  untouched.socket = 12345;
  EXPECT_EQ(8, listener.GetNewClient(untouched));
  EXPECT_EQ(12345u, untouched.socket);
}

TEST_F(ListenerTest, PortHeldByAnotherListener) {
  Listener holder(Loopback(), 5);
  ASSERT_TRUE(holder.IsGood());
  Listener second(Loopback(), 5, 1);
  EXPECT_TRUE(second.IsInError());
  EXPECT_EQ(21, second.GetBindAttempts());
  EXPECT_EQ(
      "Listener formatted dump \n" +
          ConnectionLines("7 ( STATE_ERROR", "6 ( REASON_LISTENER_BIND_FAILED",
                          second.GetSocket(), EADDRINUSE) +
          "\n" +
          AddressDump("0 ( STATE_OK", "0 ( REASON_OK", 0, "",
                      "tarponTestGateway", port_, "127.0.0.1"),
      Dump(second));
}

TEST_F(ListenerTest, FailedAcceptIsFinal) {
  Listener listener(Loopback(), 5);
  ASSERT_TRUE(listener.IsGood());
  // A listening socket shut down makes the next accept fail at once.
  ASSERT_EQ(0, shutdown(listener.GetSocket(), SHUT_RDWR));
  ExportClient handedOver;
  std::memset(&handedOver, 'x', sizeof handedOver);
  EXPECT_EQ(8, listener.GetNewClient(handedOver));
  EXPECT_EQ(Connection::STATE_ERROR, listener.GetState());
  EXPECT_EQ(Connection::REASON_ACCEPT_FAILED, listener.GetReason());
  EXPECT_EQ(EINVAL, listener.GetLastApiRc());
  EXPECT_EQ(static_cast<uint32_t>(Connection::NO_SOCKET),
            ntohl(handedOver.socket));

  // Later calls return at once and leave the record alone.
  std::memset(&handedOver, 'y', sizeof handedOver);
  EXPECT_EQ(8, listener.GetNewClient(handedOver));
  EXPECT_EQ('y', handedOver.clientAddress[0]);
  EXPECT_EQ(0x79797979u, handedOver.socket);
  // A server given the failed accept's record refuses it.
  ExportClient failed = {};
  failed.socket = htonl(static_cast<uint32_t>(Connection::NO_SOCKET));
  Server server(failed);
  EXPECT_EQ(Connection::STATE_RESET, server.GetState());
}

TEST_F(ListenerTest, ClientRefusedByAClosedPort) {
  Client client(Address(port_, static_cast<uint32_t>(INADDR_LOOPBACK)));
  EXPECT_TRUE(client.IsInError());
  EXPECT_EQ(Connection::REASON_CONNECT_FAILED, client.GetReason());
  EXPECT_EQ(ECONNREFUSED, client.GetLastApiRc());
  EXPECT_EQ("Client formatted dump \n" +
                ConnectionLines("7 ( STATE_ERROR", "7 ( REASON_CONNECT_FAILED",
                                client.GetSocket(), ECONNREFUSED) +
                "Server's address is:\n" +
                AddressDump("0 ( STATE_OK", "0 ( REASON_OK", 0, "", "", port_,
                            "127.0.0.1"),
            Dump(client));
}

// One port for both families: the IPv6 listener takes IPv6 only, and a
// client given every address of a name reaches the one that listens.
TEST_F(ListenerTest, BothFamiliesShareAPort) {
  Listener ipv6(Address("tarponTestGateway", "::1"), 5);
  if (ipv6.GetReason() == Connection::REASON_LISTENER_BIND_FAILED &&
      ipv6.GetLastApiRc() == EADDRNOTAVAIL) {
    GTEST_SKIP() << "no IPv6 loopback";
  }
  ASSERT_TRUE(ipv6.IsGood()) << ipv6;
  Listener ipv4(Loopback(), 5);
  ASSERT_TRUE(ipv4.IsGood()) << ipv4;

  Address refused(static_cast<uint16_t>(FreePort()), "::1");
  std::vector<Address> servers = {refused};
  for (const char* host : {"[::1]", "127.0.0.1"}) {
    std::vector<Address> more =
        Address::Resolve("tarponTestGateway", host, nullptr);
    servers.insert(servers.end(), more.begin(), more.end());
  }
  for (Listener* listener : {&ipv6, &ipv4}) {
    Client client(servers, 10);
    ASSERT_TRUE(client.IsGood()) << client;
    ExportClient handedOver;
    ASSERT_EQ(0, listener->GetNewClient(handedOver));
    EXPECT_STREQ(listener == &ipv6 ? "::1" : "127.0.0.1",
                 handedOver.clientAddress);
    close(static_cast<int>(ntohl(handedOver.socket)));
    servers.erase(servers.begin() + 1);  // the next time, IPv4
  }
}

TEST_F(ListenerTest, DestructionTraceNestsTheAddress) {
  auto listener = std::make_unique<Listener>(
      Address(static_cast<uint16_t>(0), static_cast<uint32_t>(0)), 5);
  EXPECT_EQ(Connection::REASON_INVALID_ADDRESS, listener->GetReason());
  EXPECT_EQ(Connection::NO_SOCKET, listener->GetSocket());
  comm_test::TraceCapture capture;
  listener.reset();
  EXPECT_EQ(
      "Listener::~Listener called\n"
      "...Address::~Address called\n"
      "...Address::~Address returned \n"
      "Listener::~Listener returned \n"
      "Connection::~Connection called\n"
      "...Connection::CloseSocket() called\n"
      "...Connection::CloseSocket() returned -2\n"
      "Connection::~Connection returned \n"
      "CommBase::~CommBase called\n"
      "CommBase::~CommBase returned \n",
      capture.Text());
}

}  // namespace
