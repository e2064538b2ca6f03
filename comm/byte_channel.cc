#include "comm/byte_channel.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "contract/error_text.h"
#include "contract/secret.h"

IoResult ByteChannel::SystemFailure(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return IoResult::kWouldBlock;
  error_ = error;
  failure_ = std::string("connection failed (") + ErrorText(error) + ")";
  return IoResult::kFailed;
}

PlainChannel::PlainChannel(int socket, bool readAhead)
    : socket_(socket), readAhead_(readAhead) {}

PlainChannel::~PlainChannel() {
  if (ahead_) WipeBytes(ahead_.get(), end_);
}

IoResult PlainChannel::Fill() {
  if (ended_ != IoResult::kOk) return ended_;
  if (begin_ == end_) begin_ = end_ = 0;
  if (end_ == kReadAhead) return IoResult::kOk;
  // The buffer is made once bytes come: a connection that sends none
  // holds none.
  char first[kReadAhead];
  char* into = ahead_ ? ahead_.get() + end_ : first;
  ssize_t n;
  do {
    n = recv(socket_, into, kReadAhead - end_, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    if (!ahead_) {
      ahead_ = std::make_unique<char[]>(kReadAhead);
      std::memcpy(ahead_.get(), first, static_cast<size_t>(n));
      WipeBytes(first, static_cast<size_t>(n));
    }
    end_ += static_cast<size_t>(n);
    return IoResult::kOk;
  }
  IoResult result = n == 0 ? IoResult::kClosed : SystemFailure(errno);
  if (result != IoResult::kWouldBlock) ended_ = result;
  return result;
}

IoResult PlainChannel::Look(size_t length, const char** seen, size_t* count) {
  if (length > kReadAhead) length = kReadAhead;
  IoResult result = IoResult::kOk;
  if (end_ - begin_ < length) {
    if (begin_ > 0) {
      std::memmove(ahead_.get(), ahead_.get() + begin_, end_ - begin_);
      WipeBytes(ahead_.get() + (end_ - begin_), begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    while (end_ < length && (result = Fill()) == IoResult::kOk) {
    }
  }
  *seen = ahead_ ? ahead_.get() + begin_ : nullptr;
  *count = end_ - begin_;
  return *count > 0 ? IoResult::kOk : result;
}

IoResult PlainChannel::ReadSome(char* buffer, size_t length, size_t* received) {
  if (readAhead_) {
    if (begin_ == end_) {
      IoResult result = Fill();
      if (result != IoResult::kOk) return result;
    }
    size_t count = std::min(length, end_ - begin_);
    std::memcpy(buffer, ahead_.get() + begin_, count);
    WipeBytes(ahead_.get() + begin_, count);
    begin_ += count;
    *received = count;
    return IoResult::kOk;
  }
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
