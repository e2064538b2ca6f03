#include "sna/user_db.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <utility>

namespace sna {

namespace {

std::string Upper(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool ValidUser(const std::string& user) {
  if (user.empty() || user.size() > kMaxUserLength) return false;
  for (char c : user) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '@' && c != '#' &&
        c != '$') {
      return false;
    }
  }
  return true;
}

// Passwords already stored may hold any printable character but the blank
// and the comma, which separates the history.
bool ValidStoredPassword(const std::string& password) {
  if (password.empty() || password.size() > kMaxPasswordLength) return false;
  for (char c : password) {
    if (c <= ' ' || c > '~' || c == ',') return false;
  }
  return true;
}

std::vector<std::string> SplitBlanks(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool ParseFailures(const std::string& text, int* failures) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *failures = value;
  return true;
}

// Fills "*record" from the words of one line; on a fault returns false with
// "*error" set.
bool ParseRecord(const std::vector<std::string>& words, UserRecord* record,
                 std::string* error) {
  if (!ValidUser(words[0])) {
    *error = "bad user ID \"" + words[0] + "\"";
    return false;
  }
  record->user = Upper(words[0]);
  if (words.size() < 2) {
    *error = "no password for " + record->user;
    return false;
  }
  if (!ValidStoredPassword(words[1])) {
    *error = "bad password for " + record->user;
    return false;
  }
  record->password = words[1];
  bool seen_history = false;
  bool seen_failures = false;
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    bool duplicate = false;
    if (word == "expired") {
      duplicate = record->expired;
      record->expired = true;
    } else if (word == "revoked") {
      duplicate = record->revoked;
      record->revoked = true;
    } else if (word.compare(0, 8, "history=") == 0) {
      duplicate = seen_history;
      seen_history = true;
      std::string list = word.substr(8);
      size_t start = 0;
      while (true) {
        size_t comma = list.find(',', start);
        std::string entry =
            list.substr(start, comma == std::string::npos ? std::string::npos
                                                          : comma - start);
        if (!ValidStoredPassword(entry)) {
          *error = "bad history for " + record->user;
          return false;
        }
        record->history.push_back(entry);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (word.compare(0, 9, "failures=") == 0) {
      duplicate = seen_failures;
      seen_failures = true;
      if (!ParseFailures(word.substr(9), &record->failures)) {
        *error =
            "bad failure count \"" + word.substr(9) + "\" for " + record->user;
        return false;
      }
    } else {
      *error = "unknown attribute \"" + word + "\" for " + record->user;
      return false;
    }
    if (duplicate) {
      *error = "attribute \"" + word + "\" given twice for " + record->user;
      return false;
    }
  }
  return true;
}

std::string Describe(const char* what, const std::string& path) {
  return path + ": " + what + ": " + std::strerror(errno);
}

// Holds an exclusive lock on a file beside the database. The lock lives on
// its own file so that renaming a new database into place does not drop it.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  bool Acquire(const std::string& path, std::string* error) {
    std::string lock_path = path + ".lock";
    fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      *error = Describe("cannot open the lock file", lock_path);
      return false;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        *error = Describe("cannot lock", lock_path);
        return false;
      }
    }
    return true;
  }

 private:
  int fd_ = -1;
};

bool ReadWholeFile(const std::string& path, std::string* text,
                   std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Describe("cannot open", path);
    return false;
  }
  text->clear();
  char buffer[8192];
  while (true) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = Describe("cannot read", path);
      close(fd);
      return false;
    }
    if (got == 0) break;
    if (text->size() + static_cast<size_t>(got) > kMaxUserDatabaseBytes) {
      *error = path + ": larger than " + std::to_string(kMaxUserDatabaseBytes) +
               " bytes";
      close(fd);
      return false;
    }
    text->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// Writes "text" to a new file beside "path", flushes it and renames it over
// "path"; a crash at any moment leaves the old file or the new one.
bool ReplaceFile(const std::string& path, const std::string& text,
                 std::string* error) {
  std::string temp = path + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = Describe("cannot create a new file beside", path);
    return false;
  }
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  if (!ok) *error = Describe("cannot write", name.data());
  if (close(fd) != 0 && ok) {
    *error = Describe("cannot write", name.data());
    ok = false;
  }
  if (ok && rename(name.data(), path.c_str()) != 0) {
    *error = Describe("cannot replace", path);
    ok = false;
  }
  if (!ok) {
    unlink(name.data());
    return false;
  }
  // Make the rename itself durable.
  int dir = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace

UserRecord* UserDatabase::Find(const std::string& user) {
  std::string key = Upper(user);
  for (UserRecord& record : users) {
    if (record.user == key) return &record;
  }
  return nullptr;
}

bool ParseUserDatabase(const std::string& text, UserDatabase* database,
                       int* error_line, std::string* error) {
  *database = UserDatabase();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    database->lines.push_back(line);
    start = end + 1;
  }
  // The host reads the whole database for every request: a set of the IDs
  // seen keeps the duplicate test from growing with the square of the users.
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < database->lines.size(); ++i) {
    std::vector<std::string> words = SplitBlanks(database->lines[i]);
    if (words.empty() || words[0][0] == '#') continue;
    UserRecord record;
    record.line_index = i;
    if (!ParseRecord(words, &record, error)) {
      *error_line = static_cast<int>(i + 1);
      return false;
    }
    if (!seen.insert(record.user).second) {
      *error_line = static_cast<int>(i + 1);
      *error = "user " + record.user + " given twice";
      return false;
    }
    database->users.push_back(std::move(record));
  }
  return true;
}

std::string FormatUserLine(const UserRecord& record) {
  char head[32];
  std::snprintf(head, sizeof head, "%-9s %-9s", record.user.c_str(),
                record.password.c_str());
  std::string line = head;
  if (record.expired) line += " expired";
  if (record.revoked) line += " revoked";
  if (!record.history.empty()) {
    line += " history=";
    for (size_t i = 0; i < record.history.size(); ++i) {
      if (i > 0) line += ',';
      line += record.history[i];
    }
  }
  if (record.failures > 0) {
    line += " failures=" + std::to_string(record.failures);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string FormatUserDatabase(const UserDatabase& database) {
  std::vector<std::string> lines = database.lines;
  for (const UserRecord& record : database.users) {
    if (record.changed && record.line_index < lines.size()) {
      lines[record.line_index] = FormatUserLine(record);
    }
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

int UpdateUserDatabase(const std::string& path,
                       const std::function<bool(UserDatabase*)>& change,
                       std::string* error) {
  LockFile lock;
  if (!lock.Acquire(path, error)) return -1;
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return -1;
  UserDatabase database;
  int line = 0;
  std::string fault;
  if (!ParseUserDatabase(text, &database, &line, &fault)) {
    *error = path + ":" + std::to_string(line) + ": " + fault;
    return -1;
  }
  if (!change(&database)) return 0;
  if (!ReplaceFile(path, FormatUserDatabase(database), error)) return -1;
  return 0;
}

}  // namespace sna
