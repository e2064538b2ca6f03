// The byte source and sink under a gateway session: a plain non-blocking
// socket today, and a TLS session later, which also needs a handshake
// before the first record. Every call returns at once.
#ifndef TARPON_GATEWAY_BYTE_CHANNEL_H_
#define TARPON_GATEWAY_BYTE_CHANNEL_H_

#include <cstddef>

enum class IoResult {
  kOk,          // bytes moved, or the handshake is complete
  kWouldBlock,  // nothing can move until the socket is ready again
  kClosed,      // the peer closed its side in order
  kFailed,      // the platform failed the call; GetError() tells why
};

class ByteChannel {
 public:
  virtual ~ByteChannel() = default;

  // One step of the handshake that precedes the records; kOk once it is
  // complete. WantsWrite() then tells which readiness the next step waits
  // for.
  virtual IoResult Handshake() = 0;
  // Reads at most length bytes into buffer; *received is set on kOk.
  virtual IoResult ReadSome(char* buffer, size_t length, size_t* received) = 0;
  // Writes at most length bytes; *sent is set on kOk.
  virtual IoResult WriteSome(const char* data, size_t length, size_t* sent) = 0;
  // True while the handshake waits for the socket to take bytes.
  virtual bool WantsWrite() const { return false; }

  // The platform's error number of the last kFailed.
  int GetError() const { return error_; }

 protected:
  int error_ = 0;
};

// A connected socket in non-blocking mode; the socket stays owned by its
// caller (the session's Server). Sends never raise SIGPIPE.
class PlainChannel : public ByteChannel {
 public:
  explicit PlainChannel(int socket) : socket_(socket) {}

  IoResult Handshake() override { return IoResult::kOk; }
  IoResult ReadSome(char* buffer, size_t length, size_t* received) override;
  IoResult WriteSome(const char* data, size_t length, size_t* sent) override;

 private:
  int socket_;
};

#endif  // TARPON_GATEWAY_BYTE_CHANNEL_H_
