// The sink end to end with hooks that are shell scripts: at least once,
// retried, given up on, kept over a stop, and a sync hook's password seen
// by nobody else.
#include "events/event_sink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "contract/tarpon_rc.h"
#include "tests/support/e2e_support.h"

namespace {

using std::chrono::milliseconds;

// A script hook in box, mode 0700.
std::string Hook(const e2e::Sandbox& box, const std::string& name,
                 const std::string& body) {
  box.Write(name, "#!/bin/sh\n" + body);
  chmod(box.Path(name).c_str(), 0700);
  return box.Path(name);
}

EventSettings Settings(const e2e::Sandbox& box) {
  EventSettings settings;
  settings.spoolFolder = box.Path("spool");
  settings.firstRetry = milliseconds(20);
  settings.longestRetry = milliseconds(40);
  settings.maxAttempts = 3;
  settings.stopGrace = milliseconds(200);
  return settings;
}

// Waits up to five seconds for done.
template <typename Done>
bool WaitFor(Done done) {
  for (int i = 0; i < 500 && !done(); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  return done();
}

struct Counters {
  MetricsRegistry registry;
  EventMetrics metrics;
  Counters() {
    metrics.written = registry.AddCounter("w", "");
    metrics.delivered = registry.AddCounter("d", "");
    metrics.retried = registry.AddCounter("r", "");
    metrics.givenUp = registry.AddCounter("g", "");
    metrics.dropped = registry.AddCounter("x", "");
    metrics.spoolDepth = registry.AddGauge("s", "");
  }
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(EventSinkTest, EveryHookGetsTheEventAndTheSpoolEmpties) {
  e2e::Sandbox box;
  EventSettings settings = Settings(box);
  settings.eventHooks = {Hook(box, "a", "cat >> " + box.Path("a.out")),
                         Hook(box, "b", "cat >> " + box.Path("b.out"))};
  Counters counters;
  EventSink sink(settings, counters.metrics);
  std::string error;
  ASSERT_TRUE(sink.Start(&error)) << error;
  sink.OnChange("ALICE", "HOSTA", 0, "\nPassword changed successfully.\n",
                "127.0.0.1", "7");
  sink.OnHold("BOB", "HOSTA", 60, "::1", "8");
  ASSERT_TRUE(
      WaitFor([&] { return counters.metrics.delivered->Value() == 2; }));
  sink.Stop();
  for (const char* out : {"a.out", "b.out"}) {
    std::string text = box.Read(out);
    size_t end = text.find('\n');
    ASSERT_NE(std::string::npos, end) << text;
    nlohmann::json first = nlohmann::json::parse(text.substr(0, end));
    nlohmann::json second = nlohmann::json::parse(text.substr(end + 1));
    // The two may come in either order, the hooks running side by side.
    if (first["type"] == "hold") std::swap(first, second);
    EXPECT_EQ("ALICE", first["user"]);
    EXPECT_EQ("changed", first["destinations"][0]["outcome"]);
    EXPECT_EQ("Password changed successfully.",
              first["destinations"][0]["verdict"]);
    EXPECT_EQ(60, second["destinations"][0]["seconds"]);
    EXPECT_EQ("8", second["operation"]);
  }
  EXPECT_EQ(2, counters.metrics.written->Value());
  EXPECT_EQ(0, counters.metrics.spoolDepth->Value());
  EXPECT_TRUE(Spool(box.Path("spool"), SpoolLimits()).List().empty());
}

TEST(EventSinkTest, RetriedUntilTakenOrGivenUp) {
  const struct {
    int failures;  // before the hook takes it
    bool delivered;
    int retries;
  } cases[] = {{0, true, 0}, {2, true, 2}, {5, false, 2}};
  for (const auto& c : cases) {
    e2e::Sandbox box;
    EventSettings settings = Settings(box);
    // Fails while the counter file is shorter than c.failures lines.
    settings.eventHooks = {Hook(box, "h",
                                "cat > /dev/null; n=$(cat " + box.Path("n") +
                                    " 2>/dev/null | wc -l)\n"
                                    "echo x >> " +
                                    box.Path("n") +
                                    "\n"
                                    "[ \"$n\" -ge " +
                                    std::to_string(c.failures) +
                                    " ] || { echo no; exit 1; }\n")};
    Counters counters;
    EventSink sink(settings, counters.metrics);
    std::string error;
    ASSERT_TRUE(sink.Start(&error));
    sink.OnRelease("ALICE", "HOSTA", "helpdesk");
    ASSERT_TRUE(WaitFor([&] {
      return counters.metrics.delivered->Value() +
                 counters.metrics.givenUp->Value() ==
             1;
    })) << c.failures;
    sink.Stop();
    EXPECT_EQ(c.delivered ? 1 : 0, counters.metrics.delivered->Value());
    EXPECT_EQ(c.retries, counters.metrics.retried->Value()) << c.failures;
    Spool failed(box.Path("spool/failed"), SpoolLimits());
    EXPECT_EQ(c.delivered ? 0u : 1u, failed.List().size());
    std::string log = Joined(sink.TakeLogLines());
    EXPECT_NE(std::string::npos,
              log.find(c.delivered ? ": exit 0" : "given up"))
        << log;
  }
}

TEST(EventSinkTest, AStopKeepsWhatIsUndeliveredAndTheNextStartDeliversIt) {
  e2e::Sandbox box;
  EventSettings settings = Settings(box);
  settings.eventHooks = {Hook(box, "hang", "sleep 30")};
  std::string error;
  std::string written;
  {
    EventSink sink(settings, EventMetrics());
    ASSERT_TRUE(sink.Start(&error));
    for (int i = 0; i < 3; ++i)
      sink.OnHold("U" + std::to_string(i), "H", 9, "", "");
    Spool spool(box.Path("spool"), SpoolLimits());
    ASSERT_TRUE(WaitFor([&] { return spool.List().size() == 3; }));
    for (const std::string& id : spool.List()) {
      std::string bytes;
      ASSERT_TRUE(spool.Read(id, &bytes));
      written += bytes + "\n";
    }
    auto start = std::chrono::steady_clock::now();
    sink.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(3000));
    std::string log = Joined(sink.TakeLogLines());
    EXPECT_NE(std::string::npos, log.find("3 events left in the spool")) << log;
  }
  settings.eventHooks = {Hook(box, "take", "cat >> " + box.Path("out"))};
  settings.concurrency = 1;  // oldest first, one at a time
  EventSink again(settings, EventMetrics());
  ASSERT_TRUE(again.Start(&error));
  Spool spool(box.Path("spool"), SpoolLimits());
  ASSERT_TRUE(WaitFor([&] { return spool.List().empty(); }));
  again.Stop();
  EXPECT_EQ(written, box.Read("out"));
}

TEST(EventSinkTest, SyncHookGetsThePasswordOnItsInputAndTheLogNever) {
  e2e::Sandbox box;
  EventSettings settings = Settings(box);
  settings.syncHooks = {Hook(box, "sync",
                             "read u; read d; read p\n"
                             "echo \"$u $d $p\" > " +
                                 box.Path("got") +
                                 "\n"
                                 "echo \"set $p for $u\"\n")};
  EventSink sink(settings, EventMetrics());
  std::string error;
  ASSERT_TRUE(sink.Start(&error));
  std::string password = "S3cret9";
  sink.OnSync("ALICE", "HOSTA", Secret(&password), "7");
  EXPECT_TRUE(password.empty());
  ASSERT_TRUE(
      WaitFor([&] { return box.Read("got") == "ALICE HOSTA S3cret9\n"; }));
  // Events are not spooled without -on-event hooks.
  sink.OnChange("ALICE", "HOSTA", 0, "", "", "7");
  sink.Stop();
  std::string log = Joined(sink.TakeLogLines());
  EXPECT_NE(std::string::npos, log.find("set **** for ALICE")) << log;
  EXPECT_EQ(std::string::npos, log.find("S3cret9")) << log;
  struct stat status;
  EXPECT_NE(0, stat(box.Path("spool").c_str(), &status));
}

TEST(EventSinkTest, UndeliveredSyncEventsAreNamedAtAStopWithoutThePassword) {
  e2e::Sandbox box;
  EventSettings settings = Settings(box);
  settings.syncHooks = {Hook(box, "hang", "sleep 30")};
  settings.concurrency = 1;
  EventSink sink(settings, EventMetrics());
  std::string error;
  ASSERT_TRUE(sink.Start(&error));
  for (const char* user : {"ALICE", "BOB"}) {
    std::string password = "Pw0rd1";
    sink.OnSync(user, "HOSTA", Secret(&password), user);
  }
  std::this_thread::sleep_for(milliseconds(100));
  sink.Stop();
  std::string log = Joined(sink.TakeLogLines());
  EXPECT_NE(std::string::npos,
            log.find("sync event for user ALICE at HOSTA (operation ALICE) "
                     "not delivered"))
      << log;
  EXPECT_NE(std::string::npos, log.find("user BOB at HOSTA")) << log;
  EXPECT_EQ(std::string::npos, log.find("Pw0rd1")) << log;
}

// An administrator's release, written by another process into the spool
// of a sink that runs, and into one that starts later: each delivered once.
TEST(EventSinkTest, EventsWrittenBesideTheSinkAreDelivered) {
  e2e::Sandbox box;
  EventSettings settings = Settings(box);
  settings.eventHooks = {Hook(box, "a", "cat >> " + box.Path("a.out"))};
  std::string error;
  ASSERT_TRUE(SpoolEventBeside(settings.spoolFolder, settings.spoolLimits,
                               ReleaseEvent("ALICE", "HOSTA", "administrator"),
                               &error))
      << error;
  Counters counters;
  EventSink sink(settings, counters.metrics);
  ASSERT_TRUE(sink.Start(&error)) << error;
  ASSERT_TRUE(
      WaitFor([&] { return counters.metrics.delivered->Value() == 1; }));
  ASSERT_TRUE(SpoolEventBeside(settings.spoolFolder, settings.spoolLimits,
                               ReleaseEvent("BOB", "HOSTB", "administrator"),
                               &error))
      << error;
  ASSERT_TRUE(
      WaitFor([&] { return counters.metrics.delivered->Value() == 2; }));
  sink.Stop();
  std::string text = box.Read("a.out");
  ASSERT_EQ(2, std::count(text.begin(), text.end(), '\n')) << text;
  nlohmann::json second = nlohmann::json::parse(text.substr(text.find('\n')));
  EXPECT_EQ("release", second["type"]);
  EXPECT_EQ("BOB", second["user"]);
  EXPECT_EQ("administrator", second["by"]);
  EXPECT_EQ("released", second["destinations"][0]["outcome"]);
  EXPECT_EQ(0, counters.metrics.written->Value());  // none of its own
  EXPECT_TRUE(Spool(box.Path("spool"), SpoolLimits()).List().empty());
  SpoolLimits full{0, 1000};
  EXPECT_FALSE(SpoolEventBeside(settings.spoolFolder, full,
                                ReleaseEvent("C", "H", "administrator"),
                                &error));
  EXPECT_NE(std::string::npos, error.find("is full")) << error;
}

// The change events of an operation of several parts reach a hook as one
// event naming each destination that answered: when all are in, when the
// window for the rest has passed, or at once after a verdict that spares
// the others.
TEST(EventSinkTest, ThePartsOfAnOperationAreHandedOnAsOne) {
  const int wrong = TARPON_RC_HOST_STATUS_BASE + 2;
  const struct {
    const char* what;
    int parts;
    std::vector<int> codes;  // one change event each
    int windowMs;
    std::vector<size_t> lines;  // destinations in each line the hook got
  } cases[] = {
      {"all in", 3, {0, 0, wrong}, 30000, {3}},
      {"one never came", 3, {0, 0}, 300, {2}},
      {"the first spares the rest", 3, {wrong}, 30000, {1}},
      {"alone", 0, {0, 0}, 30000, {1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::Sandbox box;
    EventSettings settings = Settings(box);
    settings.gatherWindow = milliseconds(c.windowMs);
    settings.eventHooks = {Hook(box, "a", "cat >> " + box.Path("a.out"))};
    Counters counters;
    EventSink sink(settings, counters.metrics);
    std::string error;
    ASSERT_TRUE(sink.Start(&error));
    for (size_t i = 0; i < c.codes.size(); ++i) {
      sink.OnChange("ALICE", "HOST" + std::to_string(i), c.codes[i], "", "",
                    "op-1", c.parts);
    }
    ASSERT_TRUE(WaitFor([&] {
      return counters.metrics.delivered->Value() ==
             static_cast<uint64_t>(c.codes.size());
    }));
    sink.Stop();
    std::string text = box.Read("a.out");
    std::vector<size_t> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
         at = end + 1) {
      nlohmann::json event = nlohmann::json::parse(text.substr(at, end - at));
      lines.push_back(event["destinations"].size());
      EXPECT_EQ("op-1", event["operation"]);
    }
    EXPECT_EQ(c.lines, lines) << text;
    EXPECT_TRUE(Spool(box.Path("spool"), SpoolLimits()).List().empty());
  }
}

// Parts left in the spool at a stop are handed on as one after a start.
TEST(EventSinkTest, ThePartsOfAnOperationStayOneOverARestart) {
  e2e::Sandbox box;
  EventSettings settings = Settings(box);
  settings.eventHooks = {Hook(box, "hang", "sleep 30")};
  std::string error;
  {
    EventSink sink(settings, EventMetrics());
    ASSERT_TRUE(sink.Start(&error));
    sink.OnChange("ALICE", "HOSTA", 0, "", "", "op-2", 2);
    sink.OnChange("ALICE", "HOSTB", 0, "", "", "op-2", 2);
    Spool spool(box.Path("spool"), SpoolLimits());
    ASSERT_TRUE(WaitFor([&] { return spool.List().size() == 2; }));
    sink.Stop();
  }
  settings.eventHooks = {Hook(box, "take", "cat >> " + box.Path("out"))};
  EventSink again(settings, EventMetrics());
  ASSERT_TRUE(again.Start(&error));
  Spool spool(box.Path("spool"), SpoolLimits());
  ASSERT_TRUE(WaitFor([&] { return spool.List().empty(); }));
  again.Stop();
  nlohmann::json event = nlohmann::json::parse(box.Read("out"));
  ASSERT_EQ(2u, event["destinations"].size());
  EXPECT_EQ("HOSTA", event["destinations"][0]["destination"]);
  EXPECT_EQ("HOSTB", event["destinations"][1]["destination"]);
  EXPECT_EQ(2, event["parts"]);
}

TEST(EventSinkTest, AFullSpoolDropsAndCountsWithoutWaiting) {
  e2e::Sandbox box;
  EventSettings settings = Settings(box);
  settings.spoolLimits.maxEvents = 2;
  settings.eventHooks = {Hook(box, "hang", "sleep 30")};
  Counters counters;
  EventSink sink(settings, counters.metrics);
  std::string error;
  ASSERT_TRUE(sink.Start(&error));
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) sink.OnHold("U", "H", 1, "", "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(100));
  ASSERT_TRUE(WaitFor([&] { return counters.metrics.dropped->Value() == 3; }));
  EXPECT_EQ(2, counters.metrics.written->Value());
  sink.Stop();
  EXPECT_NE(std::string::npos,
            Joined(sink.TakeLogLines()).find("is full (2 events)"));
}

}  // namespace
