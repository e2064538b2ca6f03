// Reading the node's own files (configuration, user database) without
// hanging on a FIFO or a device named in their place.
#ifndef TARPON_SNA_REGULAR_FILE_H_
#define TARPON_SNA_REGULAR_FILE_H_

#include <sys/stat.h>

#include <string>

namespace sna {

// Opens "path" for reading (close-on-exec) without blocking, and accepts
// only a regular file: a FIFO, a device or a folder is refused at once.
// Returns the descriptor, with the file's status in "*status"; otherwise
// -1 with "*error" set to "<path>: cannot open: <reason>" or
// "<path>: not a regular file".
int OpenRegularFile(const std::string& path, struct stat* status,
                    std::string* error);

}  // namespace sna

#endif  // TARPON_SNA_REGULAR_FILE_H_
