#include "sna/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sna {

int OpenRegularFile(const std::string& path, struct stat* status,
                    std::string* error) {
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
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace sna
