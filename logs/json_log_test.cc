#include "logs/json_log.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(JsonLogTest, TimesFormatsAndFields) {
  using std::chrono::milliseconds;
  const std::chrono::system_clock::time_point at(milliseconds(1796843300903LL));
  EXPECT_EQ("2026-12-09T19:08:20.903Z", IsoUtcTime(at));
  EXPECT_EQ("1970-01-01T00:00:00.000Z",
            IsoUtcTime(std::chrono::system_clock::time_point()));
  const struct {
    const char* text;
    bool time;
  } shapes[] = {
      {"2026-12-09T19:08:20.903Z : x", true},
      {"2026-12-09T19:08:20.903Z", true},
      {"2026-12-09 19:08:20.903Z", false},
      {"Wed Dec  9 19:08:20 2026 : ", false},
      {"2026-12-09T19:08:20Z", false},
  };
  for (const auto& shape : shapes) {
    EXPECT_EQ(shape.time, BeginsWithIsoUtcTime(shape.text)) << shape.text;
  }
  LogFormat format = LogFormat::kJson;
  EXPECT_TRUE(ParseLogFormat("text", &format));
  EXPECT_EQ(LogFormat::kText, format);
  EXPECT_FALSE(ParseLogFormat("JSON", &format));
  EXPECT_EQ(LogFormat::kText, format);
  // Empty texts are left out; bytes that are not UTF-8 are replaced, so
  // the line stays one valid object.
  EXPECT_EQ(
      "{\"time\":\"t\",\"program\":\"p\",\"event\":\"change\","
      "\"user\":\"A\\\"\\n\xEF\xBF\xBD\",\"code\":-4}\n",
      JsonLogLine("t", "p", "change")
          .Add("operation", "")
          .Add("user", "A\"\n\xff")
          .AddNumber("code", -4)
          .Text());
}

}  // namespace
