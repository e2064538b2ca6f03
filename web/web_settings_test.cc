// tarpon-web's settings: the words of TARPON_WEB_OPTIONS, the options that
// bound what a client may hold, and the caps fitted to the descriptors.
#include "web/web_settings.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Words = std::vector<std::string>;

TEST(WebSettingsTest, SplitsTheEnvironmentIntoWordsKeepingQuotedBlanks) {
  struct Case {
    const char* text;
    Words words;
  };
  const Case cases[] = {
      {"  -lang en\t-timeout 5 ", {"-lang", "en", "-timeout", "5"}},
      {"-destinations 'hosta=Host A,hostb=Host B'",
       {"-destinations", "hosta=Host A,hostb=Host B"}},
      {"-destinations \"hosta=Host A\" -lang de",
       {"-destinations", "hosta=Host A", "-lang", "de"}},
      {"-destinations hosta='Host A'", {"-destinations", "hosta=Host A"}},
      {"-a '' -b", {"-a", "", "-b"}},
      {"'unclosed quote", {"unclosed quote"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.words, WebArguments(c.text, 0, nullptr));
  }
}

TEST(WebSettingsTest, ReadsTheLimitsAndRefusesBadValues) {
  const Words base = {"-listen", "127.0.0.1:8443", "-cert", "c", "-key",
                      "k",       "-destinations",  "a"};
  struct Case {
    Words more;
    bool ok;
    const char* says = "";  // a part of the reason
  };
  const Case cases[] = {
      {{"-per-source", "4", "-max-connections", "20"}, true},
      {{"-proxy-from", "127.0.0.1,10.0.0.0/8,::1"}, true},
      {{"-metrics", "127.0.0.1:9102"}, true},
      {{"-rules",
        "a=MinLength:6;required: upper;\n  required:digit, [#];"
        "allowed: upper,digit,[@#$@]; note: Yearly; never reused."},
       true},
      {{"-per-source", "0"}, false},
      {{"-proxy-from", "10.0.0.256"}, false},
      {{"-metrics", "localhost:9102"}, false},
      {{"-rules", "a=maxlength: 9"}, false, "outside the host's 1 to 8"},
      {{"-rules", "a=minlength: 0"}, false, "outside the host's 1 to 8"},
      {{"-rules", "a=minlength: 7; maxlength: 6"}, false, "above maxlength"},
      {{"-rules", "a=allowed: upper, special"}, false, "special is beyond"},
      {{"-rules", "a=required: [@#!]"}, false, "[@#!] is beyond"},
      {{"-rules", "a=allowed: upper,"}, false, "unknown class"},
      {{"-rules", "a=max-consecutive: 2"}, false, "unknown property"},
      {{"-rules", "a=maxlength: 1; required: upper; required: digit"},
       false,
       "do not fit"},
      {{"-rules", "b=minlength: 2"}, false, "-rules names b"},
      {{"-rules", "minlength: 2"}, false, "NAME=RULES"},
      {{"-rules", "a=case: ignored"}, true},
      {{"-rules", "a=case: sometimes"}, false, "\"ignored\" or \"kept\""},
      {{"-rules", "a=case: ignored; required: lower"}, false, "cannot be met"},
      {{"-rules-note", "a:fr=Tous les ans."}, true},
      {{"-rules-note", "a=Yearly."}, false, "NAME:LANG=TEXT"},
      {{"-rules-note", "a:FR=Yearly."}, false, "NAME:LANG=TEXT"},
      {{"-rules-note", "b:fr=Yearly."}, false, "-rules-note names b"},
      {{"-sign-on-url", "https://portal.example/signon"}, true},
      {{"-sign-on-url", "/signon"}, true},
      {{"-sign-on-url", "javascript:alert(1)"}, false},
      {{"-sign-on-url", "//elsewhere.example/"}, false},
      {{"-sign-on-url", "https://x.example/\"onclick"}, false},
      {{"-help-desk", "Call 555-0100"}, true},
      {{"-help-desk", "two\nlines"}, false},
      {{"-help-desk-url", "mailto:help@example.org"}, true},
      {{"-organisation", "Example & Co"}, true},
      {{"-organisation", ""}, false},
      {{"-logo", "/etc/tarpon-web/logo.svg"}, true},
      {{"-logo", "/etc/tarpon-web/logo.gif"}, false},
  };
  for (const Case& c : cases) {
    Words args = base;
    args.insert(args.end(), c.more.begin(), c.more.end());
    WebSettings settings;
    std::string error;
    SCOPED_TRACE(c.more[0] + " " + c.more[1]);
    EXPECT_EQ(c.ok, ParseWebArguments(args, &settings, &error)) << error;
    EXPECT_NE(std::string::npos, error.find(c.says)) << error;
    if (c.more[0] == "-rules-note" && c.ok) {
      EXPECT_EQ("Tous les ans.", settings.ruleNotes["a"]["fr"]);
    }
    if (c.more[0] == "-rules" && c.ok && c.more[1] == "a=case: ignored") {
      EXPECT_TRUE(settings.RulesFor("a").ignoresCase);
      continue;
    }
    if (c.more[0] == "-rules" && c.ok) {
      const PasswordRules& rules = settings.RulesFor("a");
      EXPECT_EQ(
          "minlength: 6; maxlength: 8; required: upper; required: digit, "
          "[#]; allowed: upper, digit, [@#$];",
          rules.Text());
      EXPECT_EQ("Yearly; never reused.", rules.note);
      // A destination without rules takes the host's.
      EXPECT_EQ(
          "minlength: 1; maxlength: 8; allowed: upper, lower, digit, "
          "[@#$];",
          settings.RulesFor("other").Text());
    }
    if (c.more[0] == "-per-source" && c.ok) {
      EXPECT_EQ(4, settings.limits.perSource);
      EXPECT_EQ(20, settings.limits.maxConnections);
    }
  }
}

TEST(WebSettingsTest, FitsTheCapsToTheDescriptors) {
  struct Case {
    uint64_t descriptors;
    int maxConnections;
    int perSource;
  };
  const Case cases[] = {
      {1048576, 256, 32},  // room enough: unchanged
      {1024, 256, 32},     // (1024 - 32) / 2 = 496 fit
      {256, 112, 28},     {40, 4, 1}, {0, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.descriptors);
    WebLimits limits;
    std::string note = FitWebLimits(c.descriptors, &limits);
    EXPECT_EQ(c.maxConnections, limits.maxConnections);
    EXPECT_EQ(c.perSource, limits.perSource);
    EXPECT_EQ(c.maxConnections == 256, note.empty());
  }
}

}  // namespace
