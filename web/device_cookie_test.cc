// The owner device's cookie: what it vouches for and what it does not.
#include "web/device_cookie.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/e2e_support.h"

namespace {

constexpr int64_t kNow = 1800000000;

// The cookie's name=value, as a browser sends it back.
std::string Sent(const std::string& setCookie) {
  return setCookie.substr(0, setCookie.find(';'));
}

TEST(DeviceCookieTest, VouchesOnlyForItsUserUntilItExpires) {
  DeviceCookies cookies;
  cookies.SetDays(90);
  const std::string issued = cookies.Issue("alice", kNow);
  EXPECT_EQ(0u, issued.find("tarpon_device=ALICE.1807776000."));
  EXPECT_NE(std::string::npos,
            issued.find("; Path=/; Max-Age=7776000; Secure; HttpOnly; "
                        "SameSite=Strict"));
  const std::string sent = Sent(issued);
  std::string tampered = sent;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  const struct {
    const char* what;
    std::string header;
    const char* user;
    int64_t now;
    bool vouches;
  } cases[] = {
      {"its user", sent, "ALICE", kNow + 1, true},
      {"its user, typed in lower case", sent, "alice", kNow + 1, true},
      {"among other cookies", "a=1; " + sent + "; b=2", "ALICE", kNow, true},
      {"another user", sent, "BOB", kNow, false},
      {"expired", sent, "ALICE", kNow + 90 * 86400, false},
      {"a signature changed", tampered, "ALICE", kNow, false},
      {"another user written in", "tarpon_device=BOB" + sent.substr(19), "BOB",
       kNow, false},
      {"none", "a=1", "ALICE", kNow, false},
      {"empty", "", "ALICE", kNow, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.vouches, cookies.Vouches(c.header, c.user, c.now)) << c.what;
  }
  // Another key vouches for none of them.
  EXPECT_FALSE(DeviceCookies().Vouches(sent, "ALICE", kNow));
}

TEST(DeviceCookieTest, AKeyFileOutlivesTheProcess) {
  e2e::Sandbox box;
  std::string why;
  DeviceCookies first;
  ASSERT_TRUE(first.Load(box.Path("device.key"), &why)) << why;
  DeviceCookies second;
  ASSERT_TRUE(second.Load(box.Path("device.key"), &why)) << why;
  EXPECT_TRUE(second.Vouches(Sent(first.Issue("ALICE", kNow)), "ALICE", kNow));
  box.Write("short.key", "too short");
  EXPECT_FALSE(second.Load(box.Path("short.key"), &why));
  EXPECT_EQ(box.Path("short.key") + ": not a key of 32 bytes", why);
}

}  // namespace
