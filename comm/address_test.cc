#include "comm/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "comm/wsa.h"
#include "tests/support/test_support.h"

namespace {

using comm_test::Dump;
using comm_test::ServicesFile;

// A resolver whose answers the test scripts: it fails with `error` for the
// first `failures` calls and then finds 10.20.30.40.
int g_calls = 0;
int g_failures = 0;
int g_error = 0;

int ScriptedResolver(const char*, uint32_t* address) {
  ++g_calls;
  if (g_calls <= g_failures) return g_error;
  *address = htonl(0x0A141E28);
  return 0;
}

class AddressTest : public ::testing::Test {
 protected:
  AddressTest()
      : services_(
            "# test services\n"
            "tarponTestA   5000/tcp   tarponAliasA  # a comment\n"
            "tarponTestU   6000/udp\n"
            "tarponTestBad x/tcp\n") {}
  void UseResolver(int failures, int error) {
    g_calls = 0;
    g_failures = failures;
    g_error = error;
    Address::SetHostResolver(ScriptedResolver);
  }
  ~AddressTest() override { Address::SetHostResolver(nullptr); }

  ServicesFile services_;
};

TEST_F(AddressTest, ServiceLookupFromServicesFile) {
  struct Case {
    const char* service;
    int state;
    int reason;
    uint16_t port;
  } cases[] = {
      {"tarponTestA", Address::STATE_OK, Address::REASON_OK, 5000},
      {"tarponAliasA", Address::STATE_OK, Address::REASON_OK, 5000},
      // Only "tcp" entries count, the text is never a port number, and a
      // malformed port is skipped.
      {"tarponTestU", Address::STATE_ERROR, Address::REASON_GET_SERVICE_BY_NAME,
       0},
      {"5000", Address::STATE_ERROR, Address::REASON_GET_SERVICE_BY_NAME, 0},
      {"tarponTestBad", Address::STATE_ERROR,
       Address::REASON_GET_SERVICE_BY_NAME, 0},
      {"tarponNoSuchService", Address::STATE_ERROR,
       Address::REASON_GET_SERVICE_BY_NAME, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.service);
    Address address(c.service, static_cast<uint32_t>(INADDR_ANY));
    EXPECT_EQ(c.state, address.GetState());
    EXPECT_EQ(c.reason, address.GetReason());
    EXPECT_EQ(c.port, address.GetPort());
    // An unknown service leaves the last external API rc alone.
    EXPECT_EQ(0, address.GetLastApiRc());
    // Address 0 (any local address) is usable only through its port.
    EXPECT_EQ(c.state == Address::STATE_OK, address.IsUsable());
    if (c.state == Address::STATE_OK) {
      EXPECT_STREQ(c.service, address.GetServiceName());
    } else {
      EXPECT_EQ(nullptr, address.GetServiceName());
    }
  }
}

// TARPON_SERVICES is searched before the system's database, so that a test
// or a second gateway can move a service the system already names.
TEST_F(AddressTest, ServicesFileWinsOverTheSystemDatabase) {
  const char* name = nullptr;
  for (const char* candidate : {"ssh", "http"}) {
    if (getservbyname(candidate, "tcp") != nullptr) {
      name = candidate;
      break;
    }
  }
  if (name == nullptr) GTEST_SKIP() << "the system names neither ssh nor http";
  ServicesFile own(std::string(name) + " 41234/tcp\n");
  Address address(name, static_cast<uint32_t>(INADDR_ANY));
  EXPECT_EQ(Address::STATE_OK, address.GetState());
  EXPECT_EQ(41234, address.GetPort());
}

// The gateway's service has a default port when nothing names it, so that
// a fresh installation works without a services entry; an entry moves it,
// and Resolve takes the same port. Other names still need an entry.
TEST_F(AddressTest, GatewayServiceHasADefaultPortUnlessAnEntryMovesIt) {
  if (getservbyname("tarponGateway", "tcp") != nullptr) {
    GTEST_SKIP() << "the system's services database names tarponGateway";
  }
  const struct {
    const char* services;
    uint16_t port;
  } cases[] = {{"tarponTestA 41000/tcp\n", 5000},
               {"tarponGateway 41235/tcp\n", 41235},
               {"tarponGateway 41236/udp\n", 5000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.services);
    ServicesFile own(c.services);
    Address address("tarponGateway", static_cast<uint32_t>(INADDR_ANY));
    EXPECT_EQ(Address::STATE_OK, address.GetState());
    EXPECT_EQ(c.port, address.GetPort());
    std::string error;
    std::vector<Address> found =
        Address::Resolve("tarponGateway", "127.0.0.1", &error);
    ASSERT_EQ(1u, found.size()) << error;
    EXPECT_EQ(c.port, found[0].GetPort());
  }
  ServicesFile none("");
  Address other("tarponGateway2", static_cast<uint32_t>(INADDR_ANY));
  EXPECT_EQ(Address::REASON_GET_SERVICE_BY_NAME, other.GetReason());
}

// A services file that is no regular file, or too big, is refused at once
// with a line on standard error: no hang on a FIFO, no growth on a device.
TEST_F(AddressTest, ServicesFileMustBeASmallRegularFile) {
  char pattern[] = "/tmp/tarpon-comm-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string fifo = std::string(pattern) + "/fifo";
  const std::string big = std::string(pattern) + "/big";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::ofstream(big) << "tarponTestA 5000/tcp\n"
                     << std::string(1024 * 1024, '#');
  const struct {
    std::string path;
    const char* why;
  } cases[] = {{"/dev/zero", "not a regular file"},
               {fifo, "not a regular file"},
               {big, "larger than 1 MiB"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    setenv("TARPON_SERVICES", c.path.c_str(), 1);
    testing::internal::CaptureStderr();
    Address address("tarponTestA", static_cast<uint32_t>(INADDR_ANY));
    EXPECT_EQ(
        "tarpon comm: TARPON_SERVICES file " + c.path + ": " + c.why + "\n",
        testing::internal::GetCapturedStderr());
    EXPECT_EQ(Address::REASON_GET_SERVICE_BY_NAME, address.GetReason());
  }
  unlink(fifo.c_str());
  unlink(big.c_str());
  rmdir(pattern);
}

TEST_F(AddressTest, AddressAndPortZeroIsNeverUsable) {
  Address zero(static_cast<uint16_t>(0), static_cast<uint32_t>(0));
  EXPECT_EQ(Address::STATE_OK, zero.GetState());
  EXPECT_FALSE(zero.IsUsable());
  Address portOnly(static_cast<uint16_t>(1), static_cast<uint32_t>(0));
  EXPECT_TRUE(portOnly.IsUsable());
  Address fresh;
  EXPECT_EQ(Address::STATE_INIT, fresh.GetState());
  EXPECT_FALSE(fresh.IsUsable());
}

TEST_F(AddressTest, FailedHostLookupFallsBackToDottedText) {
  struct Case {
    const char* host;
    const char* dotted;
  } cases[] = {
      {"9.1.2.3", "9.1.2.3"},
      {"no.such.host", "255.255.255.255"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    UseResolver(1000, HOST_NOT_FOUND);
    Address address("tarponTestA", c.host);
    EXPECT_EQ(Address::STATE_OK, address.GetState());
    EXPECT_EQ(Address::REASON_GET_HOST_BY_NAME, address.GetReason());
    EXPECT_EQ(HOST_NOT_FOUND, address.GetLastApiRc());
    EXPECT_STREQ(c.dotted, address.GetIpAddress());
    EXPECT_EQ(nullptr, address.GetHostName());
    EXPECT_EQ(1, g_calls);  // no retry for a definite answer
  }
}

TEST_F(AddressTest, HostLookupRetryBudgetIsSevenPerObject) {
  UseResolver(1000, TRY_AGAIN);
  Address address(static_cast<uint16_t>(7), "busy.host");
  EXPECT_EQ(8, g_calls);
  EXPECT_EQ(7, address.GetHostLookupRetries());
  EXPECT_EQ(TRY_AGAIN, address.GetLastApiRc());
  EXPECT_EQ(Address::REASON_GET_HOST_BY_NAME, address.GetReason());

  // The budget is spent: one more lookup asks once.
  g_calls = 0;
  EXPECT_EQ(8, address.GetHostByName("busy.host"));
  EXPECT_EQ(1, g_calls);
  EXPECT_EQ(Address::STATE_ERROR, address.GetState());

  // Init gives a fresh budget; a lookup that succeeds after retries keeps
  // the address and a copy of the name.
  address.Init();
  g_calls = 0;
  g_failures = 3;
  EXPECT_EQ(0, address.GetHostByName("busy.host"));
  EXPECT_EQ(4, g_calls);
  EXPECT_EQ(3, address.GetHostLookupRetries());
  EXPECT_STREQ("10.20.30.40", address.GetIpAddress());
  EXPECT_STREQ("busy.host", address.GetHostName());
}

TEST_F(AddressTest, LoopbackResolvesThroughTheSystem) {
  Address address("tarponTestA", "127.0.0.1");
  EXPECT_EQ(Address::STATE_OK, address.GetState());
  EXPECT_EQ(Address::REASON_OK, address.GetReason());
  EXPECT_STREQ("127.0.0.1", address.GetIpAddress());
  EXPECT_STREQ("127.0.0.1", address.GetHostName());
  char out[16];
  address.GetIpAddress(out, sizeof out);
  EXPECT_STREQ("127.0.0.1", out);
  char tooSmall[4] = "xyz";
  address.GetIpAddress(tooSmall, sizeof tooSmall);
  EXPECT_STREQ("", tooSmall);
}

TEST_F(AddressTest, CopyOwnsItsNames) {
  auto source = std::make_unique<Address>("tarponTestA", "127.0.0.1");
  Address copy(*source);
  Address assigned;
  assigned = *source;
  source.reset();
  for (const Address* a : {&copy, &assigned}) {
    EXPECT_STREQ("tarponTestA", a->GetServiceName());
    EXPECT_STREQ("127.0.0.1", a->GetHostName());
    EXPECT_EQ(5000, a->GetPort());
    EXPECT_TRUE(a->IsUsable());
  }
  assigned = assigned;
  EXPECT_STREQ("tarponTestA", assigned.GetServiceName());
}

TEST_F(AddressTest, DumpIsTheFixedLayout) {
  Address address("tarponTestA", static_cast<uint32_t>(0x7F000001));
  EXPECT_EQ(
      "Address object state ...............: 0 ( STATE_OK ) \n"
      "Reason for state ...................: 0 ( REASON_OK ) \n"
      "Last external API rc (TCP/IP) ......: 0\n"
      "Host name ..........................: \n"
      "Service port name ..................: tarponTestA\n"
      "struct sockaddr_in  .............:    \n"
      "   sin_family ......................: 2\n"
      "   sin_port ........................: " +
          std::to_string(htons(5000)) +
          "\n"
          "   sin_addr.s_addr .................: 127.0.0.1\n"
          "   sin_zero ........................: \n",
      Dump(address));

  Address unknown("tarponNoSuchService", "127.0.0.1");
  EXPECT_EQ(
      "Address object state ...............: 2 ( STATE_ERROR ) \n"
      "Reason for state ...................: 2 ( REASON_GET_SERVICE_BY_NAME"
      " ) \n"
      "Last external API rc (TCP/IP) ......: 0\n"
      "Host name ..........................: \n"
      "Service port name ..................: \n"
      "struct sockaddr_in  .............:    \n"
      "   sin_family ......................: 2\n"
      "   sin_port ........................: 0\n"
      "   sin_addr.s_addr .................: 0.0.0.0\n"
      "   sin_zero ........................: \n",
      Dump(unknown));
}

TEST_F(AddressTest, TextOfEitherFamilyKeepsThePort) {
  struct Case {
    const char* text;
    int family;
    const char* shown;
    socklen_t length;
  } cases[] = {
      {"::1", AF_INET6, "::1", sizeof(sockaddr_in6)},
      {"[2001:db8::7]", AF_INET6, "2001:db8::7", sizeof(sockaddr_in6)},
      {"10.1.2.3", AF_INET, "10.1.2.3", sizeof(sockaddr_in)},
      // An unmatched bracket is no address of either family.
      {"[::1", AF_INET, "255.255.255.255", sizeof(sockaddr_in)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Address address(static_cast<uint16_t>(5000), "::");  // IPv6 at first
    address.SetIpAddress(c.text);
    EXPECT_EQ(c.family, address.GetFamily());
    EXPECT_STREQ(c.shown, address.GetIpAddress());
    EXPECT_EQ(5000, address.GetPort());
    EXPECT_EQ(c.length, address.GetSocketAddressLength());
  }
}

TEST_F(AddressTest, Ipv6DumpShowsTheStandardText) {
  Address address("tarponTestA", "[::1]");
  EXPECT_EQ(
      "Address object state ...............: 0 ( STATE_OK ) \n"
      "Reason for state ...................: 0 ( REASON_OK ) \n"
      "Last external API rc (TCP/IP) ......: 0\n"
      "Host name ..........................: [::1]\n"
      "Service port name ..................: tarponTestA\n"
      "struct sockaddr_in6 .............:    \n"
      "   sin6_family .....................: 10\n"
      "   sin6_port .......................: 5000\n"
      "   sin6_addr .......................: ::1\n"
      "   sin6_scope_id ...................: 0\n",
      Dump(address));
}

TEST_F(AddressTest, ResolveGivesEveryAddressOrSaysWhy) {
  struct Case {
    const char* service;
    const char* host;
    std::vector<std::string> shown;  // empty: nothing found
    int reason;
    const char* error;  // how the sentence begins
  } cases[] = {
      {"tarponTestA", "127.0.0.1", {"127.0.0.1"}, Address::REASON_OK, ""},
      {"tarponTestA", "[::1]", {"::1"}, Address::REASON_OK, ""},
      {"tarponNoSuchService",
       "127.0.0.1",
       {},
       Address::REASON_GET_SERVICE_BY_NAME,
       "service tarponNoSuchService is neither in TARPON_SERVICES nor in the "
       "services database"},
      {"tarponTestA",
       "no.such.host.invalid",
       {},
       Address::REASON_GET_HOST_BY_NAME,
       "cannot resolve no.such.host.invalid: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    std::string error = "unchanged";
    int reason = -1;
    std::vector<Address> found =
        Address::Resolve(c.service, c.host, &error, &reason);
    std::vector<std::string> shown;
    for (Address& address : found) {
      shown.push_back(address.GetIpAddress());
      EXPECT_EQ(5000, address.GetPort());
      EXPECT_STREQ(c.host, address.GetHostName());
      EXPECT_TRUE(address.IsUsable());
    }
    EXPECT_EQ(c.shown, shown);
    EXPECT_EQ(c.reason, reason);
    EXPECT_EQ(0u, error.find(c.error)) << error;
  }
}

TEST(AddressNames, OutOfRangeCodesAreUnknown) {
  EXPECT_STREQ("STATE_ERROR", Address::StateName(2));
  EXPECT_STREQ("REASON_GET_SERVICE_BY_NAME", Address::ReasonName(2));
  for (int code : {-2, 3}) {
    EXPECT_STREQ("<unknown reason code>", Address::StateName(code));
    EXPECT_STREQ("<unknown reason code>", Address::ReasonName(code));
  }
}

TEST(WsaTest, NestedStartUpIsCountedOnce) {
  ASSERT_FALSE(WSA::IsStarted());
  auto first = std::make_unique<WSA>(1, 1);
  EXPECT_TRUE(WSA::IsStarted());
  EXPECT_EQ(0, first->GetStartupReturnCode());
  EXPECT_EQ(1, first->GetObtainedMajor());
  EXPECT_EQ(1, first->GetObtainedMinor());
  {
    WSA second(1, 1);
    EXPECT_EQ(-1, second.GetStartupReturnCode());  // made no start-up call
  }
  // Destroying either ends the service for the process.
  EXPECT_FALSE(WSA::IsStarted());
  first.reset();
  EXPECT_FALSE(WSA::IsStarted());
}

}  // namespace
