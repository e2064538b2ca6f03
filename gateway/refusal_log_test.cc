// Refusal lines: one for a new address, then one summary an interval, in
// memory bounded by the addresses kept.
#include "gateway/refusal_log.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

TEST(RefusalLogTest, FloodFromOneAddressIsOneLineThenOneSummaryAnInterval) {
  RefusalLog log(60000);
  int64_t now = 1000000;
  Lines written;
  auto refuse = [&](const std::string& address, RefusalKind kind) {
    for (const std::string& line : log.Refuse(address, kind, "why", now)) {
      written.push_back(line);
    }
  };
  for (int i = 0; i < 10000; ++i) {
    now = 1000000 + i / 10;  // all within a second
    refuse("192.0.2.7", i % 2 ? RefusalKind::kPerSource : RefusalKind::kTls);
  }
  EXPECT_EQ(Lines{"TARPON SERVER refused IP(192.0.2.7): why"}, written);
  EXPECT_EQ(1000000 + 60000, log.NextDueMs());
  EXPECT_EQ(Lines{}, log.TakeDue(1000000 + 59999));
  EXPECT_EQ(Lines{"TARPON SERVER refused 9999 connections from 192.0.2.7 in "
                  "the last 60 seconds"},
            log.TakeDue(1000000 + 60000));
  // A quiet interval forgets the address; its next refusal is a first line.
  EXPECT_EQ(Lines{}, log.TakeDue(1000000 + 120000));
  EXPECT_EQ(0u, log.GetTrackedCount());
  EXPECT_EQ(5000u, log.GetCount(RefusalKind::kTls));
  EXPECT_EQ(10000u, log.GetTotal());
}

TEST(RefusalLogTest, AddressesBeyondTheBoundAreSummarisedTogether) {
  RefusalLog log(10000, 2);
  const int64_t now = 1000000;
  Lines first;
  for (int i = 0; i < 1000; ++i) {
    for (const std::string& line :
         log.Refuse("198.51.100." + std::to_string(i % 250),
                    RefusalKind::kStartups, "full", now)) {
      first.push_back(line);
    }
  }
  EXPECT_EQ((Lines{"TARPON SERVER refused IP(198.51.100.0): full",
                   "TARPON SERVER refused IP(198.51.100.1): full"}),
            first);
  EXPECT_EQ(2u, log.GetTrackedCount());
  EXPECT_EQ((Lines{"TARPON SERVER refused 3 connections from 198.51.100.0 "
                   "in the last 10 seconds",
                   "TARPON SERVER refused 3 connections from 198.51.100.1 "
                   "in the last 10 seconds",
                   "TARPON SERVER refused 992 connections from other "
                   "addresses in the last 10 seconds"}),
            log.TakeDue(now + 10000));
}

}  // namespace
