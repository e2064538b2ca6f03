// The folded forms a password and a list entry are compared in, and the
// runs and sequences refused without a list.
#include "blocklist/fold.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FoldTest, BringsEverySpellingToOneForm) {
  const struct {
    const char* text;
    const char* folded;
  } cases[] = {
      {"password", "PASSWORD"},
      {"PaSsWoRd", "PASSWORD"},
      {"P@ssw0rd", "PASSWORD"},
      {"pa$$word", "PASSWORD"},
      {"password12", "PASSWORD"},
      {"PASS1234", "PASS"},
      {"Alice1", "AIICE"},
      {"AL1CE99", "AIICE"},
      {"s3cr3t", "SECRET"},
      {"7ig3r", "TIGER"},
      // Too short a stem keeps its number, which is then substituted.
      {"ABC123", "ABCI2E"},
      {"12345678", "I2EAS6T8"},
      {"#HASH#", "#HASH#"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.folded, Fold(c.text)) << c.text;
  }
}

TEST(FoldTest, FitsTheHostFieldOnlyWithItsCharacters) {
  EXPECT_TRUE(FitsHostField("A1@#$"));
  EXPECT_TRUE(FitsHostField("ABCDEFGH"));
  EXPECT_FALSE(FitsHostField("ABCDEFGHI"));
  EXPECT_FALSE(FitsHostField(""));
  EXPECT_FALSE(FitsHostField("PASS WORD"));
  EXPECT_FALSE(FitsHostField("P\xC3\xA4SS"));
}

TEST(FoldTest, NamesRunsAndSequences) {
  const struct {
    const char* password;
    bool refused;
  } cases[] = {
      {"AAAAAAAA", true},  {"abababab", true},  {"ABCABCAB", true},
      {"12345678", true},  {"87654321", true},  {"qwertyui", true},
      {"LKJHGFDS", true},  {"zxcvbnm", true},   {"7890", true},
      {"XK7QZ9W2", false}, {"ABCDEFGX", false}, {"QWERTZUI", false},
      {"AB12AB13", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.refused, RunOrSequence(c.password) != nullptr) << c.password;
  }
}

}  // namespace
