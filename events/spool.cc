#include "events/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include "comm/fd.h"

namespace {

const char kSuffix[] = ".json";
const char kTemporaryPrefix[] = ".tmp-";

std::string ErrorOf(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Makes folder with mode 0700 unless it is there; false with the reason.
bool MakeFolder(const std::string& folder, std::string* error) {
  if (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat status;
    if (stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      return true;
    }
    *error = folder + ": not a folder";
    return false;
  }
  *error = ErrorOf(folder, errno);
  return false;
}

// The names of folder's entries; false when it cannot be read.
bool Entries(const std::string& folder, std::vector<std::string>* names) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (dirent* entry = readdir(dir)) names->push_back(entry->d_name);
  closedir(dir);
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

bool SyncFolderAt(const std::string& folder) {
  Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && fsync(dir.get()) == 0;
}

}  // namespace

bool IsEventFileName(const std::string& name, std::string* id) {
  const size_t suffix = sizeof kSuffix - 1;
  if (name.size() <= suffix || name[0] == '.' ||
      name.compare(name.size() - suffix, suffix, kSuffix) != 0) {
    return false;
  }
  std::string base = name.substr(0, name.size() - suffix);
  for (char c : base) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' &&
        c != '_') {
      return false;
    }
  }
  *id = std::move(base);
  return true;
}

Spool::Spool(std::string folder, SpoolLimits limits)
    : folder_(std::move(folder)), limits_(limits) {}

bool Spool::Open(std::string* error) { return OpenAs(true, error); }

bool Spool::Join(std::string* error) { return OpenAs(false, error); }

bool Spool::OpenAs(bool owner, std::string* error) {
  if (!MakeFolder(folder_, error) || !MakeFolder(FailedFolder(), error)) {
    return false;
  }
  if (!Count(owner)) {
    *error = ErrorOf(folder_, errno);
    return false;
  }
  return true;
}

bool Spool::Recount() { return Count(false); }

bool Spool::Count(bool removeTemporaries) {
  std::vector<std::string> names;
  if (!Entries(folder_, &names)) return false;
  size_t depth = 0;
  uint64_t bytes = 0;
  for (const std::string& name : names) {
    std::string path = folder_ + "/" + name;
    std::string id;
    struct stat status;
    if (name.compare(0, sizeof kTemporaryPrefix - 1, kTemporaryPrefix) == 0) {
      if (removeTemporaries) unlink(path.c_str());
    } else if (IsEventFileName(name, &id) && stat(path.c_str(), &status) == 0 &&
               S_ISREG(status.st_mode)) {
      ++depth;
      bytes += static_cast<uint64_t>(status.st_size);
    }
  }
  MutexLock lock(&mutex_);
  depth_ = depth;
  bytes_ = bytes;
  return true;
}

Spool::WriteResult Spool::Write(const std::string& id, const std::string& bytes,
                                std::string* error, bool syncFolder) {
  {
    MutexLock lock(&mutex_);
    if (depth_ + 1 > limits_.maxEvents ||
        bytes_ + bytes.size() > limits_.maxBytes) {
      return WriteResult::kFull;
    }
    // Counted now, so that writes at once cannot pass the bounds together.
    ++depth_;
    bytes_ += bytes.size();
  }
  const std::string temporary = folder_ + "/" + kTemporaryPrefix + id;
  Fd file(
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  bool written = file && WriteAll(file.get(), bytes) && fsync(file.get()) == 0;
  int saved = errno;
  file.Reset();
  const bool renamed =
      written && rename(temporary.c_str(), PathOf(id).c_str()) == 0;
  if (renamed && (!syncFolder || SyncFolderAt(folder_))) {
    return WriteResult::kWritten;
  }
  if (written) saved = errno;
  unlink(renamed ? PathOf(id).c_str() : temporary.c_str());
  *error = ErrorOf(PathOf(id), saved);
  // A recount meanwhile may have left the counts below this write.
  MutexLock lock(&mutex_);
  if (depth_ > 0) --depth_;
  bytes_ = bytes_ > bytes.size() ? bytes_ - bytes.size() : 0;
  return WriteResult::kFailed;
}

bool Spool::SyncFolder(std::string* error) const {
  if (SyncFolderAt(folder_)) return true;
  *error = ErrorOf(folder_, errno);
  return false;
}

std::vector<std::string> Spool::List() const {
  std::vector<std::string> names;
  std::vector<std::string> ids;
  if (!Entries(folder_, &names)) return ids;
  for (const std::string& name : names) {
    std::string id;
    if (IsEventFileName(name, &id)) ids.push_back(std::move(id));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool Spool::Read(const std::string& id, std::string* bytes) const {
  Fd file(open(PathOf(id).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return false;
  bytes->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    // A file larger than the spool may hold was not written by it.
    if (bytes->size() + static_cast<size_t>(n) > limits_.maxBytes) return false;
    bytes->append(buffer, static_cast<size_t>(n));
  }
}

void Spool::Remove(const std::string& id) {
  Uncount(id);
  unlink(PathOf(id).c_str());
}

void Spool::GiveUp(const std::string& id) {
  Uncount(id);
  std::string target = FailedFolder() + "/" + id + kSuffix;
  if (rename(PathOf(id).c_str(), target.c_str()) != 0) {
    unlink(PathOf(id).c_str());
  }
}

void Spool::Uncount(const std::string& id) {
  struct stat status;
  if (stat(PathOf(id).c_str(), &status) != 0) return;
  MutexLock lock(&mutex_);
  if (depth_ > 0) --depth_;
  uint64_t size = static_cast<uint64_t>(status.st_size);
  bytes_ = bytes_ > size ? bytes_ - size : 0;
}

size_t Spool::GetDepth() const {
  MutexLock lock(&mutex_);
  return depth_;
}

uint64_t Spool::GetBytes() const {
  MutexLock lock(&mutex_);
  return bytes_;
}

std::string Spool::PathOf(const std::string& id) const {
  return folder_ + "/" + id + kSuffix;
}
