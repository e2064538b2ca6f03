#include "sna/regular_file.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// A stamp stands for its version only while nothing in the status differs
// and the change time lay far enough back when it was taken.
TEST(FileStampTest, SameVersionOnlyForASettledIdenticalStatus) {
  const struct timespec taken = {1000000, 500};
  struct stat base = {};
  base.st_dev = 3;
  base.st_ino = 77;
  base.st_size = 1732;
  base.st_mode = S_IFREG | 0600;
  base.st_mtim = {taken.tv_sec - 60, 123456789};
  base.st_ctim = {taken.tv_sec - 60, 123456789};
  struct Case {
    const char* what;
    std::function<void(struct stat*)> edit;  // of the status seen later
    time_t changedAgo;                       // seconds before "taken"
    bool same;
  };
  const Case cases[] = {
      {"unchanged, settled", [](struct stat*) {}, 60, true},
      {"unchanged, just settled", [](struct stat*) {}, sna::kSettleSeconds + 1,
       true},
      {"changed too recently", [](struct stat*) {}, sna::kSettleSeconds, false},
      {"changed in the future", [](struct stat*) {}, -5, false},
      {"other size", [](struct stat* s) { s->st_size += 1; }, 60, false},
      {"other inode", [](struct stat* s) { s->st_ino += 1; }, 60, false},
      {"other device", [](struct stat* s) { s->st_dev += 1; }, 60, false},
      {"other mode", [](struct stat* s) { s->st_mode |= 0040; }, 60, false},
      {"mtime, nanoseconds", [](struct stat* s) { s->st_mtim.tv_nsec += 1; },
       60, false},
      {"ctime, nanoseconds", [](struct stat* s) { s->st_ctim.tv_nsec += 1; },
       60, false},
      {"ctime, seconds", [](struct stat* s) { s->st_ctim.tv_sec += 1; }, 60,
       false},
  };
  for (const Case& c : cases) {
    struct stat kept = base;
    kept.st_ctim.tv_sec = taken.tv_sec - c.changedAgo;
    struct stat later = kept;
    c.edit(&later);
    EXPECT_EQ(c.same, sna::SameVersion(sna::StampOf(kept, taken), later))
        << c.what;
  }
}

}  // namespace
