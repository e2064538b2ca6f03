// Events as JSON: every field a hook reads, one line, no password.
#include "events/event.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

namespace {

TEST(EventTest, ChangeEventCarriesEveryFieldAsJson) {
  Event event;
  event.id = "20261209T154512.123456Z-1-1";
  event.type = "change";
  event.time = std::chrono::system_clock::from_time_t(1765295112) +
               std::chrono::milliseconds(42);
  event.user = "ALICE";
  event.destinations.push_back(
      {"HOSTA", "refused", 2002, "Wrong password.", 0});
  event.source = "127.0.0.1";
  event.operation = "7";
  std::string text = EventJson(event);
  EXPECT_EQ(std::string::npos, text.find('\n'));
  // The fields in the order the documentation shows them.
  EXPECT_EQ(0u,
            text.find("{\"version\":1,\"id\":\"20261209T154512.123456Z-1-1\","
                      "\"type\":\"change\",\"time\":"))
      << text;
  EXPECT_NE(std::string::npos,
            text.find("{\"destination\":\"HOSTA\",\"outcome\":\"refused\","
                      "\"returnCode\":2002,"))
      << text;
  nlohmann::json json = nlohmann::json::parse(text);
  EXPECT_EQ(1, json["version"]);
  EXPECT_EQ("change", json["type"]);
  EXPECT_EQ("2025-12-09T15:45:12.042Z", json["time"]);
  EXPECT_EQ("ALICE", json["user"]);
  ASSERT_TRUE(json["destinations"].is_array());
  EXPECT_EQ("HOSTA", json["destinations"][0]["destination"]);
  EXPECT_EQ("refused", json["destinations"][0]["outcome"]);
  EXPECT_EQ(2002, json["destinations"][0]["returnCode"]);
  EXPECT_EQ("Wrong password.", json["destinations"][0]["verdict"]);
  EXPECT_FALSE(json["destinations"][0].contains("seconds"));
  EXPECT_EQ("127.0.0.1", json["source"]);
  EXPECT_EQ("7", json["operation"]);
  EXPECT_FALSE(json.contains("by"));
}

TEST(EventTest, HoldAndReleaseAndBytesThatAreNotUtf8) {
  Event hold;
  hold.type = "hold";
  hold.user = "B\xff\xfe";  // what a client sent, not UTF-8
  hold.destinations.push_back({"HOSTA", "held", 0, "", 120});
  nlohmann::json json = nlohmann::json::parse(EventJson(hold));
  EXPECT_EQ(120, json["destinations"][0]["seconds"]);
  EXPECT_FALSE(json["destinations"][0].contains("returnCode"));
  EXPECT_FALSE(json.contains("source"));
  EXPECT_EQ(3u, json["user"].get<std::string>().size() / 2);  // replaced
  Event release;
  release.type = "release";
  release.by = "helpdesk";
  nlohmann::json released = nlohmann::json::parse(EventJson(release));
  EXPECT_EQ("helpdesk", released["by"]);
  EXPECT_TRUE(released["destinations"].empty());
}

TEST(EventTest, IdsAreUniqueAndSortAsMade) {
  auto now = std::chrono::system_clock::now();
  std::set<std::string> ids;
  std::string previous;
  for (int i = 0; i < 100; ++i) {
    std::string id = NewEventId(now + std::chrono::microseconds(i));
    EXPECT_LT(previous, id);
    previous = id;
    ids.insert(id);
  }
  EXPECT_EQ(100u, ids.size());
  // The same instant still gives two ids.
  EXPECT_NE(NewEventId(now), NewEventId(now));
}

TEST(EventTest, OneLineTakesTheFirstLineThatIsNotBlank) {
  const struct {
    const char* text;
    size_t length;
    const char* line;
  } cases[] = {
      {"\nPassword changed successfully.\n\n", 200,
       "Password changed successfully."},
      {"  \r\n\t first \r\nsecond", 200, "first"},
      {"abcdef", 3, "abc"},
      {"", 10, ""},
      {"\n \n\t\n", 10, ""},
      {"no line end", 200, "no line end"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.line, OneLine(c.text, c.length));
}

}  // namespace
