// The page as people see it, rendered from the real assets without a
// server: each verdict in the page's own words (never the node's report),
// the done state, the checklist's data, and every catalogue's page.
#include "web/change_page.h"

#include <dirent.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "web/page_template.h"

namespace {

class ChangePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    settings_.destinations = {{"hosta", "Host A"}};
    ASSERT_TRUE(ParsePasswordRules(
        "minlength: 6; required: digit; required: [@#$]; note: Yearly.",
        &settings_.rules["hosta"], &error));
    settings_.ruleNotes["hosta"]["fr"] = "Tous les ans.";
    settings_.signOnUrl = "https://portal.example/signon?a=1&b=2";
    settings_.helpDesk = "call 555-0100";
    settings_.helpDeskUrl = "tel:5550100";
    settings_.organisation = "Example & Co";
    ASSERT_TRUE(page_.Load(Assets(), settings_, &error)) << error;
  }

  static std::string Assets() {
    return std::string(TARPON_SOURCE_DIR) + "/web/assets";
  }

  WebSettings settings_;
  ChangePage page_;
};

const char kNodeReport[] =
    "ERROR 28. Korvid Common Server KSV client version 02.00\n"
    "Api .................................. APPC(ALLOCATE)\n"
    "Primary APPC return code ............. 0001\n"
    "Return code text ..................... AP_PARAMETER_CHECK\n"
    "Secondary APPC return code ........... 0000015b\n"
    "Return code text ..................... AP_BAD_PARTNER_LU_ALIAS";

std::string HostReport(const char* status) {
  return std::string(
             "ERROR 55. Korvid Common Server KSV client version 02.00\n"
             "Veltrix Korvid Common Server\nKeysaver utility completed:\n"
             "Status code .................... 07\n"
             "Status code text ............... ") +
         status;
}

TEST_F(ChangePageTest, SaysEachVerdictInItsOwnWordsNeverTheNodesReport) {
  struct Case {
    const char* what;
    const char* key;
    std::string hostText;
    const char* field;
    int missingEntry;
    std::vector<std::string> shown;
    std::vector<std::string> hidden;
  };
  const std::string helpDesk =
      "Help desk of Example &amp; Co: <a href=\"tel:5550100\">call "
      "555-0100</a>";
  const Case cases[] = {
      {"a destination the node lacks: said plainly, with the help desk",
       "hostUnavailable",
       kNodeReport,
       "",
       -1,
       {"The password service does not know this host.", helpDesk},
       {"ERROR", "AP_", "APPC", "<details>"}},
      {"another report of the node: the plain message alone",
       "hostUnavailable",
       "ERROR 4. ... CM_PARAMETER_ERROR",
       "",
       -1,
       {"The host could not be reached", helpDesk},
       {"ERROR", "CM_PARAMETER_ERROR", "does not know"}},
      {"a refusal the page explains: no host text",
       "notAcceptable",
       HostReport("SIGNON/CHANGE FAILED NEW PASSWORD NOT ACCEPTABLE"),
       "",
       -1,
       {"The host does not accept this new password."},
       {"ERROR", "Common Server", "NOT ACCEPTABLE", helpDesk}},
      {"a refusal it cannot explain: the host's verdict alone",
       "hostRefused",
       HostReport("SIGNON/CHANGE FAILED GENERAL SECURITY FAILURE"),
       "",
       -1,
       {"<samp>SIGNON/CHANGE FAILED GENERAL SECURITY FAILURE</samp>", helpDesk},
       {"ERROR", "Common Server", "Status code"}},
      {"the second required entry missing, beside its field too",
       "problemMissingClass",
       "",
       "newPassword",
       1,
       {"<p>Add one of these: @ # $.</p>",
        "class=\"message\" aria-live=\"polite\">Add one of these: @ # $.</p>"},
       {"<p>The new password lacks"}},
      {"a digit missing",
       "problemMissingDigit",
       "",
       "newPassword",
       0,
       {"<p>Add a digit (0 to 9).</p>"},
       {"<p>The new password lacks"}},
      {"too short: the length it needs",
       "problemTooShort",
       "",
       "newPassword",
       -1,
       {"<p>Use at least 6 characters.</p>"},
       {"<p>The new password is"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PageResult result;
    result.shown = true;
    result.outcome = Outcome::kRefused;
    result.messageKey = c.key;
    result.hostText = c.hostText;
    result.field = c.field;
    result.account = "ALICE";
    result.missingEntry = c.missingEntry;
    std::string page = page_.Render("en", "ALICE", "hosta", result);
    for (const std::string& part : c.shown) {
      EXPECT_NE(std::string::npos, page.find(part)) << part << "\n" << page;
    }
    for (const std::string& part : c.hidden) {
      EXPECT_EQ(std::string::npos, page.find(part)) << part;
    }
    EXPECT_NE(std::string::npos, page.find("id=\"change\""));
  }
}

// The administrator's contact follows every verdict whose next step sends
// people to the help desk, and no other.
TEST_F(ChangePageTest, EveryMessageThatNamesTheHelpDeskGivesItsContact) {
  std::ifstream in(Assets() + "/i18n/en.json");
  nlohmann::json english = nlohmann::json::parse(in, nullptr, false);
  ASSERT_TRUE(english.is_object());
  int named = 0;
  for (auto& [key, text] : english.items()) {
    if (!english.contains(key + "Next") || key.rfind("problem", 0) == 0) {
      continue;
    }
    SCOPED_TRACE(key);
    const std::string next = english[key + "Next"].get<std::string>();
    const bool names = next.find("help desk") != std::string::npos;
    named += names ? 1 : 0;
    PageResult result;
    result.shown = true;
    result.outcome = Outcome::kRefused;
    result.messageKey = key;
    std::string page = page_.Render("en", "", "hosta", result);
    EXPECT_EQ(names, page.find("<p class=\"help-desk\">Help desk of Example "
                               "&amp; Co: <a href=\"tel:5550100\">") !=
                         std::string::npos);
  }
  EXPECT_EQ(7, named);
}

// After a change: the account, the host, what next, where to sign on and
// the way back; no form, no password field, no script data.
TEST_F(ChangePageTest, TheDoneStateNamesTheAccountAndTheHost) {
  PageResult done;
  done.shown = true;
  done.outcome = Outcome::kChanged;
  done.messageKey = "changed";
  done.hostText = "Password changed successfully.";
  done.account = "ALICE";
  std::string page = page_.Render("en", "", "hosta", done);
  for (const char* part : {
           "<dt>User ID</dt><dd>ALICE</dd>",
           "<dt>Host</dt><dd>Host A</dd>",
           "Use the new password from your next sign-on on.",
           "<a id=\"sign-on\" class=\"sign-on\" "
           "href=\"https://portal.example/signon?a=1&amp;b=2\">Sign on to "
           "Host A</a>",
           "<a id=\"again\" href=\"/\">Change another password</a>",
           "<samp>Password changed successfully.</samp>",
           "<span class=\"organisation\">Example &amp; Co</span>",
           "<title>Example &amp; Co: Change your host password</title>",
       }) {
    EXPECT_NE(std::string::npos, page.find(part)) << part << "\n" << page;
  }
  for (const char* part :
       {"<form", "type=\"password\"", "rules-data", "Help desk", "<img"}) {
    EXPECT_EQ(std::string::npos, page.find(part)) << part;
  }
}

// Every catalogue gives a whole page: its language and direction, every
// placeholder filled, the destination's note in its language where one
// was given, the checklist's messages in its words.
TEST_F(ChangePageTest, EveryLanguageHasAWholePage) {
  std::vector<std::string> tags;
  DIR* dir = opendir((Assets() + "/i18n").c_str());
  ASSERT_NE(nullptr, dir);
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 5 && name.substr(name.size() - 5) == ".json") {
      tags.push_back(name.substr(0, name.size() - 5));
    }
  }
  closedir(dir);
  EXPECT_EQ(9u, tags.size());
  for (const std::string& tag : tags) {
    SCOPED_TRACE(tag);
    std::string page = page_.Render(tag, "", "", PageResult());
    EXPECT_NE(std::string::npos,
              page.find("<html lang=\"" + tag + "\" dir=\"" +
                        (tag == "ar" ? "rtl" : "ltr") + "\">"));
    for (const char* mark : {"{min}", "{max}", "{classes}", "{{"}) {
      EXPECT_EQ(std::string::npos, page.find(mark)) << mark;
    }
    const char* note = tag == "fr" ? "Tous les ans." : "Yearly.";
    EXPECT_NE(std::string::npos, page.find(note));
    const Texts& texts = page_.catalogue().TextsOf(tag);
    EXPECT_NE(std::string::npos,
              page.find("data-message=\"" +
                        EscapeHtml(Text(texts, "problemAddDigit")) + "\""));
  }
}

TEST(PageTemplateTest, KeepsOrLeavesOutItsParts) {
  struct Case {
    const char* text;
    const char* filled;
  };
  const TemplateValues values = {{"on", "yes"}, {"off", ""}, {"v", "<b>"}};
  const Case cases[] = {
      {"a{{#on}}b{{v}}{{/on}}c", "ab&lt;b&gt;c"},
      {"a{{^on}}b{{/on}}c", "ac"},
      {"a{{#off}}b{{/off}}{{^off}}d{{&v}}{{/off}}c", "ad<b>c"},
      {"a{{#none}}b{{/none}}c", "ac"},
      {"{{#on}}x{{^off}}y{{/off}}z{{/on}}", "xyz"},
      {"a{{#on}}b", "ab"},  // no close: the mark alone is dropped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.filled, FillTemplate(c.text, values));
  }
}

}  // namespace
