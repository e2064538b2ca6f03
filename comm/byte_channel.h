// The bytes under a connection's records: a plain socket, or a TLS session
// (comm/tls.h) on one, which also needs a handshake before the first
// record. Each call is one step: on a non-blocking socket it returns at once
// with kWouldBlock when the socket is not ready, and WantsWrite() tells
// which readiness to wait for; the waiting is the caller's (a blocking
// Connection polls, the gateway's event loop watches).
//
// A channel never closes its socket: the socket's owner does.
#ifndef TARPON_COMM_BYTE_CHANNEL_H_
#define TARPON_COMM_BYTE_CHANNEL_H_

#include <cstddef>
#include <memory>
#include <string>

enum class IoResult {
  kOk,          // bytes moved, or the handshake is complete
  kWouldBlock,  // nothing can move until the socket is ready again
  kClosed,      // the peer closed its side in order
  kFailed,      // the call failed; GetError() and Failure() tell why
};

class ByteChannel {
 public:
  virtual ~ByteChannel() = default;

  // One step of the handshake that precedes the records; kOk once it is
  // complete (at once for a channel without one).
  virtual IoResult Handshake() = 0;
  // Reads at most length bytes (above 0) into buffer; *received is set on
  // kOk and is then above 0.
  virtual IoResult ReadSome(char* buffer, size_t length, size_t* received) = 0;
  // Writes at most length bytes (above 0); *sent is set on kOk.
  virtual IoResult WriteSome(const char* data, size_t length, size_t* sent) = 0;
  // True while the last step that could not go on waits for the socket to
  // take bytes rather than to deliver them.
  virtual bool WantsWrite() const { return false; }
  // True when the channel has a handshake that a peer may fail to make.
  virtual bool HasHandshake() const { return false; }
  // What the completed handshake agreed, for the log: "TLSv1.3" and the
  // like, and the peer certificate's subject; "" for a plain channel.
  virtual std::string Agreement() const { return ""; }
  // Ends the channel's own protocol after the last byte (TLS sends its
  // closing alert); the socket stays open.
  virtual void Close() {}

  // The platform's error number of the last kFailed; 0 when the channel's
  // own protocol failed (then Failure() says why).
  int GetError() const { return error_; }
  // Why the last kFailed happened, in one line.
  const std::string& Failure() const { return failure_; }

 protected:
  // Records the platform's error of a failed call: kWouldBlock for the
  // errors that mean "not ready", else kFailed.
  IoResult SystemFailure(int error);

  int error_ = 0;
  std::string failure_;
};

// A connected socket, blocking or not. Sends never raise SIGPIPE.
//
// With readAhead, each read from the socket takes what has arrived, up to
// kReadAhead bytes, and ReadSome hands it out from there: a request of a
// few records costs one read, not one a record. Look shows the first bytes
// without taking them. A close or a failure met while reading ahead is
// reported once the bytes before it are taken. Bytes held are wiped as
// they are handed out and when the channel ends: they may carry a password.
class PlainChannel : public ByteChannel {
 public:
  static constexpr size_t kReadAhead = 512;

  explicit PlainChannel(int socket, bool readAhead = false);
  ~PlainChannel() override;

  IoResult Handshake() override { return IoResult::kOk; }
  IoResult ReadSome(char* buffer, size_t length, size_t* received) override;
  IoResult WriteSome(const char* data, size_t length, size_t* sent) override;

  // With readAhead: reads until at least length bytes (at most kReadAhead)
  // are held or the socket has no more for now, and shows what is held
  // (*seen, *count); kOk while bytes are held, else what the read gave.
  IoResult Look(size_t length, const char** seen, size_t* count);
  // True once reading ahead met the close or a failure: no more bytes come.
  bool HasEnded() const { return ended_ != IoResult::kOk; }

 private:
  // Reads what the socket has into the free end of the buffer.
  IoResult Fill();

  int socket_;
  bool readAhead_;
  std::unique_ptr<char[]> ahead_;  // kReadAhead bytes, from the first read
  size_t begin_ = 0;               // the held bytes: [begin_, end_)
  size_t end_ = 0;
  IoResult ended_ = IoResult::kOk;  // a close or failure met reading ahead
};

#endif  // TARPON_COMM_BYTE_CHANNEL_H_
