// The folder where events wait until every hook has had them: one file
// for each event, "<id>.json", holding the event's bytes as they were
// made. A file is written under a temporary name, synced, renamed to its
// own and the folder synced, so that a file under its own name is whole
// and survives a crash. Events that were given up on move to the folder's
// "failed" folder, where they stay for the administrator.
//
// The spool is bounded in files and bytes; a write past either bound is
// refused, never waited for. Safe from any thread.
#ifndef TARPON_EVENTS_SPOOL_H_
#define TARPON_EVENTS_SPOOL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "contract/thread_annotations.h"

struct SpoolLimits {
  size_t maxEvents = 10000;
  uint64_t maxBytes = 64u << 20;
};

class Spool {
 public:
  enum class WriteResult { kWritten, kFull, kFailed };

  Spool(std::string folder, SpoolLimits limits);

  // Makes the folder (and its "failed" folder, mode 0700) when missing,
  // removes temporary files a crash left and counts the events waiting;
  // false with the reason in *error when the folder cannot be used.
  bool Open(std::string* error);
  // The same for a writer beside the process that delivers the spool (an
  // administrator's command): the folder made when missing, the events
  // counted, nothing removed (a temporary file may be the other's write
  // under way).
  bool Join(std::string* error);
  // Counts the events again, those other processes wrote among them;
  // false when the folder cannot be read.
  bool Recount();
  // Writes bytes as the event id; kFull when a bound would be passed,
  // kFailed with the reason in *error when the file could not be written
  // and synced (nothing of it is left). Without syncFolder the file's name
  // is sure to survive a crash only after the next SyncFolder.
  WriteResult Write(const std::string& id, const std::string& bytes,
                    std::string* error, bool syncFolder = true);
  // Syncs the folder, so that the names of the files written are kept;
  // false with the reason in *error.
  bool SyncFolder(std::string* error) const;
  // The ids waiting, oldest first (ids sort as their events were made).
  std::vector<std::string> List() const;
  // The bytes of an event; false when it is not there.
  bool Read(const std::string& id, std::string* bytes) const;
  // Removes a delivered event.
  void Remove(const std::string& id);
  // Moves an event given up on to the "failed" folder.
  void GiveUp(const std::string& id);

  size_t GetDepth() const;
  uint64_t GetBytes() const;
  const std::string& GetFolder() const { return folder_; }
  std::string FailedFolder() const { return folder_ + "/failed"; }

 private:
  bool OpenAs(bool owner, std::string* error);
  bool Count(bool removeTemporaries);
  std::string PathOf(const std::string& id) const;
  // Takes id's file out of the counts, if it is counted.
  void Uncount(const std::string& id);

  const std::string folder_;
  const SpoolLimits limits_;
  mutable Mutex mutex_;
  size_t depth_ TARPON_GUARDED_BY(mutex_) = 0;
  uint64_t bytes_ TARPON_GUARDED_BY(mutex_) = 0;
};

// Whether name is an event file's name ("<id>.json", id of letters,
// digits, '.', '-' and '_'), and the id in *id.
bool IsEventFileName(const std::string& name, std::string* id);

#endif  // TARPON_EVENTS_SPOOL_H_
