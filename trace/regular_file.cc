#include "trace/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int OpenRegularFile(const std::string& path, struct stat* status,
                    std::string* error, bool* notRegular) {
  if (notRegular != nullptr) *notRegular = false;
  // O_NONBLOCK: opening a FIFO without a writer would wait for one.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *error = path + ": cannot open: " + std::strerror(errno);
    return -1;
  }
  if (fstat(fd, status) != 0) {
    *error = path + ": cannot open: " + std::strerror(errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(status->st_mode)) {
    *error = path + ": not a regular file";
    if (notRegular != nullptr) *notRegular = true;
    close(fd);
    return -1;
  }
  return fd;
}

ReadToEndResult ReadToEnd(int fd, size_t maxBytes, std::string* text) {
  text->clear();
  char buffer[8192];
  while (true) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ReadToEndResult::kFailed;
    if (got == 0) return ReadToEndResult::kOk;
    if (text->size() + static_cast<size_t>(got) > maxBytes) {
      return ReadToEndResult::kTooLarge;
    }
    text->append(buffer, static_cast<size_t>(got));
  }
}
