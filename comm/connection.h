// A Connection is one TCP socket that carries records of the format named
// in comm/record_format.h, with blocking calls: it is a byte channel
// (comm/byte_channel.h: the plain socket, or TLS on it) plus a wait.
//
// Operations return COMM_OK (0), COMM_FAILED (8), COMM_BUFFER_TOO_SMALL (12)
// or COMM_NO_MEMORY (16) and never throw. The send and receive operations do
// not look at the state: callers test IsGood() before using a connection.
// A peer's close seen while receiving moves the connection to
// STATE_CONNECTION_CLOSED with REASON_SEND_FAILED; a status record 0 moves it
// to STATE_CONNECTION_CLOSED with the reason unchanged.
//
// With a TLS session (UseTls) every send and receive goes through it and
// the records travel inside TLS unchanged; the socket is then non-blocking
// and the connection waits for it itself, within the receive deadline.
//
// The connection owns its socket and closes it when destroyed; it cannot be
// copied. One thread at a time.
#ifndef TARPON_COMM_CONNECTION_H_
#define TARPON_COMM_CONNECTION_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "comm/comm_base.h"
#include "comm/record_format.h"

class TlsSession;

class Connection : public CommBase {
 public:
  static constexpr int NO_SOCKET = -2;
  static constexpr uint32_t RECORD_HEADER_LENGTH = record_format::kHeaderLength;
  // The largest record the 16-bit record length field describes.
  static constexpr uint32_t MAX_RECORD_LENGTH = record_format::kMaxRecordLength;
  // The most data one record carries.
  static constexpr uint32_t MAX_DATA_LENGTH = record_format::kMaxDataLength;
  static constexpr size_t USER_DATA_LENGTH = record_format::kUserDataLength;

  // Leaves STATE_INIT / REASON_OK, no socket, last external API rc -2.
  Connection();
  // Closes the socket.
  ~Connection() override;

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sets STATE_INIT / REASON_OK; returns 0. Called by the constructor.
  long Open();
  // Closes the socket once; returns 0, or -2 when there was none.
  long CloseSocket();

  // Sends one data record with the text, without its terminator. An empty
  // or null text gives 8.
  long SendRecord(const char* text);
  // Sends one data record carrying length bytes and the current user data.
  // A length of 0 or above MAX_DATA_LENGTH gives 8 and sends nothing; 16
  // when memory for the record runs out.
  long SendRecord(const char* data, uint32_t length);
  // Sends a status record.
  long SendStatus(uint8_t status);
  // Sends all length bytes, looping over partial sends; 8 for length 0.
  long SendData(const char* data, uint32_t length);

  // Store and read the record length field; GetRecordLength yields the data
  // length (record length minus 44, as an unsigned number). Both return 0.
  long SetRecordLength(char* header, uint32_t recordLength);
  long GetRecordLength(const char* header, uint32_t* dataLength);

  // Receives one record. For a data record the data go into buffer,
  // followed by a zero byte, and the record's user data replace ours.
  //
  // bufferLength counts the data bytes the buffer can take; the buffer must
  // hold one byte more for the terminator. A record with more data, or with
  // a record length field below 44, gives 12 without reading its data. A
  // bad version or an unknown type gives 8. A status record 0 gives 0 with
  // dataLength 0 and STATE_CONNECTION_CLOSED; any other status gives 8.
  // After 8 or 12 from a header that was read, the rest of the record stays
  // unread and the state is as it was. A data record refused with 12 for
  // its size leaves its data length in dataLength, so that the caller can
  // read and drop the data still waiting in the socket.
  long ReceiveRecord(char* buffer, uint32_t bufferLength, uint32_t* dataLength);
  // The bounded form for an array: takes at most N - 1 data bytes.
  template <size_t N>
  long ReceiveRecord(char (&buffer)[N], uint32_t* dataLength) {
    static_assert(N >= 1, "the buffer needs room for the terminator");
    return ReceiveRecord(buffer, static_cast<uint32_t>(N - 1), dataLength);
  }
  // Accepts any data record, so buffer MUST hold 65,492 bytes
  // (MAX_DATA_LENGTH and the terminator). Prefer the bounded forms.
  long ReceiveRecord(char* buffer);

  // Status 0: STATE_CONNECTION_CLOSED and 0; any other status: 8.
  long StatusReceived(uint8_t status);
  // Receives exactly dataLength bytes into buffer, looping over partial
  // receives, then stores a zero byte at buffer[dataLength]. 12 when
  // bufferLength is less than dataLength; the buffer holds bufferLength + 1.
  long ReceiveData(char* buffer, uint32_t bufferLength, uint32_t dataLength);

  // Copies exactly USER_DATA_LENGTH bytes from data.
  void SetUserData(const char* data);
  // The USER_DATA_LENGTH bytes of user data; terminated only if they hold a
  // zero byte.
  char* GetUserData();

  // One platform send; *bytesSent may be less than length. A peer that has
  // gone gives 8 (never a signal) with its error as last external API rc.
  long Send(const char* data, uint32_t length, uint32_t* bytesSent);
  // One platform receive. 0 bytes means the peer closed: state
  // STATE_CONNECTION_CLOSED, reason REASON_SEND_FAILED, result 8. An expired
  // receive timeout: STATE_ERROR, REASON_RECEIVE_TIMED_OUT, result 8.
  long Receive(char* buffer, uint32_t bufferLength, uint32_t* bytesReceived);

  // Sets the integer socket option optionName at optionLevel to 1; 8 if the
  // platform refuses. Records nothing: the caller does.
  long SetOneOption(int optionName, int optionLevel);
  // Makes every later receive give up after the given number of seconds
  // (0: wait without limit). 8 if the platform refuses, with its error as
  // last external API rc.
  long SetReceiveTimeout(int seconds);
  // Makes every later receive give up once the given number of seconds
  // have passed from now, however the data trickle in (0: no deadline):
  // the receive then ends like an expired receive timeout. Each receive
  // waits at most for the time that is left.
  void SetReceiveDeadline(int seconds);

  // Routes every later send and receive through session, which runs on
  // this connection's socket and has finished its handshake, and makes the
  // socket non-blocking. The session ends with the socket.
  void UseTls(std::unique_ptr<TlsSession> session);
  // The session in use, or nullptr.
  TlsSession* GetTls() const { return tls_.get(); }
  // Why TLS failed (REASON_TLS_FAILED), in one line; "" otherwise.
  const std::string& GetTlsFailure() const { return tlsFailure_; }

  // The dump to standard output, and to a stream.
  virtual void Print() const;
  virtual void Print(std::ostream& os) const;

  int GetSocket() const { return socket_; }
  // Data length of the last completed ReceiveData.
  uint32_t GetBytesReceived() const { return bytesReceived_; }

 protected:
  // Waits until the socket is ready for events (POLLIN or POLLOUT), at most
  // until the receive deadline; false when it passed.
  bool PollWithinDeadline(short events);
  // Before a connect under a deadline: limits the socket's send timeout
  // (SO_SNDTIMEO), which bounds a blocking connect, to the time left; false
  // when none is left.
  bool LimitConnectToDeadline();
  // A failed TLS operation: STATE_ERROR, REASON_TLS_FAILED, its reason
  // kept; result 8.
  long TlsFailed(const std::string& reason);
  // A failed socket call: STATE_ERROR, the reason and the platform's error;
  // result 8.
  long Fail(int reason, int error);
  // A receive that waited past its deadline or timeout: STATE_ERROR,
  // REASON_RECEIVE_TIMED_OUT, EAGAIN; result 8.
  long TimedOut();
  // Creates the object's TCP socket of family (AF_INET or AF_INET6). On
  // failure: STATE_ERROR, REASON_SOCKET_FAILED, the error recorded, result 8.
  long CreateSocket(int family);
  // The four connection lines of every dump.
  void PrintConnectionLines(std::ostream& os) const;
  // Stores the platform's last error as last external API rc.
  void RecordError(int error) { lastApiRc_ = error; }

  int socket_;
  uint32_t bytesReceived_;
  char userData_[USER_DATA_LENGTH];
  // The receive deadline on the steady clock in milliseconds; 0: none.
  int64_t receiveDeadlineMs_ = 0;
  std::unique_ptr<TlsSession> tls_;
  std::string tlsFailure_;
};

// The four connection lines of every dump, for an object with this status
// and socket.
void PrintConnectionLines(std::ostream& os, const CommBase& status, int socket);

// Writes the connection's dump (Client, Server and Listener included).
std::ostream& operator<<(std::ostream& os, const Connection& connection);

#endif  // TARPON_COMM_CONNECTION_H_
