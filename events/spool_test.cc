// The spool: whole files under their own names, bounded, left by a crash
// as nothing or as a whole event.
#include "events/spool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/e2e_support.h"

namespace {

TEST(SpoolTest, WritesReadsListsAndRemoves) {
  e2e::Sandbox box;
  Spool spool(box.Path("spool"), SpoolLimits());
  std::string error;
  ASSERT_TRUE(spool.Open(&error)) << error;
  struct stat status;
  ASSERT_EQ(0, stat(box.Path("spool").c_str(), &status));
  EXPECT_EQ(0700u, status.st_mode & 0777);
  EXPECT_EQ(Spool::WriteResult::kWritten,
            spool.Write("b", "{\"n\":2}", &error));
  EXPECT_EQ(Spool::WriteResult::kWritten,
            spool.Write("a", "{\"n\":1}", &error));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), spool.List());
  EXPECT_EQ(2u, spool.GetDepth());
  EXPECT_EQ(14u, spool.GetBytes());
  std::string bytes;
  ASSERT_TRUE(spool.Read("b", &bytes));
  EXPECT_EQ("{\"n\":2}", bytes);
  ASSERT_EQ(0, stat(box.Path("spool/b.json").c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);
  spool.Remove("a");
  spool.GiveUp("b");
  EXPECT_TRUE(spool.List().empty());
  EXPECT_EQ(0u, spool.GetDepth());
  EXPECT_EQ("{\"n\":2}", box.Read("spool/failed/b.json"));
  EXPECT_FALSE(spool.Read("a", &bytes));
}

TEST(SpoolTest, RefusesPastEitherBound) {
  const struct {
    size_t maxEvents;
    uint64_t maxBytes;
    int written;  // of five events of ten bytes
  } cases[] = {{3, 1000, 3}, {100, 25, 2}, {0, 1000, 0}, {5, 50, 5}};
  for (const auto& c : cases) {
    e2e::Sandbox box;
    Spool spool(box.Path("s"), SpoolLimits{c.maxEvents, c.maxBytes});
    std::string error;
    ASSERT_TRUE(spool.Open(&error));
    int written = 0;
    for (int i = 0; i < 5; ++i) {
      auto result = spool.Write("e" + std::to_string(i), "0123456789", &error);
      if (result == Spool::WriteResult::kWritten) ++written;
      if (i >= c.written) {
        EXPECT_EQ(Spool::WriteResult::kFull, result);
      }
    }
    EXPECT_EQ(c.written, written) << c.maxEvents << " " << c.maxBytes;
    EXPECT_EQ(static_cast<size_t>(c.written), spool.List().size());
  }
}

TEST(SpoolTest, OpenCountsWhatWaitsAndDropsWhatACrashLeftHalfWritten) {
  e2e::Sandbox box;
  mkdir(box.Path("s").c_str(), 0700);
  box.Write("s/one.json", "12345");
  box.Write("s/.tmp-two", "half");
  box.Write("s/notes.txt", "not an event");
  Spool spool(box.Path("s"), SpoolLimits{2, 1000});
  std::string error;
  ASSERT_TRUE(spool.Open(&error));
  EXPECT_EQ(1u, spool.GetDepth());
  EXPECT_EQ(5u, spool.GetBytes());
  EXPECT_NE(0, access(box.Path("s/.tmp-two").c_str(), F_OK));
  EXPECT_EQ((std::vector<std::string>{"one"}), spool.List());
  // Counted: one more fits, two do not.
  EXPECT_EQ(Spool::WriteResult::kWritten, spool.Write("x", "1", &error));
  EXPECT_EQ(Spool::WriteResult::kFull, spool.Write("y", "1", &error));
}

TEST(SpoolTest, AFolderThatCannotBeUsedIsSaid) {
  e2e::Sandbox box;
  box.Write("file", "x");
  std::string error;
  EXPECT_FALSE(Spool(box.Path("file"), SpoolLimits()).Open(&error));
  EXPECT_NE(std::string::npos, error.find("not a folder")) << error;
  EXPECT_FALSE(Spool(box.Path("no/such/folder"), SpoolLimits()).Open(&error));
}

TEST(SpoolTest, EventFileNames) {
  const struct {
    const char* name;
    const char* id;  // null: not an event's
  } cases[] = {{"20261209T1.5Z-1-2.json", "20261209T1.5Z-1-2"},
               {"a_b.json", "a_b"},
               {".json", nullptr},
               {".tmp-x.json", nullptr},
               {"a b.json", nullptr},
               {"../x.json", nullptr},
               {"x.json.tmp", nullptr},
               {"x", nullptr}};
  for (const auto& c : cases) {
    std::string id;
    EXPECT_EQ(c.id != nullptr, IsEventFileName(c.name, &id)) << c.name;
    if (c.id != nullptr) {
      EXPECT_EQ(c.id, id);
    }
  }
}

}  // namespace
