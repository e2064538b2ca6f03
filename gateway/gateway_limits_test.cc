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
  const uint32_t source = 0x0100007F;
  int64_t now = 1000000;
  // Failures spread wider than the window never add up.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(0, penalties.RecordFailure(source, now += 16000));
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
    EXPECT_FALSE(penalties.IsPenalised(source + 1, now));
    now += seconds * 1000;
  }
  // Quiet for the longest penalty: forgotten, and the next one is short.
  now += 600 * 1000;
  penalties.Prune(now);
  EXPECT_EQ(0u, penalties.GetTrackedCount());
  for (int i = 0; i < 4; ++i) penalties.RecordFailure(source, ++now);
  EXPECT_EQ(30, penalties.RecordFailure(source, ++now));
}

}  // namespace
