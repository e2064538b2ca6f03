// What one engine run tells the event sink: host answers only, holds from
// the guard's notes, and the new password for the sync hooks alone.
#include "gateway/gateway_events.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "contract/tarpon_rc.h"
#include "gateway/server_check.h"
#include "tests/support/e2e_support.h"

namespace {

TEST(GatewayEventsTest, OnlyAHostsAnswerIsAChange) {
  const struct {
    int rc;
    bool answer;
  } cases[] = {{TARPON_RC_OK, true},
               {TARPON_RC_HOST_STATUS_BASE + 2, true},
               {TARPON_RC_HOST_STATUS_BASE + 54, true},
               {TARPON_RC_HOST_FORMAT_ERROR, true},
               {TARPON_RC_HOST_REPLY_UNUSABLE, false},
               {TARPON_RC_ACCOUNT_HELD, false},
               {TARPON_RC_BAD_OPTION, false},
               {TARPON_RC_SNA_CALL_FAILED, false},
               {TARPON_RC_HOST_STATUS_BASE, false},
               {TARPON_RC_HOST_STATUS_BASE + 99, false}};
  for (const auto& c : cases) EXPECT_EQ(c.answer, IsHostAnswer(c.rc)) << c.rc;
}

TEST(GatewayEventsTest, ReadsTheGuardsHoldNotes) {
  const struct {
    const char* note;
    const char* user;  // null: not a hold note
    const char* destination;
    int seconds;
  } cases[] = {
      {"TARPON SERVER hold for user ALICE at HOSTA after failed sign-ons: "
       "changes held back for 60 seconds",
       "ALICE", "HOSTA", 60},
      {"TARPON SERVER hold for user B#1 at NETA.KSVHOST after failed "
       "sign-ons: changes held back for 3600 seconds",
       "B#1", "NETA.KSVHOST", 3600},
      {"TARPON SERVER hold for user ALICE at NETA.KSVHOST after failed "
       "sign-ons: changes held back until a success or a release",
       "ALICE", "NETA.KSVHOST", -1},
      {"TARPON SERVER hold for user ALICE at NETA.KSVHOST after failed "
       "sign-ons: changes but the owner's held back until a success or a "
       "release",
       "ALICE", "NETA.KSVHOST", -1},
      {"TARPON SERVER hold for user ALICE at HOSTA after failed sign-ons: "
       "changes but the owner's held back for 600 seconds",
       "ALICE", "HOSTA", 600},
      {"TARPON SERVER hold for user ALICE at HOSTA after failed sign-ons: "
       "changes held back for 0 seconds",
       nullptr, nullptr, 0},
      {"TARPON SERVER E0030 : user ALICE at HOSTA: changes held back for 60 "
       "seconds",
       nullptr, nullptr, 0},
      {"TARPON SERVER hold for user ALICE", nullptr, nullptr, 0},
      {"", nullptr, nullptr, 0},
  };
  for (const auto& c : cases) {
    std::string user, destination;
    int seconds = 0;
    bool read = ReadHoldNote(c.note, &user, &destination, &seconds);
    EXPECT_EQ(c.user != nullptr, read) << c.note;
    if (!read || c.user == nullptr) continue;
    EXPECT_EQ(c.user, user);
    EXPECT_EQ(c.destination, destination);
    EXPECT_EQ(c.seconds, seconds);
  }
}

TEST(GatewayEventsTest, ReadsTheGuardsReleaseNotes) {
  const struct {
    const char* note;
    const char* user;  // null: not a release note
    const char* destination;
  } cases[] = {
      {"TARPON SERVER hold for user ALICE at NETA.KSVHOST released by a "
       "change",
       "ALICE", "NETA.KSVHOST"},
      {"TARPON SERVER hold for user #0a1b at HOSTA released by a change",
       "#0a1b", "HOSTA"},
      {"TARPON SERVER hold for user ALICE at HOSTA after failed sign-ons: "
       "changes held back until a success or a release",
       nullptr, nullptr},
      {"TARPON SERVER hold for user  at HOSTA released by a change", nullptr,
       nullptr},
      {"TARPON SERVER hold for user ALICE released by a change", nullptr,
       nullptr},
      {"TARPON SERVER hold for user released by a change", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    std::string user, destination;
    bool read = ReadReleaseNote(c.note, &user, &destination);
    EXPECT_EQ(c.user != nullptr, read) << c.note;
    if (!read || c.user == nullptr) continue;
    EXPECT_EQ(c.user, user);
    EXPECT_EQ(c.destination, destination);
  }
}

bool WaitForFile(const e2e::Sandbox& box, const std::string& name,
                 size_t lines) {
  for (int i = 0; i < 500; ++i) {
    std::string text = box.Read(name);
    if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >=
        lines) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(GatewayEventsTest,
     AChangeMadeGoesToBothKindsOfHookAndAHoldToTheEventOnes) {
  e2e::Sandbox box;
  box.Write("event", "#!/bin/sh\ncat >> " + box.Path("events") + "\n");
  box.Write("sync", "#!/bin/sh\ncat >> " + box.Path("syncs") + "\n");
  chmod(box.Path("event").c_str(), 0700);
  chmod(box.Path("sync").c_str(), 0700);
  EventSettings settings;
  settings.spoolFolder = box.Path("spool");
  settings.eventHooks = {box.Path("event")};
  settings.syncHooks = {box.Path("sync")};
  settings.concurrency = 1;
  EventSink sink(settings, EventMetrics());
  std::string error;
  ASSERT_TRUE(sink.Start(&error)) << error;
  // What the conversation's job found, the new password kept for the sync.
  auto report = [](int operation) {
    EngineRunReport found;
    found.user = "ALICE";
    found.destination = "HOSTA";
    found.source = "10.0.0.1";
    found.operation = std::to_string(operation);
    std::string password = "NEW1";
    found.newPassword = Secret(&password);
    return found;
  };
  EngineRun changed;
  changed.returnCode = TARPON_RC_OK;
  changed.text = "\nPassword changed successfully.\n\n";
  changed.notes.push_back(
      "TARPON SERVER hold for user ALICE at NETA.KSVHOST released by a change");
  EngineRunReport first = report(7);
  ReportEngineRun(&sink, &first, changed);
  EXPECT_TRUE(first.newPassword.empty());  // taken by the sync
  EngineRun refused;
  refused.returnCode = TARPON_RC_HOST_STATUS_BASE + 2;
  refused.notes.push_back(
      "TARPON SERVER hold for user ALICE at HOSTA after failed sign-ons: "
      "changes held back for 60 seconds");
  EngineRunReport second = report(8);
  ReportEngineRun(&sink, &second, refused);
  EngineRun bad;  // never reached a host
  bad.returnCode = TARPON_RC_BAD_OPTION;
  EngineRunReport third = report(9);
  ReportEngineRun(&sink, &third, bad);
  ASSERT_TRUE(WaitForFile(box, "events", 4));
  ASSERT_TRUE(WaitForFile(box, "syncs", 3));
  sink.Stop();
  EXPECT_EQ("ALICE\nHOSTA\nNEW1\n", box.Read("syncs"));
  std::string events = box.Read("events");
  EXPECT_EQ(std::string::npos, events.find("NEW1"));
  EXPECT_EQ(std::string::npos, events.find("OLD1"));
  std::vector<nlohmann::json> parsed;
  for (size_t at = 0, end; (end = events.find('\n', at)) != std::string::npos;
       at = end + 1) {
    parsed.push_back(nlohmann::json::parse(events.substr(at, end - at)));
  }
  ASSERT_EQ(4u, parsed.size());
  // One hook at a time, oldest first: in the order they were made.
  EXPECT_EQ("changed", parsed[0]["destinations"][0]["outcome"]);
  EXPECT_EQ("7", parsed[0]["operation"]);
  EXPECT_EQ("10.0.0.1", parsed[0]["source"]);
  EXPECT_EQ("release", parsed[1]["type"]);
  EXPECT_EQ("change", parsed[1]["by"]);
  EXPECT_EQ("NETA.KSVHOST", parsed[1]["destinations"][0]["destination"]);
  EXPECT_EQ("7", parsed[1]["operation"]);
  EXPECT_EQ("refused", parsed[2]["destinations"][0]["outcome"]);
  EXPECT_EQ(2002, parsed[2]["destinations"][0]["returnCode"]);
  EXPECT_EQ("hold", parsed[3]["type"]);
  EXPECT_EQ(60, parsed[3]["destinations"][0]["seconds"]);
  EXPECT_EQ("8", parsed[3]["operation"]);
}

TEST(GatewayEventsTest, AnAdministratorsReleaseIsSpooledWhereEventsAreWanted) {
  const struct {
    bool hooks;   // -on-event named
    bool folder;  // the spool folder there
    const char* name;
    const char* user;  // null: no event
    const char* host;
  } cases[] = {
      {true, false, "ALICE@NETA.KSVHOST", "ALICE", "NETA.KSVHOST"},
      {false, true, "#0a1b2c", "#0a1b2c", ""},
      {false, false, "ALICE@HOSTA", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    e2e::Sandbox box;
    EventSettings settings;
    settings.spoolFolder = box.Path("spool");
    if (c.hooks) settings.eventHooks = {"/bin/true"};
    if (c.folder) mkdir(settings.spoolFolder.c_str(), 0700);
    std::string error;
    ASSERT_TRUE(SpoolReleaseEvent(settings, c.name, &error)) << error;
    std::vector<std::string> ids = Spool(settings.spoolFolder, {}).List();
    ASSERT_EQ(c.user != nullptr ? 1u : 0u, ids.size()) << c.name;
    if (c.user == nullptr) continue;
    nlohmann::json event =
        nlohmann::json::parse(box.Read("spool/" + ids[0] + ".json"));
    EXPECT_EQ("release", event["type"]);
    EXPECT_EQ(c.user, event["user"]);
    EXPECT_EQ(c.host, event["destinations"][0]["destination"]);
    EXPECT_EQ("administrator", event["by"]);
  }
}

TEST(GatewayEventsTest, CheckReportsTheSpoolAndEachHooksOwnCheck) {
  e2e::Sandbox box;
  box.Write("good", "#!/bin/sh\n[ \"$1\" = --check ] && echo all set\n");
  box.Write("bad", "#!/bin/sh\necho no config; exit 2\n");
  chmod(box.Path("good").c_str(), 0700);
  chmod(box.Path("bad").c_str(), 0700);
  mkdir(box.Path("spool").c_str(), 0700);
  mkdir(box.Path("spool/failed").c_str(), 0700);
  box.Write("spool/a.json", "{}");
  box.Write("spool/failed/b.json", "{}");
  const struct {
    std::string setting;
    CheckReport::Verdict verdict;
    const char* text;
  } cases[] = {
      {box.Path("good"), CheckReport::Verdict::kOk,
       "its check passed: all set"},
      {box.Path("bad"), CheckReport::Verdict::kFailed,
       "its check failed (exit 2): no config"},
      {box.Path("none"), CheckReport::Verdict::kFailed, "not run: "},
      {"spool:" + box.Path("spool"), CheckReport::Verdict::kWarning,
       "1 events waiting, 1 given up on"},
      {"spool:" + box.Path("new"), CheckReport::Verdict::kOk,
       "missing, made at the start"},
      {"spool:" + box.Path("good"), CheckReport::Verdict::kFailed,
       "not a folder"},
  };
  for (const auto& c : cases) {
    CheckReport report;
    if (c.setting.compare(0, 6, "spool:") == 0) {
      CheckSpool(c.setting.substr(6), &report);
    } else {
      CheckHooks({c.setting}, "-on-event", &report);
    }
    ASSERT_EQ(1u, report.GetLines().size()) << c.setting;
    EXPECT_EQ(c.verdict, report.GetLines()[0].verdict) << c.setting;
    EXPECT_NE(std::string::npos, report.GetLines()[0].text.find(c.text))
        << report.GetLines()[0].text;
  }
}

}  // namespace
