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

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace sna {

constexpr size_t kMaxUserLength = 8;
constexpr size_t kMaxPasswordLength = 8;
constexpr int kMaxFailures = 99999;
constexpr size_t kMaxUserDatabaseBytes = 16 * 1024 * 1024;

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

struct UserDatabase {
  std::vector<std::string> lines;  // every line of the file, without its end
  std::vector<UserRecord> users;

  // The record of "user" (compared upper-cased), or null.
  UserRecord* Find(const std::string& user);
};

// Parses "text". Returns true on success; otherwise false with the 1-based
// line of the first fault in "*error_line" and its description in "*error".
bool ParseUserDatabase(const std::string& text, UserDatabase* database,
                       int* error_line, std::string* error);

// One record as a line of the file.
std::string FormatUserLine(const UserRecord& record);

// The whole file: unchanged lines as they were read, changed records
// rewritten, each line ended by a line feed.
std::string FormatUserDatabase(const UserDatabase& database);

// Reads the database at "path" under an exclusive lock (the file "path"
// with ".lock" appended), calls "change" on it and, when "change" returns
// true, writes the result to a new file beside it (mode 0600), flushes it
// to disk and renames it over the old one before the lock is released.
// Returns 0 on success; otherwise -1 with a one-line description naming the
// file (and the line for a parse fault) in "*error", and the file is left
// as it was.
int UpdateUserDatabase(const std::string& path,
                       const std::function<bool(UserDatabase*)>& change,
                       std::string* error);

}  // namespace sna

#endif  // TARPON_SNA_USER_DB_H_
