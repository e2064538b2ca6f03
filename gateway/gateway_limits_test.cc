// The gateway's limits: the values the switches take, the random early
// drop's ends, and how penalties start, grow and end.
#include "gateway/gateway_limits.h"

#include <gtest/gtest.h>

namespace {

TEST(GatewayLimitsTest, ParsesTheSwitchValues) {
  using Parse = bool (*)(const char*, GatewayLimits*);
  struct Case {
    Parse parse;
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {ParseMaxStartups, "10:30:100", true},
      {ParseMaxStartups, "50", true},
      {ParseMaxStartups, "100:30:10", false},  // full below start
      {ParseMaxStartups, "10:0:100", false},
      {ParseMaxStartups, "10:101:100", false},
      {ParseMaxStartups, "10:30", false},
      {ParseMaxStartups, "0", false},
      {ParsePerSource, "1", true},
      {ParsePerSource, "0", false},
      {ParsePerSource, "-3", false},
      {ParsePerSource, "3 ", false},
      {ParsePenalties, "off", true},
      {ParsePenalties, "3:60:30:600", true},
      {ParsePenalties, "2:60:30:600", false},  // two mistakes never count
      {ParsePenalties, "5:60:30:10", false},   // max below the first
      {ParsePenalties, "5:60:30:600:1", false},
      {ParsePenalties, "5:60:x:600", false},
      {ParsePenalties, "99999999999:1:1:1", false},
  };
  for (const Case& c : cases) {
    GatewayLimits limits;
    EXPECT_EQ(c.ok, c.parse(c.text, &limits)) << c.text;
  }
  GatewayLimits limits;
  ASSERT_TRUE(ParseMaxStartups("7:40:9", &limits));
  EXPECT_EQ(7, limits.startupsStart);
  EXPECT_EQ(40, limits.startupsRate);
  EXPECT_EQ(9, limits.startupsFull);
}

TEST(GatewayLimitsTest, DropsNothingBelowStartAndEverythingAtFull) {
  GatewayLimits limits;
  ASSERT_TRUE(ParseMaxStartups("10:30:20", &limits));
  StartupGate gate(limits, 1);
  int refusedAtStart = 0;
  for (int i = 0; i < 1000; ++i) {
    EXPECT_FALSE(gate.Refuses(9));
    EXPECT_TRUE(gate.Refuses(20));
    refusedAtStart += gate.Refuses(10) ? 1 : 0;
  }
  EXPECT_GT(refusedAtStart, 200);
  EXPECT_LT(refusedAtStart, 400);
}

TEST(GatewayLimitsTest, PenaltiesStartGrowAndEnd) {
  GatewayLimits limits;  // 5 failures in 60 s: 30 s, doubling up to 600 s
  SourcePenalties penalties(limits);
  const SourceKey source = "127.0.0.1";
  int64_t now = 1000000;
  // Failures a window apart never add up.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(0, penalties.RecordFailure(source, now += 60000));
  }
  EXPECT_FALSE(penalties.IsPenalised(source, now));
  now += 61000;
  const int expected[] = {30, 60, 120, 240, 480, 600, 600};
  for (int seconds : expected) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(0, penalties.RecordFailure(source, ++now));
    }
    EXPECT_EQ(seconds, penalties.RecordFailure(source, ++now));
    EXPECT_TRUE(penalties.IsPenalised(source, now + seconds * 1000 - 1));
    EXPECT_FALSE(penalties.IsPenalised(source, now + seconds * 1000));
    EXPECT_FALSE(penalties.IsPenalised("127.0.0.2", now));
    now += seconds * 1000;
  }
  // Quiet for the longest penalty: forgotten, and the next one is short.
  now += 600 * 1000;
  penalties.Prune(now);
  EXPECT_EQ(0u, penalties.GetTrackedCount());
  for (int i = 0; i < 4; ++i) penalties.RecordFailure(source, ++now);
  EXPECT_EQ(30, penalties.RecordFailure(source, ++now));
}

// 5:4:30:600: the fifth failure of a run without a quiet 4 s between.
TEST(GatewayLimitsTest, PenalisesCountFailuresWithoutAQuietWindow) {
  struct Case {
    const char* name;
    std::vector<int64_t> failuresMs;
    int penalisedAt;  // index into failuresMs, or -1
  };
  const Case cases[] = {
      {"five, each within 4 s of the last", {0, 3900, 4100, 4200, 4300}, 4},
      {"the gaps just under the window", {0, 3999, 7998, 11997, 15996}, 4},
      {"a quiet window forgets what came before",
       {0, 1000, 2000, 3000, 7000, 8000, 9000, 10000, 11000},
       8},
      {"one every 4 s: never two together", {0, 4000, 8000, 12000, 16000}, -1},
  };
  GatewayLimits limits;
  ASSERT_TRUE(ParsePenalties("5:4:30:600", &limits));
  for (const Case& c : cases) {
    SourcePenalties penalties(limits);
    for (size_t i = 0; i < c.failuresMs.size(); ++i) {
      const int expected = static_cast<int>(i) == c.penalisedAt ? 30 : 0;
      EXPECT_EQ(expected,
                penalties.RecordFailure("7", 1000000 + c.failuresMs[i]))
          << c.name << ", failure " << i;
    }
  }
}

// A table of four: new guessers make room, running penalties stay while
// anything else can go, and at last the one ending first goes.
TEST(GatewayLimitsTest, FullTableStillPenalisesAndKeepsRunningPenalties) {
  GatewayLimits limits;  // 5 failures in 60 s: 30 s
  SourcePenalties penalties(limits, 4);
  int64_t now = 1000000;
  auto guess = [&](const SourceKey& source, int times) {
    int seconds = 0;
    for (int i = 0; i < times; ++i) {
      seconds = penalties.RecordFailure(source, now += 10);
    }
    return seconds;
  };
  EXPECT_EQ(30, guess("1", 5));
  for (int source = 100; source < 200; ++source) {
    guess(std::to_string(source), 4);
  }
  EXPECT_EQ(4u, penalties.GetTrackedCount());
  EXPECT_TRUE(penalties.IsPenalised("1", now));
  EXPECT_EQ(30, guess("2", 5));  // a new guesser in a full table
  EXPECT_EQ(30, guess("3", 5));
  EXPECT_EQ(30, guess("4", 5));  // now all four in force
  EXPECT_EQ(30, guess("5", 5));  // takes the place of 1, which ends first
  EXPECT_FALSE(penalties.IsPenalised("1", now));
  for (int number = 2; number <= 5; ++number) {
    const SourceKey source = std::to_string(number);
    EXPECT_TRUE(penalties.IsPenalised(source, now)) << source;
  }
  EXPECT_EQ(5u, penalties.GetPenaltiesStarted());
  EXPECT_EQ(4u, penalties.CountInForce(now));
  EXPECT_EQ(0u, penalties.CountInForce(now + 30000));
}

}  // namespace
