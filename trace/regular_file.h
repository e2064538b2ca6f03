// Reading a file that configuration names (the node's configuration, the
// user database, a services file) without hanging on a FIFO or a device
// named in its place, and without growing without bound.
#ifndef TARPON_TRACE_REGULAR_FILE_H_
#define TARPON_TRACE_REGULAR_FILE_H_

#include <sys/stat.h>

#include <cstddef>
#include <string>

// Opens "path" for reading (close-on-exec) without blocking, and accepts
// only a regular file: a FIFO, a device or a folder is refused at once.
// Returns the descriptor, with the file's status in "*status"; otherwise
// -1 with "*error" set to "<path>: cannot open: <reason>" or
// "<path>: not a regular file", and "*notRegular" (when given) telling
// the second case from the first.
int OpenRegularFile(const std::string& path, struct stat* status,
                    std::string* error, bool* notRegular = nullptr);

enum class ReadToEndResult { kOk, kTooLarge, kFailed };

// Reads "fd" to its end into "*text" (replacing it), refusing more than
// "maxBytes"; kFailed leaves errno as the read set it. Does not close "fd".
ReadToEndResult ReadToEnd(int fd, size_t maxBytes, std::string* text);

#endif  // TARPON_TRACE_REGULAR_FILE_H_
