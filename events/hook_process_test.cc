// Hooks as processes: input in, one line out, killed at the deadline with
// whatever they started.
#include "events/hook_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using std::chrono::milliseconds;

HookResult Shell(const std::string& script, const std::string& input = "",
                 milliseconds deadline = milliseconds(5000)) {
  return RunHook({"/bin/sh", "-c", script}, input, deadline);
}

TEST(HookProcessTest, ExitStatusAndFirstLineOfOutput) {
  const std::string big(1 << 20, 'x');
  const struct {
    const char* script;
    const char* input;
    bool succeeded;
    int exitStatus;
    const char* output;
  } cases[] = {
      {"cat", "\n  first line \nsecond\n", true, 0, "first line"},
      {"echo oops >&2; exit 3", "", false, 3, "oops"},
      {"exit 0", "ignored input", true, 0, ""},
      // Input not read: the write fails, nothing waits, nothing is killed.
      {"exec 0<&-; echo done", big.c_str(), true, 0, "done"},
      {"kill -9 $$", "", false, -1, ""},
  };
  for (const auto& c : cases) {
    HookResult result = Shell(c.script, c.input);
    EXPECT_TRUE(result.started) << c.script;
    EXPECT_EQ(c.succeeded, result.Succeeded()) << c.script;
    EXPECT_EQ(c.exitStatus, result.exitStatus) << c.script;
    EXPECT_EQ(c.output, result.output) << c.script;
    EXPECT_FALSE(result.timedOut) << c.script;
  }
}

TEST(HookProcessTest, LongOutputIsCutToOneLine) {
  HookResult result = Shell("head -c 100000 /dev/zero | tr '\\0' y; echo");
  EXPECT_TRUE(result.Succeeded());
  EXPECT_EQ(std::string(kHookOutputLineLength, 'y'), result.output);
}

TEST(HookProcessTest, KilledAtTheDeadlineWithWhatItStarted) {
  auto start = std::chrono::steady_clock::now();
  // The background sleep keeps the output open: it must die too.
  HookResult result = Shell("sleep 30 & sleep 30", "", milliseconds(300));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(result.timedOut);
  EXPECT_FALSE(result.Succeeded());
  EXPECT_LT(took, milliseconds(3000));
  EXPECT_EQ("killed at its deadline", result.Describe());
}

TEST(HookProcessTest, GivesUpWhenCancelled) {
  std::atomic<bool> cancel{false};
  std::thread canceller([&cancel] {
    std::this_thread::sleep_for(milliseconds(200));
    cancel = true;
  });
  HookResult result =
      RunHook({"/bin/sleep", "30"}, "", milliseconds(30000), &cancel);
  canceller.join();
  EXPECT_TRUE(result.cancelled);
  EXPECT_LT(result.seconds, 3.0);
}

TEST(HookProcessTest, AProgramThatCannotRunIsSaid) {
  HookResult result = RunHook({"/no/such/hook"}, "", milliseconds(1000));
  EXPECT_FALSE(result.started);
  EXPECT_FALSE(result.Succeeded());
  EXPECT_EQ(0u, result.Describe().find("not run: ")) << result.Describe();
  EXPECT_FALSE(RunHook({}, "", milliseconds(1000)).started);
}

}  // namespace
