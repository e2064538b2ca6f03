// TLS beneath a connection's records, on OpenSSL: TLS 1.2 at least, the
// library's own defaults for everything else (no cipher lists of ours).
//
// A TlsContext holds the certificates and the trust of one side, read from
// the environment:
//
//   client side  TARPON_TLS_CA    a PEM file of trusted CAs, or "system" for
//                                 the system's trust store; TLS is on when set
//                TARPON_TLS_CERT  optional client certificate (PEM chain)
//                TARPON_TLS_KEY   and its key
//   server side  TARPON_TLS_CERT  the server's certificate (PEM chain) and
//                TARPON_TLS_KEY   its key; TLS is on when either is set
//                TARPON_TLS_CLIENT_CA  optional: clients must then present a
//                                 certificate signed by a CA in this file
//
// A key file that the group or others may read is refused, as are a
// certificate without its key and a key that does not match it.
//
// A TlsSession runs TLS on one connected socket, blocking or not, as a
// ByteChannel (comm/byte_channel.h). It never closes the socket.
#ifndef TARPON_COMM_TLS_H_
#define TARPON_COMM_TLS_H_

#include <cstddef>
#include <memory>
#include <string>

#include "comm/byte_channel.h"

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

// False, with the reason in *error, when the group or others may read the
// key file at path; true otherwise (also when it cannot be examined: the
// load that follows reports that).
bool KeyFileIsPrivate(const char* path, std::string* error);

// A certificate within this many days of its end is warned about by the
// checks (tarpons -check, tarpon-web -check); one past it fails them.
constexpr int CERTIFICATE_WARNING_DAYS = 30;

// The days from now to the end of the certificate context uses, to the
// nearest whole day (negative once past: *expired). False when it has
// none or its date cannot be read.
bool CertificateDaysLeft(ssl_ctx_st* context, int* days, bool* expired);

// The checks' verdict on a certificate's end: 0 ok, 1 warning (within
// CERTIFICATE_WARNING_DAYS), 2 failed (expired or unreadable), and the line
// that says so ("certificate FILE expires in 12 days").
int JudgeCertificateExpiry(ssl_ctx_st* context, const std::string& file,
                           std::string* line);

class TlsContext {
 public:
  // nullptr with an empty *error when TARPON_TLS_CA is unset or empty (TLS
  // off); nullptr with the reason when the settings cannot be used.
  static std::unique_ptr<TlsContext> ClientFromEnvironment(std::string* error);
  // nullptr with an empty *error when neither TARPON_TLS_CERT nor
  // TARPON_TLS_KEY is set (TLS off); nullptr with the reason when the
  // settings cannot be used.
  static std::unique_ptr<TlsContext> ServerFromEnvironment(std::string* error);

  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // For a client context that a long-lived program keeps for connection
  // after connection to the same server (tarpon-web to its gateway): each
  // new connection offers the last TLS 1.3 session that a server of the
  // same host name handed out, and a resumed handshake skips the
  // certificate's signature and its check. The key exchange still runs,
  // so each connection has keys of its own. One session is kept, and only
  // for the host it came from. Thread-safe; call before the first
  // connection.
  void KeepSessions();

  ssl_ctx_st* Native() const { return context_; }
  bool IsServer() const { return server_; }

 private:
  friend class TlsSession;
  struct KeptSession;

  TlsContext(ssl_ctx_st* context, bool server);
  // The library's call when a server hands out a session: 1 when kept.
  static int OnNewSession(ssl_st* ssl, ssl_session_st* session);
  // Offers the kept session of host to ssl, when there is one.
  void OfferSession(ssl_st* ssl, const std::string& host) const;

  ssl_ctx_st* context_;
  bool server_;
  std::unique_ptr<KeptSession> kept_;  // null unless KeepSessions
};

// A TlsSession is the byte channel of a connection inside TLS: every result
// of the library is mapped here, once, to the channel's results.
class TlsSession : public ByteChannel {
 public:
  // A client session on socket that verifies the server's chain and that
  // its certificate names host (a DNS name, or an IPv4 or IPv6 address).
  // nullptr with the reason in *error when it cannot be set up.
  static std::unique_ptr<TlsSession> ForClient(const TlsContext& context,
                                               int socket, const char* host,
                                               std::string* error);
  // A server session on an accepted socket.
  // tickets: whether the handshake ends with a session ticket (only a
  // peer that resumes sessions has a use for one; it costs a client that
  // does not a signing and a record).
  static std::unique_ptr<TlsSession> ForServer(const TlsContext& context,
                                               int socket, std::string* error,
                                               bool tickets = true);

  ~TlsSession() override;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // One step of the handshake: kOk, kWouldBlock or kFailed. A server
  // session fails at once, without reading it, when the first byte from the
  // client cannot begin a TLS handshake.
  IoResult Handshake() override;
  // kOk with *received above 0, kWouldBlock, kClosed (the peer's closing
  // alert) or kFailed.
  IoResult ReadSome(char* buffer, size_t length, size_t* received) override;
  IoResult WriteSome(const char* data, size_t length, size_t* sent) override;
  bool WantsWrite() const override { return wantsWrite_; }
  bool HasHandshake() const override { return true; }
  // The protocol, and the peer certificate's subject when there is one.
  std::string Agreement() const override;
  // Sends the closing alert once, without waiting for the peer's.
  void Close() override;

  // The negotiated protocol, such as "TLSv1.3".
  std::string Protocol() const;
  // True when the handshake resumed an earlier session.
  bool Resumed() const;
  // The peer certificate's subject in RFC 2253 form with control
  // characters and bytes above 0x7E escaped; "" without one.
  std::string PeerSubject() const;

 private:
  TlsSession(ssl_st* ssl, int socket, bool server, const std::string& host)
      : ssl_(ssl), socket_(socket), server_(server), host_(host) {}
  // Maps a failed call's result, recording the failure: "certificate has
  // expired", "no TLS at the other end" and the like. Outside the
  // handshake a failure counts as a reset connection.
  IoResult Outcome(int result, bool handshake);
  std::string Describe(bool handshake) const;

  ssl_st* ssl_;
  int socket_;
  bool server_;
  bool started_ = false;
  bool shutDown_ = false;
  bool wantsWrite_ = false;
  std::string host_;
};

#endif  // TARPON_COMM_TLS_H_
