#include "gateway/byte_channel.h"

#include <sys/socket.h>

#include <cerrno>

namespace {

IoResult Failure(int error, int* stored) {
  if (error == EAGAIN || error == EWOULDBLOCK) return IoResult::kWouldBlock;
  *stored = error;
  return IoResult::kFailed;
}

}  // namespace

IoResult PlainChannel::ReadSome(char* buffer, size_t length, size_t* received) {
  ssize_t n;
  do {
    n = recv(socket_, buffer, length, 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return IoResult::kClosed;
  if (n < 0) return Failure(errno, &error_);
  *received = static_cast<size_t>(n);
  return IoResult::kOk;
}

IoResult PlainChannel::WriteSome(const char* data, size_t length,
                                 size_t* sent) {
  ssize_t n;
  do {
    n = send(socket_, data, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Failure(errno, &error_);
  *sent = static_cast<size_t>(n);
  return IoResult::kOk;
}
