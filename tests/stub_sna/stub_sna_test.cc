#include "tests/stub_sna/stub_sna.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/tarpon.h"

namespace {

// The engine linked with the stub provider instead of the emulated node
// reports the stub's own start-up code.
TEST(StubSnaTest, EngineRunsOnTheLinkedProvider) {
  char text[1024];
  ApiResult result = {-1, sizeof text, text};
  EXPECT_EQ(8, tarpon("ALICE", "SECRET1", "NEWPW1", "hosta", &result, nullptr));
  EXPECT_EQ(8, result.returnCode);
  EXPECT_NE(std::string::npos,
            std::string(text).find(
                "Api .................................. WinCPICStartup()\n"
                "Return code text ..................... UnknownError=" +
                std::to_string(kStubStartupCode) + "\n"))
      << text;
}

}  // namespace
