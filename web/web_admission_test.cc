// The web admission's caps, one step after another: the per-source cap,
// the overall cap, and its fair sharing, where a newcomer from a source
// holding few displaces an idle connection of the source holding the most.
#include "web/web_admission.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(WebAdmissionTest, SharesTheOverallCapFairly) {
  using Verdict = WebAdmission::Verdict;
  WebAdmission admission({6, 4});
  int ids[32];
  int next = 0;
  // Each step: a connection from source arrives (or, with busy, the last
  // one of source starts a request); the verdict, and which source gives
  // way when one does.
  struct Step {
    const char* what;
    std::string source;
    Verdict verdict;
    const char* displaced;  // the source that gives way, or ""
    bool busy = false;      // instead: source's last connection is busy
  };
  const Step steps[] = {
      {"a's first", "a", Verdict::kAdmitted, ""},
      {"a's second", "a", Verdict::kAdmitted, ""},
      {"a's third", "a", Verdict::kAdmitted, ""},
      {"a's fourth", "a", Verdict::kAdmitted, ""},
      {"a's fifth: over the per-source cap", "a", Verdict::kPerSourceCap, ""},
      {"b's first", "b", Verdict::kAdmitted, ""},
      {"b's second fills the cap", "b", Verdict::kAdmitted, ""},
      {"c, holding none, takes one of a's", "c", Verdict::kDisplacing, "a"},
      {"b, 2 to a's 3: no source holds two more", "b", Verdict::kOverallCap,
       ""},
      {"d takes another of a's", "d", Verdict::kDisplacing, "a"},
      {"a's two left are busy now", "a", Verdict::kAdmitted, "", true},
      {"e takes b's idle one, not a busy one", "e", Verdict::kDisplacing, "b"},
      {"f: the idle ones' sources hold one each", "f", Verdict::kOverallCap,
       ""},
      {"a balancer's connection, sourceless", "", Verdict::kOverallCap, ""},
  };
  std::vector<std::pair<std::string, const int*>> open;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.busy) {
      for (auto& [source, id] : open) {
        if (source == step.source) admission.SetIdle(id, false);
      }
      continue;
    }
    WebAdmission::PeerId displace = nullptr;
    ASSERT_EQ(step.verdict, admission.Admit(step.source, &displace));
    if (step.verdict == Verdict::kDisplacing) {
      std::string gave;
      for (auto& [source, id] : open) {
        if (id == displace) gave = source;
      }
      EXPECT_EQ(step.displaced, gave);
      admission.Displaced(displace);
      EXPECT_EQ(5, admission.open());
    }
    if (step.verdict == Verdict::kAdmitted ||
        step.verdict == Verdict::kDisplacing) {
      const int* id = &ids[next++];
      admission.Add(id, step.source);
      open.emplace_back(step.source, id);
    }
    EXPECT_LE(admission.open(), 6);
  }
  // The displaced close: their removal counts nothing twice.
  for (auto& [source, id] : open) admission.Remove(id);
  EXPECT_EQ(0, admission.open());
  EXPECT_EQ(0, admission.CountOf("a"));
}

TEST(WebAdmissionTest, ABalancersConnectionMovesUnderItsClient) {
  WebAdmission admission({10, 2});
  int one, two, three;
  admission.Add(&one, "");
  admission.Add(&two, "");
  admission.Add(&three, "x");
  EXPECT_TRUE(admission.Move(&one, "x"));
  EXPECT_FALSE(admission.Move(&two, "x"));  // x holds two: counted as before
  EXPECT_TRUE(admission.Move(&two, ""));    // no address: stays
  EXPECT_EQ(2, admission.CountOf("x"));
  EXPECT_EQ(1, admission.CountOf(""));
  EXPECT_EQ(3, admission.open());
  admission.Remove(&one);
  EXPECT_EQ(1, admission.CountOf("x"));
}

}  // namespace
