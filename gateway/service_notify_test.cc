// Unit tests of the journal's detection: JOURNAL_STREAM must name the
// descriptor's own device and inode, and nothing else.
#include "gateway/service_notify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

TEST(ServiceNotifyTest, KnowsTheJournalStreamByDeviceAndInode) {
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  struct stat status;
  ASSERT_EQ(0, fstat(pipeFds[1], &status));
  const std::string device = std::to_string(status.st_dev);
  const std::string inode = std::to_string(status.st_ino);
  struct Case {
    const char* value;  // null: unset
    std::string stream;
    bool journal;
  };
  const Case cases[] = {
      {"match", device + ":" + inode, true},
      {"another inode", device + ":" + std::to_string(status.st_ino + 1),
       false},
      {"another device", std::to_string(status.st_dev + 1) + ":" + inode,
       false},
      {"trailing text", device + ":" + inode + "x", false},
      {"no inode", device, false},
      {"empty", "", false},
      {nullptr, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "unset");
    if (c.value != nullptr) {
      setenv("JOURNAL_STREAM", c.stream.c_str(), 1);
    } else {
      unsetenv("JOURNAL_STREAM");
    }
    EXPECT_EQ(c.journal, IsJournalStream(pipeFds[1]));
  }
  unsetenv("JOURNAL_STREAM");
  close(pipeFds[0]);
  close(pipeFds[1]);
}

}  // namespace
