// CommBase holds what every communication object reports and prints: its
// state, the reason for it, and the error code the sockets library gave for
// the last failed socket call the object recorded. The codes and their
// printable names are those of Connection and its subclasses (Address has
// its own, partly under the same names with other values).
#ifndef TARPON_COMM_COMM_BASE_H_
#define TARPON_COMM_COMM_BASE_H_

class CommBase {
 public:
  // State codes.
  static constexpr int STATE_GOOD = 0;
  static constexpr int STATE_INTERRUPT = 1;
  static constexpr int STATE_RESET = 2;
  static constexpr int STATE_INIT = 3;
  static constexpr int STATE_LISTENING = 4;
  static constexpr int STATE_BOUND = 5;
  static constexpr int STATE_DATA = 6;
  static constexpr int STATE_ERROR = 7;
  static constexpr int STATE_CONNECTION_CLOSED = 8;
  static constexpr int STATE_ALLOCATED = 9;

  // Reason codes.
  static constexpr int REASON_OK = 0;
  static constexpr int REASON_INIT_FAILED = 1;
  static constexpr int REASON_SOCKET_FAILED = 2;
  static constexpr int REASON_INVALID_SOCKET = 3;
  static constexpr int REASON_INVALID_ADDRESS = 4;
  static constexpr int REASON_BIND_FAILED = 5;
  static constexpr int REASON_LISTENER_BIND_FAILED = 6;
  static constexpr int REASON_CONNECT_FAILED = 7;
  static constexpr int REASON_LISTEN_FAILED = 8;
  static constexpr int REASON_SELECT_FAILED = 9;
  static constexpr int REASON_ACCEPT_FAILED = 10;
  static constexpr int REASON_SET_SOCKET_OPTION_NODELAY_FAILED = 11;
  static constexpr int REASON_SET_SOCKET_OPTION_KEEPALIVE_FAILED = 12;
  static constexpr int REASON_SET_SOCKET_OPTION_REUSEADDR_FAILED = 13;
  // The peer closed the connection while we were receiving.
  static constexpr int REASON_SEND_FAILED = 14;
  // A receive timeout set with Connection::SetReceiveTimeout expired.
  static constexpr int REASON_RECEIVE_TIMED_OUT = 15;
  // The TLS handshake or a TLS read or write failed (Connection says why).
  static constexpr int REASON_TLS_FAILED = 16;

  // Results of the communication operations.
  static constexpr long COMM_OK = 0;
  static constexpr long COMM_FAILED = 8;
  static constexpr long COMM_BUFFER_TOO_SMALL = 12;
  static constexpr long COMM_NO_MEMORY = 16;

  // All three fields start at -2.
  CommBase();
  virtual ~CommBase();

  int GetState() const { return state_; }
  int GetReason() const { return reason_; }
  int GetLastApiRc() const { return lastApiRc_; }

  bool IsGood() const { return state_ == STATE_GOOD; }
  bool IsInError() const { return state_ == STATE_ERROR; }

  // Printable names by value; "<unknown reason code>" out of range, for a
  // state as well as for a reason.
  static const char* StateName(int state);
  static const char* ReasonName(int reason);
  const char* GetStateName() const { return StateName(state_); }
  const char* GetReasonName() const { return ReasonName(reason_); }

 protected:
  int state_;
  int reason_;
  int lastApiRc_;
};

#endif  // TARPON_COMM_COMM_BASE_H_
