#include "sna/user_db.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "sna/regular_file.h"

namespace sna {

namespace {

// The new file a writer fills before renaming it over the database: the
// database's name, this, and mkstemp's six letters or digits.
const char kScratchInfix[] = ".scratch-";
constexpr size_t kScratchRandom = 6;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kOpenToOthers = 0077;
constexpr mode_t kPermissionBits = 07777;
constexpr int kMaxLinkHops = 40;               // as the kernel's own limit
constexpr size_t kRoomForARewrittenLine = 80;  // a guess, for reserve()

void UpperInPlace(std::string* text) {
  for (char& c : *text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

bool ValidUser(std::string_view user) {
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
bool ValidStoredPassword(std::string_view password) {
  if (password.empty() || password.size() > kMaxPasswordLength) return false;
  for (char c : password) {
    if (c <= ' ' || c > '~' || c == ',') return false;
  }
  return true;
}

// The blank-separated words of a line, one at a time, without copying.
class Words {
 public:
  explicit Words(std::string_view line) : line_(line) {}
  bool Next(std::string_view* word) {
    while (at_ < line_.size() && (line_[at_] == ' ' || line_[at_] == '\t')) {
      ++at_;
    }
    size_t start = at_;
    while (at_ < line_.size() && line_[at_] != ' ' && line_[at_] != '\t') {
      ++at_;
    }
    *word = line_.substr(start, at_ - start);
    return at_ > start;
  }

 private:
  std::string_view line_;
  size_t at_ = 0;
};

constexpr std::string_view kHistory = "history=";
constexpr std::string_view kFailures = "failures=";
constexpr size_t kMaxFailureDigits = 5;  // the digits of kMaxFailures

bool ParseFailures(std::string_view text, int* failures) {
  if (text.empty() || text.size() > kMaxFailureDigits) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *failures = value;
  return true;
}

std::string Quoted(std::string_view text) {
  std::string result = "\"";
  result.append(text.data(), text.size());
  result += '"';
  return result;
}

// Fills record->history from a "history=" word's comma-separated list;
// false when an entry is not a stored password.
bool ParseHistory(std::string_view list, UserRecord* record) {
  while (true) {
    size_t comma = list.find(',');
    std::string_view entry = list.substr(0, comma);
    if (!ValidStoredPassword(entry)) return false;
    record->history.emplace_back(entry.data(), entry.size());
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

// Which attributes a line has given so far.
struct SeenAttributes {
  bool history = false;
  bool failures = false;
};

// Takes one attribute word of a record; on a fault returns false with
// "*error" set.
bool ParseAttribute(std::string_view word, SeenAttributes* seen,
                    UserRecord* record, std::string* error) {
  bool duplicate = false;
  if (word == "expired") {
    duplicate = record->expired;
    record->expired = true;
  } else if (word == "revoked") {
    duplicate = record->revoked;
    record->revoked = true;
  } else if (word.substr(0, kHistory.size()) == kHistory) {
    duplicate = seen->history;
    seen->history = true;
    if (!ParseHistory(word.substr(kHistory.size()), record)) {
      *error = "bad history for " + record->user;
      return false;
    }
  } else if (word.substr(0, kFailures.size()) == kFailures) {
    duplicate = seen->failures;
    seen->failures = true;
    std::string_view count = word.substr(kFailures.size());
    if (!ParseFailures(count, &record->failures)) {
      *error = "bad failure count " + Quoted(count) + " for " + record->user;
      return false;
    }
  } else {
    // Not quoted: a password typed in the wrong place would reach logs.
    *error = "unknown attribute for " + record->user;
    return false;
  }
  if (duplicate) {
    *error = "attribute " + Quoted(word.substr(0, word.find('='))) +
             " given twice for " + record->user;
    return false;
  }
  return true;
}

// Fills "*record" from the words of one line, the first of which is
// "first"; on a fault returns false with "*error" set.
bool ParseRecord(std::string_view first, Words* words, UserRecord* record,
                 std::string* error) {
  if (!ValidUser(first)) {
    *error = "bad user ID " + Quoted(first);
    return false;
  }
  record->user.assign(first.data(), first.size());
  UpperInPlace(&record->user);
  std::string_view word;
  if (!words->Next(&word)) {
    *error = "no password for " + record->user;
    return false;
  }
  if (!ValidStoredPassword(word)) {
    *error = "bad password for " + record->user;
    return false;
  }
  record->password.assign(word.data(), word.size());
  SeenAttributes seen;
  while (words->Next(&word)) {
    if (!ParseAttribute(word, &seen, record, error)) return false;
  }
  return true;
}

// A user ID of at most eight characters as one number, for sorting.
uint64_t UserKey(const std::string& user) {
  uint64_t key = 0;
  for (char c : user) key = key << 8 | static_cast<unsigned char>(c);
  return key;
}

std::string Describe(const char* what, const std::string& path) {
  return path + ": " + what + ": " + std::strerror(errno);
}

using Clock = std::chrono::steady_clock;

// The longest pause between two attempts at a lock another process holds.
constexpr auto kLongestLockPause = std::chrono::milliseconds(25);

// One thread of this process at a time goes for the lock file; the others
// wait their turn until a deadline. (std::timed_mutex would do, but its
// steady-clock wait escapes ThreadSanitizer.)
class Turnstile {
 public:
  bool Enter(Clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!free_.wait_until(hold, deadline, [this] { return !busy_; })) {
      return false;
    }
    busy_ = true;
    return true;
  }
  void Leave() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      busy_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool busy_ = false;
};

// Holds an exclusive lock on a file beside the database. The lock lives on
// its own file so that renaming a new database into place does not drop it.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile() {
    if (fd_ >= 0) close(fd_);  // releases the lock
    if (holds_turn_) InProcess().Leave();
  }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Waits "wait" at most. Threads of this process take turns; the lock of
  // another process is polled for, as flock cannot time out.
  bool Acquire(const std::string& path, std::chrono::milliseconds wait,
               std::string* error) {
    const Clock::time_point deadline = Clock::now() + wait;
    const std::string lock_path = path + ".lock";
    // O_NOFOLLOW: a link planted in the lock file's place is never
    // followed to create or lock a file elsewhere.
    fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
               kFileMode);
    if (fd_ < 0) {
      *error = Describe("cannot open the lock file", lock_path);
      return false;
    }
    holds_turn_ = InProcess().Enter(deadline);
    auto pause = std::chrono::milliseconds(1);
    while (holds_turn_) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) {
        *error = Describe("cannot lock", lock_path);
        return false;
      }
      if (Clock::now() >= deadline) break;
      std::this_thread::sleep_until(std::min(Clock::now() + pause, deadline));
      pause = std::min(pause * 2, kLongestLockPause);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", wait.count() / 1000.0);
    *error = lock_path + ": still locked after " + seconds + " s";
    return false;
  }

 private:
  static Turnstile& InProcess() {
    static Turnstile* turnstile = new Turnstile();  // never freed
    return *turnstile;
  }

  int fd_ = -1;
  bool holds_turn_ = false;
};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Reads the database at "path" whole into "*text", with its status before
// the read in "*status"; refuses a file the group or others may access.
bool ReadWholeFile(const std::string& path, std::string* text,
                   struct stat* status, std::string* error) {
  int fd = OpenRegularFile(path, status, error);
  if (fd < 0) return false;
  if ((status->st_mode & kOpenToOthers) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o",
                  static_cast<unsigned>(status->st_mode & kPermissionBits));
    *error = path + ": mode " + mode +
             " lets the group or others read passwords: chmod 600 " + path;
    close(fd);
    return false;
  }
  ReadToEndResult result = ReadToEnd(fd, kMaxUserDatabaseBytes, text);
  if (result == ReadToEndResult::kFailed) {
    *error = Describe("cannot read", path);
  } else if (result == ReadToEndResult::kTooLarge) {
    *error = path + ": larger than " + std::to_string(kMaxUserDatabaseBytes) +
             " bytes";
  }
  close(fd);
  return result == ReadToEndResult::kOk;
}

// The file a chain of symbolic links at "path" ends in ("path" itself when
// it is no link), so that the database's lock, new file and rename happen
// beside the real file and the links stay links. "*found" tells whether
// "*status" holds the status of the file returned.
std::string FollowLinks(const std::string& path, struct stat* status,
                        bool* found) {
  std::string target = path;
  *found = false;
  for (int hops = 0; hops < kMaxLinkHops; ++hops) {
    if (lstat(target.c_str(), status) != 0) break;
    if (!S_ISLNK(status->st_mode)) {
      *found = true;
      break;
    }
    std::vector<char> link(static_cast<size_t>(PATH_MAX) + 1);
    ssize_t length = readlink(target.c_str(), link.data(), link.size() - 1);
    if (length < 0) break;
    std::string next(link.data(), static_cast<size_t>(length));
    if (next.empty()) break;
    if (next[0] != '/') next = DirectoryOf(target) + "/" + next;
    target = next;
  }
  return target;
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Whether "name" is "prefix" followed by exactly six letters or digits, as
// mkstemp fills them in.
bool IsScratchName(const char* name, const std::string& prefix) {
  if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return false;
  const char* random = name + prefix.size();
  size_t count = 0;
  for (; random[count] != '\0'; ++count) {
    if (count == kScratchRandom ||
        !std::isalnum(static_cast<unsigned char>(random[count]))) {
      return false;
    }
  }
  return count == kScratchRandom;
}

// A writer killed between creating its new file and renaming it leaves the
// file behind, holding password data. Called with the lock held, so no
// other writer is mid-write: every file of the scratch pattern that is a
// regular file of this user, mode 0600 and one link is such a leftover.
// Anything else (the database, a symbolic link, a hard link, a file
// someone made readable) is left alone.
void RemoveLeftoverScratchFiles(const std::string& path) {
  const std::string prefix = BaseNameOf(path) + kScratchInfix;
  DIR* dir = opendir(DirectoryOf(path).c_str());
  if (dir == nullptr) return;  // the write reports any real trouble
  const int dir_fd = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (!IsScratchName(entry->d_name, prefix)) continue;
    struct stat status;
    if (fstatat(dir_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        (status.st_mode & kPermissionBits) != kFileMode ||
        status.st_nlink != 1) {
      continue;
    }
    unlinkat(dir_fd, entry->d_name, 0);
  }
  closedir(dir);
}

// Writes "text" to a new file beside "path", flushes it and renames it over
// "path"; a crash at any moment leaves the old file or the new one.
bool ReplaceFile(const std::string& path, const std::string& text,
                 std::string* error) {
  RemoveLeftoverScratchFiles(path);
  std::string temp = path + kScratchInfix + std::string(kScratchRandom, 'X');
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = Describe("cannot create a new file beside", path);
    return false;
  }
  bool ok = fchmod(fd, kFileMode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
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

// The last database parsed successfully, with the path and the bytes it
// was parsed from. A request needs the database as the file is now: when
// the file still shows the settled stamp of those bytes, they are its
// bytes; otherwise it is read whole, and when the bytes are the same as
// last time, parsing them again would give this same result.
struct KeptDatabase {
  std::string path;
  std::string text;
  UserDatabase database;
};

struct ParsedDatabase {
  std::mutex mutex;
  std::shared_ptr<const KeptDatabase> kept;  // null: none yet
  FileStamp stamp;                           // of the file kept->text is
};

ParsedDatabase& LastParse() {
  static ParsedDatabase* last = new ParsedDatabase();  // lives as long as
  return *last;                                        // the process
}

std::atomic<uint64_t> parse_count{0};

}  // namespace

void UserLines::Assign(const std::string& text) {
  text_ = text;
  spans_.clear();
  spans_.reserve(
      static_cast<size_t>(std::count(text.begin(), text.end(), '\n') + 1));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t length = end - start;
    bool crlf = length > 0 && text[end - 1] == '\r' && end < text.size();
    if (length > 0 && text[end - 1] == '\r') --length;
    spans_.push_back(Span{start, length, crlf});
    start = end + 1;
  }
}

UserRecord* UserDatabase::Find(const std::string& user) {
  std::string key = user;
  UpperInPlace(&key);
  for (UserRecord& record : users) {
    if (record.user == key) return &record;
  }
  return nullptr;
}

bool ParseUserDatabase(const std::string& text, UserDatabase* database,
                       int* error_line, std::string* error) {
  database->lines.Assign(text);
  database->users.clear();
  database->users.reserve(database->lines.size());
  int fault_line = 0;
  std::string fault;
  for (size_t i = 0; i < database->lines.size(); ++i) {
    Words words(database->lines[i]);
    std::string_view first;
    if (!words.Next(&first) || first[0] == '#') continue;
    UserRecord record;
    record.line_index = i;
    if (!ParseRecord(first, &words, &record, &fault)) {
      fault_line = static_cast<int>(i + 1);
      break;
    }
    database->users.push_back(std::move(record));
  }
  // A user given twice is a fault on the line of the second record. The
  // host parses the database for every request it has not seen before, so
  // the search sorts the IDs once rather than comparing every pair.
  std::vector<std::pair<uint64_t, size_t>> keys;
  keys.reserve(database->users.size());
  for (size_t i = 0; i < database->users.size(); ++i) {
    keys.emplace_back(UserKey(database->users[i].user), i);
  }
  std::sort(keys.begin(), keys.end());
  size_t twice = database->users.size();
  for (size_t i = 1; i < keys.size(); ++i) {
    if (keys[i].first == keys[i - 1].first) {
      twice = std::min(twice, keys[i].second);
    }
  }
  // Records are parsed in line order up to the first faulty line, so a
  // repeated ID found among them comes before that line.
  if (twice < database->users.size()) {
    const UserRecord& record = database->users[twice];
    *error_line = static_cast<int>(record.line_index + 1);
    *error = "user " + record.user + " given twice";
    return false;
  }
  if (fault_line != 0) {
    *error_line = fault_line;
    *error = fault;
    return false;
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
  const UserLines& lines = database.lines;
  std::vector<const UserRecord*> rewritten(lines.size(), nullptr);
  size_t size = 0;
  for (size_t i = 0; i < lines.size(); ++i) size += lines[i].size() + 1;
  for (const UserRecord& record : database.users) {
    if (record.changed && record.line_index < lines.size()) {
      rewritten[record.line_index] = &record;
      size += kRoomForARewrittenLine;
    }
  }
  std::string text;
  text.reserve(size);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (rewritten[i] != nullptr) {
      text += FormatUserLine(*rewritten[i]);
    } else {
      text.append(lines[i].data(), lines[i].size());
    }
    text += lines.EndsInCrLf(i) ? "\r\n" : "\n";
  }
  return text;
}

namespace {

// The kept parse when "status" (of the file at "path") shows its settled
// stamp; otherwise null.
std::shared_ptr<const KeptDatabase> KeptIfCurrent(const std::string& path,
                                                  const struct stat& status) {
  if (!S_ISREG(status.st_mode) || (status.st_mode & kOpenToOthers) != 0) {
    return nullptr;
  }
  ParsedDatabase& last = LastParse();
  std::lock_guard<std::mutex> hold(last.mutex);
  if (last.kept == nullptr || last.kept->path != path ||
      !SameVersion(last.stamp, status)) {
    return nullptr;
  }
  return last.kept;
}

// The database at "path" as the file is now; null with "*error" set when
// it cannot be read or parsed.
std::shared_ptr<const KeptDatabase> CurrentDatabase(const std::string& path,
                                                    std::string* error) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0) {
    std::shared_ptr<const KeptDatabase> kept = KeptIfCurrent(path, status);
    if (kept != nullptr) return kept;
  }
  // Kept from call to call so that reading allocates nothing once the
  // buffer has grown to the file's size.
  thread_local std::string text;
  const struct timespec taken = StampClock();
  if (!ReadWholeFile(path, &text, &status, error)) return nullptr;
  ParsedDatabase& last = LastParse();
  {
    std::lock_guard<std::mutex> hold(last.mutex);
    if (last.kept != nullptr && last.kept->path == path &&
        last.kept->text == text) {
      last.stamp = StampOf(status, taken);
      return last.kept;
    }
  }
  ++parse_count;
  auto fresh = std::make_shared<KeptDatabase>();
  int line = 0;
  std::string fault;
  if (!ParseUserDatabase(text, &fresh->database, &line, &fault)) {
    *error = path + ":" + std::to_string(line) + ": " + fault;
    return nullptr;
  }
  fresh->path = path;
  fresh->text.swap(text);
  std::lock_guard<std::mutex> hold(last.mutex);
  last.kept = fresh;
  last.stamp = StampOf(status, taken);
  return fresh;
}

// Decides a request on "database"; returns whether the file is to change,
// and then, unless "text" is null, the new file in "*text".
using Decision =
    std::function<bool(const UserDatabase& database, std::string* text)>;

int Update(const std::string& link, const Decision& decide, std::string* error,
           std::chrono::milliseconds lock_wait) {
  struct stat status;
  bool found = false;
  const std::string path = FollowLinks(link, &status, &found);
  // A request that changes nothing is decided on the kept parse without the
  // lock when the file still shows the version it was parsed from: the
  // answer is the one the file gives at the moment of that look, as if the
  // request had had its turn then. Every write takes the lock and decides
  // again on the file as it is under the lock.
  if (found) {
    std::shared_ptr<const KeptDatabase> kept = KeptIfCurrent(path, status);
    if (kept != nullptr && !decide(kept->database, nullptr)) return 0;
  }
  LockFile lock;
  if (!lock.Acquire(path, lock_wait, error)) return -1;
  std::shared_ptr<const KeptDatabase> kept = CurrentDatabase(path, error);
  if (kept == nullptr) return -1;
  std::string text;
  if (!decide(kept->database, &text)) return 0;
  if (!ReplaceFile(path, text, error)) return -1;
  return 0;
}

}  // namespace

const UserRecord* UserDatabase::Find(const std::string& user) const {
  return const_cast<UserDatabase*>(this)->Find(user);
}

int UpdateUserDatabase(const std::string& link,
                       const std::function<bool(UserDatabase*)>& change,
                       std::string* error,
                       std::chrono::milliseconds lock_wait) {
  return Update(
      link,
      [&](const UserDatabase& database, std::string* text) {
        UserDatabase copy = database;
        if (!change(&copy)) return false;
        if (text != nullptr) *text = FormatUserDatabase(copy);
        return true;
      },
      error, lock_wait);
}

int UpdateUserRecord(const std::string& link, const std::string& user,
                     const std::function<bool(UserRecord*)>& change,
                     std::string* error, std::chrono::milliseconds lock_wait) {
  return Update(
      link,
      [&](const UserDatabase& database, std::string* text) {
        const UserRecord* found = database.Find(user);
        if (found == nullptr) {
          change(nullptr);
          return false;
        }
        UserRecord record = *found;
        if (!change(&record)) return false;
        if (text != nullptr) {
          UserDatabase copy = database;
          copy.users[static_cast<size_t>(found - database.users.data())] =
              std::move(record);
          *text = FormatUserDatabase(copy);
        }
        return true;
      },
      error, lock_wait);
}

uint64_t UserDatabaseParseCount() { return parse_count.load(); }

}  // namespace sna
