// tarponrc -hosts against a fake gateway: who is asked, in what order, and
// what is printed and returned.
#include "gateway_client/multi_host.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "contract/tarpon_rc.h"

namespace {

// The fake gateway's verdict for each destination, and who was asked.
std::map<std::string, int> verdicts;
std::vector<std::string> asked;
std::mutex askedMutex;

int FakeExchange(const GatewayRequest& request, GatewayAnswer* answer,
                 GatewayExchangeRecord*) {
  const std::string host =
      request.options.Text().substr(request.options.Text().rfind("-s ") + 3);
  const std::string name = host.substr(0, host.find(' '));
  {
    std::lock_guard<std::mutex> lock(askedMutex);
    asked.push_back(name);
  }
  answer->failure = GatewayFailure::kNone;
  answer->code = verdicts[name];
  char text[8];
  std::snprintf(text, sizeof text, "%04d", answer->code);
  answer->codeText = text;
  answer->text = answer->code == 0 ? "\nPassword changed successfully.\n"
                                   : "\nERROR 55. refused\n";
  return answer->code;
}

TEST(MultiHostTest, AsksTheFirstAloneAndReportsEachHost) {
  const int wrong = TARPON_RC_HOST_STATUS_BASE + 2;
  const int rejected = TARPON_RC_HOST_STATUS_BASE + 4;
  const struct {
    const char* what;
    std::map<std::string, int> verdicts;
    size_t asked;
    int status;
    const char* summary;
  } cases[] = {
      {"all changed",
       {{"a", 0}, {"b", 0}, {"c", 0}},
       3,
       0,
       "TARPON CLIENT 3 of 3 hosts changed; the new password: a, b, c\n"},
      {"a wrong password stops at the first",
       {{"a", wrong}, {"b", 0}},
       1,
       wrong,
       "TARPON CLIENT 0 of 3 hosts changed; still the old password: a, b, c\n"},
      {"partly",
       {{"a", 0}, {"b", rejected}, {"c", 0}},
       3,
       GATEWAY_CLIENT_RC_PARTLY_CHANGED,
       "TARPON CLIENT 2 of 3 hosts changed; the new password: a, c; still "
       "the old password: b\n"},
      {"the first refuses the new password, the others are asked",
       {{"a", rejected}, {"b", rejected}, {"c", rejected}},
       3,
       rejected,
       "TARPON CLIENT 0 of 3 hosts changed; still the old password: a, b, c\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    verdicts = c.verdicts;
    asked.clear();
    GatewayRequest request;
    request.options = Secret(std::string("-u alice -p OLD -np NEW "));
    std::vector<HostOutcome> outcomes =
        ChangeAtHosts(request, {"a", "b", "c"}, FakeExchange);
    ASSERT_EQ(c.asked, asked.size());
    EXPECT_EQ("a", asked[0]);
    std::ostringstream out;
    EXPECT_EQ(c.status, ReportHosts(outcomes, out));
    const std::string text = out.str();
    EXPECT_EQ(0u, text.find("TARPON CLIENT a: ")) << text;
    EXPECT_EQ(text.size() - std::string(c.summary).size(), text.find(c.summary))
        << text;
  }
}

TEST(MultiHostTest, SplitsTheList) {
  std::vector<std::string> hosts;
  EXPECT_TRUE(SplitHosts("hosta,hostb", &hosts));
  EXPECT_EQ((std::vector<std::string>{"hosta", "hostb"}), hosts);
  for (const char* bad : {"", "a,,b", "a,", ",a", "a b,c"}) {
    EXPECT_FALSE(SplitHosts(bad, &hosts)) << bad;
  }
  std::string many = "h";
  for (size_t i = 0; i < kMaxHosts; ++i) many += ",h";
  EXPECT_FALSE(SplitHosts(many, &hosts));
}

}  // namespace
