// The HTTP rules that need no connection, one table each: form decoding,
// media types, the cross-site check and the plain port's redirect.
#include "web/http_rules.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(HttpRulesTest, DecodesFormsAndRefusesWhatWouldCutAValueShort) {
  struct Case {
    const char* text;
    bool ok;
    const char* user;
    const char* password;
  };
  const Case cases[] = {
      {"", true, "", ""},
      {"user=alice&currentPassword=S%40CRET", true, "alice", "S@CRET"},
      {"user=a+b&user=last", true, "last", ""},  // '+' is a blank; last wins
      {"other=x&currentPassword=", true, "", ""},
      {"user", true, "", ""},  // a key without a value sets nothing
      {"user=al%00ice", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string user, password;
    EXPECT_EQ(c.ok, DecodeForm(c.text, {{"user", &user},
                                        {"currentPassword", &password}}));
    EXPECT_EQ(c.user, user);
    EXPECT_EQ(c.password, password);
  }
  std::string user;
  EXPECT_FALSE(DecodeForm(std::string("user=a\0b", 8), {{"user", &user}}));
}

TEST(HttpRulesTest, ReadsAMediaTypeWithoutItsParametersOrCase) {
  struct Case {
    const char* field;
    bool json;
  };
  const Case cases[] = {
      {"application/json", true},
      {"Application/JSON; charset=utf-8", true},
      {"application/json ;charset=utf-8", true},
      {"", false},
      {"application/jsonx", false},
      {"text/json", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(c.json, MediaTypeIs(c.field, "application/json"));
  }
}

TEST(HttpRulesTest, TellsAnotherSitesPostFromThisSitesOwn) {
  struct Case {
    const char* site;
    const char* origin;
    bool cross;
  };
  const Case cases[] = {
      {"", "", false},  // no browser: an API client
      {"same-origin", "https://web.example", false},
      {"none", "", false},  // typed by the person
      {"cross-site", "", true},
      {"same-site", "", true},
      {"", "https://evil.example", true},
      {"", "http://web.example", true},  // not over HTTPS
      {"same-origin", "null", false},    // the page's own form post
      {"", "null", true},                // nobody vouches for "null"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.site) + " / " + c.origin);
    EXPECT_EQ(c.cross, IsCrossSite(c.site, c.origin, "web.example"));
  }
}

TEST(HttpRulesTest, RedirectsToTheSamePathOverHttpsAtABareHost) {
  struct Case {
    const char* host;
    const char* target;
    uint16_t port;
    int status;
    const char* location;
  };
  const Case cases[] = {
      {"web.example", "/a?b=c", 443, 308, "https://web.example/a?b=c"},
      {"web.example:80", "/", 8443, 308, "https://web.example:8443/"},
      {"[::1]:80", "/x", 443, 308, "https://[::1]/x"},
      {"web.example", "*", 443, 308, "https://web.example/"},
      {"web.example", "/.well-known/change-password?x", 443, 302,
       "https://web.example/"},
      {"evil/path", "/", 443, 400, "https:///"},
      {"", "/", 443, 400, "https:///"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + c.target);
    RedirectAnswer answer = RedirectToHttps(c.host, c.target, c.port);
    EXPECT_EQ(c.status, answer.status);
    EXPECT_EQ(c.location, answer.location);
  }
}

}  // namespace
