// The change service without HTTP or a gateway: a fake exchange answers,
// and each case says whether the gateway was asked, with what, and what
// the answer, the audit log and the idempotency store then hold. The
// message keys of the outcome table are checked against the English
// catalogue once.
#include "web/change_service.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "contract/tarpon_rc.h"
#include "gtest/gtest.h"

namespace {

// A JSON change from 127.0.0.9, run as the pool would run it: the key's
// step, the change, and its answer kept.
ChangeAnswer RunApiChange(const ChangeService& service, IdempotencyStore* store,
                          const std::string& body, const std::string& key) {
  ChangeJob job;
  job.api = true;
  job.language = "en";
  job.client = "127.0.0.9";
  std::string formKey;
  EXPECT_TRUE(ChangeService::ReadFields(body, true, &job.fields, &formKey));
  std::optional<ChangeAnswer> repeated = service.Repeated(key, &job, store);
  if (repeated) return *repeated;
  ChangeAnswer answer = service.Run(&job);
  service.Remember(job, answer, store);
  return answer;
}

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

  ChangeAnswer Run(const std::string& body, const std::string& key = "") {
    return RunApiChange(service_, &store_, body, key);
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
        options_ = request.options.Text();
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

// A change to several destinations: each one's rules first, then the first
// alone, then the others at once. The fake host of hostb, when asked after
// hosta, waits (a bounded while) for hostc's to be asked: asked one after
// the other, it would answer "not at once".
class MultiChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    config_.settings.assets = std::string(TARPON_SOURCE_DIR) + "/web/assets";
    config_.settings.destinations = {
        {"hosta", "Host A"}, {"hostb", "Host B"}, {"hostc", "Host C"}};
    for (const char* name : {"hosta", "hostb", "hostc"}) {
      ASSERT_TRUE(ParsePasswordRules(
          name == std::string("hostc") ? "minlength: 7" : "required: digit",
          &config_.settings.rules[name], &error));
    }
    ASSERT_TRUE(config_.LoadAssets(&error)) << error;
  }

  int Answer(const GatewayRequest& request) {
    const std::string name =
        request.options.Text().substr(request.options.Text().rfind("-s ") + 3);
    std::unique_lock<std::mutex> hold(lock_);
    asked_.push_back(name);
    seen_.notify_all();
    const bool withHosta =
        std::count(asked_.begin(), asked_.end(), "hosta") > 0;
    if (name == "hostb" && withHosta &&
        !seen_.wait_for(hold, std::chrono::seconds(10), [this] {
          return std::count(asked_.begin(), asked_.end(), "hostc") > 0;
        })) {
      return TARPON_RC_HOST_STATUS_BASE + 50;  // not at once
    }
    return codes_.count(name) ? codes_[name] : TARPON_RC_OK;
  }

  ChangeAnswer Run(const std::string& body, const std::string& key) {
    return RunApiChange(service_, &store_, body, key);
  }

  WebConfig config_;
  std::ostringstream audit_;
  WebShared shared_{&audit_};
  std::mutex lock_;
  std::condition_variable seen_;
  std::vector<std::string> asked_;
  std::map<std::string, int> codes_;
  ChangeService service_{
      config_, &shared_,
      [this](const GatewayRequest& request, GatewayAnswer* answer) {
        answer->failure = GatewayFailure::kNone;
        answer->code = Answer(request);
        return answer->code;
      }};
  IdempotencyStore store_{IdempotencyStore::Limits()};
};

std::string MultiChange(const char* current, const char* next) {
  return nlohmann::json{{"user", "alice"},
                        {"currentPassword", current},
                        {"newPassword", next},
                        {"destinations", {"hosta", "hostb", "hostc", "hostb"}}}
      .dump();
}

// Each step runs with the same Idempotency-Key as the one before it where
// it says "again".
TEST_F(MultiChangeTest, AsksTheFirstAloneThenTheRestAtOnce) {
  const int host = TARPON_RC_HOST_STATUS_BASE;
  struct Step {
    const char* what;
    std::string body;
    std::string key;
    std::map<std::string, int> codes;
    int status;
    const char* reason;   // the answer's, "" for 200
    const char* asked;    // the destinations asked, first one first
    const char* results;  // each destination's "reason" ("-": changed)
  };
  const Step steps[] = {
      {"all changed",
       MultiChange("SECRET1", "AFTER12"),
       "",
       {},
       200,
       "",
       "hosta",
       "- - -"},
      {"hostc's rule refuses before any host is asked",
       MultiChange("SECRET1", "AFTER1"),
       "",
       {},
       400,
       "too_short",
       "",
       ""},
      {"a wrong password at the first: nobody else asked",
       MultiChange("WRONG12", "AFTER12"),
       "",
       {{"hosta", host + 2}},
       422,
       "credentials_not_accepted",
       "hosta",
       "credentials_not_accepted not_tried not_tried"},
      {"hostb's database refuses: partly changed",
       MultiChange("SECRET1", "AFTER12"),
       "k",
       {{"hostb", host + 4}},
       422,
       "partly_changed",
       "hosta",
       "- new_password_not_accepted -"},
      {"again: only hostb asked, the others reported",
       MultiChange("SECRET1", "AFTER12"),
       "k",
       {},
       200,
       "",
       "hostb",
       "- - -"},
      {"again: the whole answer replayed",
       MultiChange("SECRET1", "AFTER12"),
       "k",
       {},
       200,
       "",
       "",
       "- - -"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    asked_.clear();
    codes_ = step.codes;
    ChangeAnswer answer = Run(step.body, step.key);
    nlohmann::json body = nlohmann::json::parse(answer.body);
    EXPECT_EQ(step.status, answer.status);
    EXPECT_EQ(step.reason, body.value("reason", ""));
    EXPECT_EQ(step.asked, asked_.empty() ? "" : asked_.front());
    std::string results;
    for (const auto& item : body.value("results", nlohmann::json::array())) {
      results +=
          (results.empty() ? "" : " ") +
          (item["reason"].is_null() ? "-" : item["reason"].get<std::string>());
      EXPECT_EQ(item["changed"], item["reason"].is_null());
    }
    EXPECT_EQ(step.results, results) << answer.body;
    if (step.status == 400) {
      EXPECT_EQ("hostc", body.value("destination", ""));
    }
  }
  // Every audit line of one request carries the same operation.
  std::istringstream lines(audit_.str());
  std::set<std::string> operations;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" outcome=changed code=0 operation=") != std::string::npos) {
      operations.insert(line.substr(line.rfind('=') + 1));
    }
  }
  EXPECT_EQ(3u, operations.size());  // the first, the partial, its retry
}

// "destinations" is 1 to 16 strings, never beside "destination".
TEST(MultiChangeFieldsTest, ReadsTheListOrRefusesIt) {
  const struct {
    const char* body;
    bool ok;
    size_t count;
  } cases[] = {
      {R"({"destinations": ["a", "b"]})", true, 2},
      {R"({"destinations": []})", false, 0},
      {R"({"destinations": "a"})", false, 0},
      {R"({"destinations": ["a", 1]})", false, 0},
      {R"({"destinations": ["a"], "destination": "a"})", false, 0},
      {R"({"destinations": ["a","a","a","a","a","a","a","a","a","a","a","a","a","a","a","a","a"]})",
       false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ChangeFields fields;
    std::string key;
    EXPECT_EQ(c.ok, ChangeService::ReadFields(c.body, true, &fields, &key));
    if (c.ok) {
      EXPECT_EQ(c.count, fields.destinations.size());
    }
  }
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
