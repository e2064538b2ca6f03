// A new password against a destination's rules: each rule that can fail,
// in the order the page and the server report them.
#include "web/password_rules.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(PasswordRulesTest, NamesTheFirstRuleAPasswordBreaks) {
  PasswordRules strict;
  std::string error;
  ASSERT_TRUE(ParsePasswordRules(
      "minlength: 4; maxlength: 6; required: upper; required: digit, [$]; "
      "allowed: upper",
      &strict, &error))
      << error;
  PasswordRules digit;
  ASSERT_TRUE(ParsePasswordRules("required: digit", &digit, &error)) << error;
  // A host that upper-cases: small letters are checked as capitals.
  PasswordRules caseless;
  ASSERT_TRUE(ParsePasswordRules(
      "case: ignored; allowed: upper, digit; required: upper", &caseless,
      &error))
      << error;
  const PasswordRules host = PasswordRules::HostField();
  struct Case {
    const PasswordRules& rules;
    std::string password;
    RuleFailure failure;
    size_t entry = 99;  // the required entry named, 99 for none
  };
  const Case cases[] = {
      {host, "a", RuleFailure::kNone},
      {host, "Ab1@#$x8", RuleFailure::kNone},
      {host, "", RuleFailure::kMissing},
      {host, "ABCDEFGH9", RuleFailure::kTooLong},
      {host, "AB CD", RuleFailure::kBadCharacter},
      {host, "AB-CD", RuleFailure::kBadCharacter},
      {host, std::string("AB\0CD", 5), RuleFailure::kBadCharacter},
      {host, "\xc3\xa9t\xc3\xa9", RuleFailure::kBadCharacter},
      {strict, "ABC1", RuleFailure::kNone},
      {strict, "ABC$", RuleFailure::kNone},  // a required class is allowed
      {strict, "AB1", RuleFailure::kTooShort},
      {strict, "ABCDEF1", RuleFailure::kTooLong},
      {strict, "abc1", RuleFailure::kBadCharacter},
      {strict, "ABCD", RuleFailure::kMissingClass, 1},
      {strict, "1234", RuleFailure::kMissingClass, 0},
      {digit, "ABCD", RuleFailure::kMissingDigit, 0},  // said as what it is
      {caseless, "abc1", RuleFailure::kNone},
      {caseless, "1234", RuleFailure::kMissingClass, 0},
      {caseless, "ab-1", RuleFailure::kBadCharacter},
      {digit, "ABC1", RuleFailure::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    size_t entry = 99;
    EXPECT_EQ(c.failure, CheckAgainstRules(c.rules, c.password, &entry));
    EXPECT_EQ(c.entry, entry);
  }
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789$",
            strict.AllowedCharacters());
}

}  // namespace
