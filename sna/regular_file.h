// Knowing one version of the node's files (configuration, user database)
// again by its status; they are opened through trace/regular_file.h.
#ifndef TARPON_SNA_REGULAR_FILE_H_
#define TARPON_SNA_REGULAR_FILE_H_

#include <sys/stat.h>
#include <time.h>

#include <string>

#include "trace/regular_file.h"

namespace sna {

// What stat tells of one version of a file: enough to know that version
// again without reading it, once the version has settled.
//
// Every write to a file sets its change time (ctime) from the clock, and
// nobody can set it back; a file renamed into place is another inode with
// a change time of its own. But change times come from a clock that ticks
// in milliseconds (seconds on some file systems), so a second edit within
// the same tick as the first, keeping the size, keeps the whole status.
// A version is therefore trusted only when its change time lay at least
// kSettleSeconds in the past when its status was taken: any later edit
// then gets a later change time. Until then the file is read again.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  mode_t mode = 0;
  struct timespec modified = {};
  struct timespec changed = {};
  bool settled = false;
};

// Longer than the coarsest time stamps of the file systems the node's files
// may live on (2 s) and the clock's tick.
constexpr time_t kSettleSeconds = 3;

// The clock as it was before a status was taken (CLOCK_REALTIME, the
// clock of the file time stamps).
struct timespec StampClock();

// The stamp of "status", taken no earlier than "taken".
FileStamp StampOf(const struct stat& status, const struct timespec& taken);

// Whether "status" shows the version "kept" stands for: "kept" has settled
// and every field is the same.
bool SameVersion(const FileStamp& kept, const struct stat& status);

}  // namespace sna

#endif  // TARPON_SNA_REGULAR_FILE_H_
