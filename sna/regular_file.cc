#include "sna/regular_file.h"

namespace sna {

namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

struct timespec StampClock() {
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

FileStamp StampOf(const struct stat& status, const struct timespec& taken) {
  FileStamp stamp;
  stamp.device = status.st_dev;
  stamp.inode = status.st_ino;
  stamp.size = status.st_size;
  stamp.mode = status.st_mode;
  stamp.modified = status.st_mtim;
  stamp.changed = status.st_ctim;
  // A change time in the future (a clock set back) never settles.
  stamp.settled = status.st_ctim.tv_sec < taken.tv_sec - kSettleSeconds;
  return stamp;
}

bool SameVersion(const FileStamp& kept, const struct stat& status) {
  return kept.settled && kept.device == status.st_dev &&
         kept.inode == status.st_ino && kept.size == status.st_size &&
         kept.mode == status.st_mode &&
         SameTime(kept.modified, status.st_mtim) &&
         SameTime(kept.changed, status.st_ctim);
}

}  // namespace sna
