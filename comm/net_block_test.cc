#include "comm/net_block.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

namespace {

sockaddr_storage At(const std::string& text) {
  sockaddr_storage out = {};
  if (inet_pton(AF_INET, text.c_str(),
                &reinterpret_cast<sockaddr_in&>(out).sin_addr) == 1) {
    out.ss_family = AF_INET;
  } else if (inet_pton(AF_INET6, text.c_str(),
                       &reinterpret_cast<sockaddr_in6&>(out).sin6_addr) == 1) {
    out.ss_family = AF_INET6;
  } else {
    ADD_FAILURE() << "test address " << text;
  }
  return out;
}

TEST(NetBlockListTest, ParsesAndMatches) {
  struct Case {
    const char* text;
    const char* error;  // "" when the text is accepted
    std::vector<std::string> inside = {};
    std::vector<std::string> outside = {};
  } cases[] = {
      {"127.0.0.1,10.0.0.0/8,::1,2001:db8::/32",
       "",
       {"127.0.0.1", "10.0.0.0", "10.255.255.255", "::1", "2001:db8:ffff::1",
        "::ffff:10.1.2.3", "::ffff:127.0.0.1"},
       {"127.0.0.2", "9.255.255.255", "11.0.0.0", "::2",
        "2001:db9::", "::ffff:11.0.0.1", "::a00:1"}},
      {" 192.0.2.0/25 ,\t198.51.100.1  2001:db8::/127 ",
       "",
       {"192.0.2.127", "198.51.100.1", "2001:db8::1"},
       {"192.0.2.128", "198.51.100.0", "2001:db8::2"}},
      {"::ffff:192.0.2.0/120", "", {"192.0.2.7"}, {"192.0.3.0", "::1"}},
      {"0.0.0.0/0", "", {"8.8.8.8", "::ffff:1.2.3.4"}, {"::1", "2001:db8::"}},
      {"::/0", "", {"2001:db8::1", "::"}, {"1.2.3.4", "::ffff:1.2.3.4"}},
      {"", "", {}, {"127.0.0.1", "::1"}},
      {"10.0.0.0/33", "bad prefix length \"10.0.0.0/33\""},
      {"2001:db8::/-1", "bad prefix length \"2001:db8::/-1\""},
      {"::ffff:1.2.3.0/95", "bad prefix length \"::ffff:1.2.3.0/95\""},
      {"10.0.0.1/8", "bits set beyond the prefix \"10.0.0.1/8\""},
      {"1.2.3.4,,5.6.7.8", "empty entry"},
      {"localhost", "bad address \"localhost\""},
      {"1.2.3.4;5.6.7.8", "bad address \"1.2.3.4;5.6.7.8\""},
      {"fe80::1%eth0", "bad address \"fe80::1%eth0\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    NetBlockList list;
    std::string error;
    ASSERT_TRUE(list.Parse("192.0.2.99", &error));
    bool accepted = list.Parse(c.text, &error);
    EXPECT_EQ(c.error[0] == '\0', accepted);
    if (!accepted) {
      EXPECT_EQ(c.error, error);
      // A refused text leaves the list as it was.
      EXPECT_TRUE(list.Contains(At("192.0.2.99")));
    }
    for (const std::string& address : c.inside) {
      EXPECT_TRUE(list.Contains(At(address))) << address;
    }
    for (const std::string& address : c.outside) {
      EXPECT_FALSE(list.Contains(At(address))) << address;
    }
  }
}

TEST(NetBlockListTest, SourcePrefixKeys) {
  struct Case {
    const char* address;
    int ipv6PrefixLength;
    const char* key;
  } cases[] = {
      {"198.51.100.7", 64, "198.51.100.7"},
      {"::ffff:198.51.100.7", 64, "198.51.100.7"},
      {"2001:db8:1:2:3:4:5:6", 64, "2001:db8:1:2::/64"},
      {"2001:db8:1:ab12::1", 56, "2001:db8:1:ab00::/56"},
      {"2001:db8:1:ab12::1", 128, "2001:db8:1:ab12::1/128"},
      {"2001:db8:1:ab12::1", -1, "::/0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.key, SourcePrefixKey(At(c.address), c.ipv6PrefixLength));
  }
  sockaddr_storage local = {};
  local.ss_family = AF_UNIX;
  EXPECT_EQ("", SourcePrefixKey(local));
}

}  // namespace
