#include "comm/byte_channel.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "contract/error_text.h"

IoResult ByteChannel::SystemFailure(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return IoResult::kWouldBlock;
  error_ = error;
  failure_ = std::string("connection failed (") + ErrorText(error) + ")";
  return IoResult::kFailed;
}

IoResult PlainChannel::ReadSome(char* buffer, size_t length, size_t* received) {
  ssize_t n;
  do {
    n = recv(socket_, buffer, length, 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return IoResult::kClosed;
  if (n < 0) return SystemFailure(errno);
  *received = static_cast<size_t>(n);
  return IoResult::kOk;
}

IoResult PlainChannel::WriteSome(const char* data, size_t length,
                                 size_t* sent) {
  ssize_t n;
  // MSG_NOSIGNAL: a peer that has gone gives EPIPE instead of a signal that
  // would end the process.
  do {
    n = send(socket_, data, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return SystemFailure(errno);
  *sent = static_cast<size_t>(n);
  return IoResult::kOk;
}
