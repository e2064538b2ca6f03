// The byte source and sink under a gateway session: a plain non-blocking
// socket, or a TLS session, which also needs a handshake before the first
// record. Every call returns at once.
#ifndef TARPON_GATEWAY_BYTE_CHANNEL_H_
#define TARPON_GATEWAY_BYTE_CHANNEL_H_

#include <cstddef>
#include <memory>
#include <string>

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
  // True while the last step that could not go on waits for the socket to
  // take bytes rather than to deliver them.
  virtual bool WantsWrite() const { return false; }
  // True when the channel has a handshake that a client may fail to make.
  virtual bool HasHandshake() const { return false; }
  // Why the handshake was refused, in one line; "" when the channel has no
  // handshake of its own to refuse.
  virtual std::string Refusal() const { return ""; }
  // What the completed handshake agreed, for the log: "TLSv1.3" and the
  // like, and the client certificate's subject; "" for a plain channel.
  virtual std::string Agreement() const { return ""; }
  // Ends the channel's own protocol after the last reply byte (TLS sends
  // its closing alert); the socket stays open.
  virtual void Close() {}

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

class TlsSession;

// TLS on a connected non-blocking socket, as a server; the socket stays
// owned by the session's Server.
class TlsChannel : public ByteChannel {
 public:
  explicit TlsChannel(std::unique_ptr<TlsSession> session);
  ~TlsChannel() override;

  IoResult Handshake() override;
  IoResult ReadSome(char* buffer, size_t length, size_t* received) override;
  IoResult WriteSome(const char* data, size_t length, size_t* sent) override;
  bool WantsWrite() const override { return wantsWrite_; }
  bool HasHandshake() const override { return true; }
  std::string Refusal() const override { return refusal_; }
  std::string Agreement() const override;
  void Close() override;

 private:
  // Maps a TlsSession result; a failure outside the handshake counts as a
  // reset connection.
  IoResult Outcome(int status, bool handshake);

  std::unique_ptr<TlsSession> session_;
  bool wantsWrite_ = false;
  std::string refusal_;
};

#endif  // TARPON_GATEWAY_BYTE_CHANNEL_H_
