// The change service without HTTP or a gateway: a fake exchange answers,
// and each case says whether the gateway was asked, with what, and what
// the answer, the audit log and the idempotency store then hold. The
// message keys of the outcome table are checked against the English
// catalogue once.
#include "web/change_service.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "contract/tarpon_rc.h"
#include "gtest/gtest.h"

namespace {

class ChangeServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    config_.settings.assets = std::string(TARPON_SOURCE_DIR) + "/web/assets";
    config_.settings.destinations = {{"hosta", "Host A"}};
    ASSERT_TRUE(ParsePasswordRules("required: digit",
                                   &config_.settings.rules["hosta"], &error));
    ASSERT_TRUE(config_.LoadAssets(&error)) << error;
  }

  // A JSON change from 127.0.0.9, run as the pool would run it.
  ChangeAnswer Run(const std::string& body, const std::string& key = "") {
    ChangeJob job;
    job.api = true;
    job.language = "en";
    job.client = "127.0.0.9";
    std::string formKey;
    EXPECT_TRUE(ChangeService::ReadFields(body, true, &job.fields, &formKey));
    std::optional<ChangeAnswer> repeated =
        service_.Repeated(key, &job, &store_);
    if (repeated) return *repeated;
    ChangeAnswer answer = service_.Run(&job);
    service_.Remember(job, answer, &store_);
    return answer;
  }

  static std::string Reason(const ChangeAnswer& answer) {
    return nlohmann::json::parse(answer.body, nullptr, false)
        .value("reason", "");
  }

  WebConfig config_;
  std::ostringstream audit_;
  WebShared shared_{&audit_};
  int asked_ = 0;
  std::string options_;
  int code_ = TARPON_RC_OK;
  ChangeService service_{
      config_, &shared_,
      [this](const GatewayRequest& request, GatewayAnswer* answer) {
        ++asked_;
        options_ = request.options;
        answer->failure = GatewayFailure::kNone;
        answer->code = code_;
        return code_;
      }};
  IdempotencyStore store_{IdempotencyStore::Limits()};
};

std::string JsonChange(const char* user, const char* current,
                       const char* next) {
  return nlohmann::json{
      {"user", user}, {"currentPassword", current}, {"newPassword", next}}
      .dump();
}

TEST_F(ChangeServiceTest, ChecksAsksAndAnswersEachCase) {
  const int host = TARPON_RC_HOST_STATUS_BASE;
  struct Case {
    const char* what;
    std::string body;
    int code;  // the fake gateway's answer
    bool asked;
    int status;
    const char* reason;  // "" for a change made
  };
  const Case cases[] = {
      {"made", JsonChange("alice", "SECRET1", "AFTER1"), TARPON_RC_OK, true,
       200, ""},
      {"wrong password", JsonChange("alice", "WRONG1", "AFTER1"), host + 1,
       true, 422, "credentials_not_accepted"},
      {"no digit: said so, nobody asked",
       JsonChange("alice", "SECRET1", "AFTER"), TARPON_RC_OK, false, 400,
       "missing_digit"},
      {"too long, nobody asked", JsonChange("alice", "SECRET1", "AFTER12345"),
       TARPON_RC_OK, false, 400, "too_long"},
      {"no user", JsonChange("", "SECRET1", "AFTER1"), TARPON_RC_OK, false, 400,
       "missing_field"},
      {"held", JsonChange("alice", "SECRET1", "AFTER1"), TARPON_RC_ACCOUNT_HELD,
       true, 429, "account_throttled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    asked_ = 0;
    code_ = c.code;
    ChangeAnswer answer = Run(c.body);
    EXPECT_EQ(c.asked ? 1 : 0, asked_);
    EXPECT_EQ(c.status, answer.status);
    EXPECT_EQ(c.reason, Reason(answer));
    EXPECT_TRUE(answer.afterExchange);
  }
  EXPECT_NE(std::string::npos, options_.find("-u ALICE"));
  // One audit line a change, none with a password.
  std::string lines = audit_.str();
  EXPECT_EQ(6, std::count(lines.begin(), lines.end(), '\n'));
  EXPECT_EQ(std::string::npos, lines.find("SECRET1"));
  EXPECT_NE(std::string::npos, lines.find("user=ALICE destination=hosta "
                                          "outcome=changed code=0"));
}

// A key is bound to the whole request: the same request gets the first
// answer again (and an audit line saying so), any other one 422.
TEST_F(ChangeServiceTest, AnIdempotencyKeyIsBoundToTheWholeRequest) {
  const std::string first = JsonChange("alice", "SECRET1", "AFTER1");
  ChangeAnswer made = Run(first, "k");
  ASSERT_EQ(200, made.status);
  struct Case {
    const char* what;
    std::string body;
    int status;
    bool replayed;
  };
  const Case cases[] = {
      {"the same request", first, 200, true},
      {"the user ID in another case: the same",
       JsonChange("Alice", "SECRET1", "AFTER1"), 200, true},
      {"another current password", JsonChange("alice", "WRONG1", "AFTER1"), 422,
       false},
      {"another new password", JsonChange("alice", "SECRET1", "AFTER2"), 422,
       false},
      {"another user", JsonChange("bob", "SECRET1", "AFTER1"), 422, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ChangeAnswer answer = Run(c.body, "k");
    EXPECT_EQ(c.status, answer.status);
    EXPECT_EQ(c.replayed, answer.replayed);
    EXPECT_EQ(c.replayed ? made.body : "", c.replayed ? answer.body : "");
    EXPECT_EQ(c.replayed ? "" : "idempotency_key_reused", Reason(answer));
  }
  EXPECT_EQ(1, asked_);
  std::string lines = audit_.str();
  EXPECT_NE(std::string::npos, lines.find(" replay client=127.0.0.9 user=ALICE "
                                          "destination=hosta status=200\n"));
}

// Every message key of the outcome table has its text and next step in
// the English catalogue, and every reason is listed once.
TEST(OutcomeTableTest, EveryKeyHasItsTextsAndEveryReasonOneRow) {
  std::ifstream in(std::string(TARPON_SOURCE_DIR) + "/web/assets/i18n/en.json");
  nlohmann::json english = nlohmann::json::parse(in, nullptr, false);
  ASSERT_TRUE(english.is_object());
  std::set<std::string> reasons;
  for (const ProblemRow& row : kProblems) {
    EXPECT_TRUE(reasons.insert(row.reason).second) << row.reason;
    for (const char* key : row.keys) {
      if (key == nullptr) continue;
      EXPECT_TRUE(english.contains(key)) << key;
      EXPECT_TRUE(english.contains(std::string(key) + "Next")) << key;
      EXPECT_STREQ(row.reason, ProblemOf(key).reason) << key;
    }
  }
  for (const OutcomeRow& row : kOutcomes) {
    EXPECT_STREQ(row.label, OutcomeName(row.outcome));
  }
}

}  // namespace
