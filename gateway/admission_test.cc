// The admission's counts and verdicts with a clock moved by hand.
#include "gateway/admission.h"

#include <gtest/gtest.h>

#include <vector>

#include "contract/tarpon_rc.h"
#include "tests/support/fake_clock.h"

namespace {

constexpr int kHostWrongPassword = TARPON_RC_HOST_STATUS_BASE + 2;
const SourceKey kA = "192.0.2.1";
const SourceKey kB = "192.0.2.2";

GatewayLimits SmallLimits() {
  GatewayLimits limits;
  limits.startupsStart = limits.startupsFull = 3;  // refuse only when full
  limits.startupsRate = 100;
  limits.perSource = 2;
  limits.penaltyCount = 3;
  limits.penaltyWindow = 10;
  limits.penaltySeconds = 30;
  limits.penaltyMaxSeconds = 600;
  return limits;
}

TEST(AdmissionTest, CountsStartupsUntilTheirTicketsGoBack) {
  FakeClock clock;
  Admission admission(SmallLimits(), 30, 86, clock, 1);
  std::vector<Admission::Ticket> held(3);
  EXPECT_EQ(Admission::Verdict::kAdmitted, admission.Admit(kA, &held[0]));
  EXPECT_EQ(Admission::Verdict::kAdmitted, admission.Admit(kA, &held[1]));
  Admission::Ticket refused;
  EXPECT_EQ(Admission::Verdict::kPerSourceCap, admission.Admit(kA, &refused));
  EXPECT_FALSE(refused.IsHeld());
  EXPECT_EQ("too many connections without a request from this address (2)",
            admission.Describe(Admission::Verdict::kPerSourceCap, kA));
  EXPECT_EQ(Admission::Verdict::kAdmitted, admission.Admit(kB, &held[2]));
  EXPECT_EQ(Admission::Verdict::kStartupCap, admission.Admit(kB, &refused));
  EXPECT_EQ("too many connections without a request (3)",
            admission.Describe(Admission::Verdict::kStartupCap, kB));
  // A request that arrived gives its startup back once, moved or not.
  Admission::Ticket moved = std::move(held[0]);
  moved.Release();
  moved.Release();
  held[0] = Admission::Ticket();
  EXPECT_EQ(2, admission.GetStartups());
  EXPECT_EQ(1, admission.GetStartupsFrom(kA));
  held.clear();
  EXPECT_EQ(0, admission.GetStartups());
  EXPECT_EQ(0, admission.GetStartupsFrom(kB));
}

TEST(AdmissionTest, PenalisesFailedSignOnsForAWhile) {
  FakeClock clock;
  Admission admission(SmallLimits(), 30, 86, clock, 1);
  // Only the host's unknown-user and wrong-password verdicts count.
  EXPECT_EQ(0, admission.Settle(kA, true, 0));
  EXPECT_EQ(0, admission.Settle(kA, false, kHostWrongPassword));
  EXPECT_EQ(0, admission.Settle(kA, true, TARPON_RC_HOST_STATUS_BASE + 1));
  EXPECT_EQ(0, admission.Settle(kA, true, kHostWrongPassword));
  EXPECT_EQ(30, admission.Settle(kA, true, kHostWrongPassword));
  Admission::Ticket ticket;
  EXPECT_EQ(Admission::Verdict::kPenalised, admission.Admit(kA, &ticket));
  EXPECT_EQ(Admission::Verdict::kAdmitted, admission.Admit(kB, &ticket));
  clock.Advance(30000);
  EXPECT_EQ(Admission::Verdict::kAdmitted, admission.Admit(kA, &ticket));
}

TEST(AdmissionTest, FitsTheCapsToTheDescriptors) {
  GatewayLimits limits;
  EXPECT_EQ("", Admission::FitToDescriptors(&limits, 1 << 20));
  EXPECT_EQ(
      "TARPON SERVER descriptor limit 1024: connections without a request "
      "capped at 960",
      Admission::FitToDescriptors(&limits, 1024));
  EXPECT_EQ(960, limits.startupsFull);
  EXPECT_EQ(960, limits.startupsStart);
  EXPECT_EQ(10, limits.perSource);
}

}  // namespace
