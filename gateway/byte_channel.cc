#include "gateway/byte_channel.h"

#include <sys/socket.h>

#include <cerrno>

#include "comm/tls.h"

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

TlsChannel::TlsChannel(std::unique_ptr<TlsSession> session)
    : session_(std::move(session)) {}

TlsChannel::~TlsChannel() = default;

IoResult TlsChannel::Outcome(int status, bool handshake) {
  wantsWrite_ = status == TlsSession::TLS_WANT_WRITE;
  switch (status) {
    case TlsSession::TLS_DONE:
      return IoResult::kOk;
    case TlsSession::TLS_WANT_READ:
    case TlsSession::TLS_WANT_WRITE:
      return IoResult::kWouldBlock;
    case TlsSession::TLS_CLOSED:
      return IoResult::kClosed;
    default:
      if (handshake) {
        refusal_ = session_->Failure();
      } else {
        error_ = ECONNRESET;
      }
      return IoResult::kFailed;
  }
}

IoResult TlsChannel::Handshake() {
  return Outcome(session_->Handshake(), true);
}

IoResult TlsChannel::ReadSome(char* buffer, size_t length, size_t* received) {
  return Outcome(session_->Read(buffer, length, received), false);
}

IoResult TlsChannel::WriteSome(const char* data, size_t length, size_t* sent) {
  return Outcome(session_->Write(data, length, sent), false);
}

std::string TlsChannel::Agreement() const {
  std::string text = session_->Protocol();
  std::string subject = session_->PeerSubject();
  if (!subject.empty()) text += ", client " + subject;
  return text;
}

void TlsChannel::Close() { session_->Shutdown(); }
