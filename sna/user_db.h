// The host's user database: one user a line, "#" comment lines, fields
// separated by blanks:
//
//   ALICE     SECRET1
//   BOB       PASSW0RD  expired
//   DAVE      NEWONE    history=OLDONE,OLDER failures=1 revoked
//
// The parser and formatter work on text alone; UpdateUserDatabase adds the
// file handling (exclusive lock, atomic replace).
#ifndef TARPON_SNA_USER_DB_H_
#define TARPON_SNA_USER_DB_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sna {

constexpr size_t kMaxUserLength = 8;
constexpr size_t kMaxPasswordLength = 8;
constexpr int kMaxFailures = 99999;
constexpr size_t kMaxUserDatabaseBytes = 16 * 1024 * 1024;
// How long UpdateUserDatabase waits for a lock someone else holds.
constexpr std::chrono::milliseconds kUserDatabaseLockWait{5000};

struct UserRecord {
  std::string user;  // upper-cased
  std::string password;
  bool expired = false;
  bool revoked = false;
  std::vector<std::string> history;  // newest first
  int failures = 0;
  size_t line_index = 0;  // the record's line in UserDatabase::lines
  bool changed = false;   // set by whoever modifies the record
};

// Every line of the file, without its end (a line feed, and a carriage
// return before it), kept in one text: a copy costs two allocations
// whatever the number of lines. Whether a line ended in a carriage return
// and a line feed is kept, so that a rewrite keeps each line's end.
class UserLines {
 public:
  // Replaces the lines with those of "text".
  void Assign(const std::string& text);
  size_t size() const { return spans_.size(); }
  bool empty() const { return spans_.empty(); }
  // The line at "index" (below size()); valid until the next Assign.
  std::string_view operator[](size_t index) const {
    return std::string_view(text_.data() + spans_[index].begin,
                            spans_[index].length);
  }
  bool EndsInCrLf(size_t index) const { return spans_[index].crlf; }

 private:
  struct Span {
    size_t begin;
    size_t length;
    bool crlf;
  };
  std::string text_;
  std::vector<Span> spans_;
};

struct UserDatabase {
  UserLines lines;
  std::vector<UserRecord> users;

  // The record of "user" (compared upper-cased), or null.
  UserRecord* Find(const std::string& user);
  const UserRecord* Find(const std::string& user) const;
};

// Parses "text". Returns true on success; otherwise false with the 1-based
// line of the first fault in "*error_line" and its description in "*error".
bool ParseUserDatabase(const std::string& text, UserDatabase* database,
                       int* error_line, std::string* error);

// One record as a line of the file.
std::string FormatUserLine(const UserRecord& record);

// The whole file: unchanged lines as they were read, changed records
// rewritten, each line ended as it was (a carriage return and a line feed,
// or a line feed, also after a last line that had no end).
std::string FormatUserDatabase(const UserDatabase& database);

// Reads the database at "path" under an exclusive lock (the file "path"
// with ".lock" appended), calls "change" on it and, when "change" returns
// true, writes the result to a new file beside it ("path" with ".scratch-"
// and six letters or digits appended, mode 0600), flushes it to disk and
// renames it over the old one before the lock is released. When "path" is
// a symbolic link (or a chain of them), all of this happens to the file the
// link leads to, beside that file; a lock file that is a symbolic link is
// never followed.
// Returns 0 on success; otherwise -1 with a one-line description naming the
// file (and the line for a parse fault) in "*error", and the file is left
// as it was. Faults besides those of reading, parsing and writing: the lock
// still held by someone else after "lock_wait", the database not a regular
// file (refused at once, also a FIFO without a writer), and a database that
// the group or others may access (the description names "chmod 600").
//
// The last successful parse is kept with the bytes it came from and the
// file's status (regular_file.h's FileStamp). While the file still shows
// that settled status, "change" first gets a copy of the kept parse
// without the lock: when it asks for no write, that is the answer, as if
// the request had had its turn at that moment. Otherwise the lock is taken
// and "change" is called again (on a fresh copy of the database as it is
// under the lock): only a call under the lock is ever written. Under the
// lock the file is read whole unless it shows the settled status, and bytes
// equal to those of the kept parse are not parsed again. A file that fails
// to parse is parsed, and its fault reported, every time. Before writing,
// the new files of writers killed mid-write are removed: names of that
// exact pattern that are regular files of this user with mode 0600 and one
// link. Safe to call from several threads; those of one process take turns
// before the lock file, within the same "lock_wait".
int UpdateUserDatabase(
    const std::string& path, const std::function<bool(UserDatabase*)>& change,
    std::string* error,
    std::chrono::milliseconds lock_wait = kUserDatabaseLockWait);

// As UpdateUserDatabase for one user's record: "change" gets a copy of the
// record of "user" (null when there is none; then nothing is written), and
// when it returns true that copy replaces the record in the file. Only the
// record is copied for the call, not the database.
int UpdateUserRecord(
    const std::string& path, const std::string& user,
    const std::function<bool(UserRecord*)>& change, std::string* error,
    std::chrono::milliseconds lock_wait = kUserDatabaseLockWait);

// How many times UpdateUserDatabase and UpdateUserRecord have parsed a
// file's bytes in this process (the bytes differed from the last successful
// parse).
uint64_t UserDatabaseParseCount();

}  // namespace sna

#endif  // TARPON_SNA_USER_DB_H_
