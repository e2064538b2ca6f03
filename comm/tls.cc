#include "comm/tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "contract/error_text.h"
#include "contract/thread_annotations.h"

namespace {

// A TLS record of the handshake begins with this content type byte.
constexpr unsigned char kHandshakeRecord = 0x16;
// How long a server's session may be resumed.
constexpr long kSessionSeconds = 300;

// The variable's value, or nullptr when it is unset or empty.
const char* Setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The reason of the oldest queued library error, and an empty queue.
std::string LibraryError() {
  unsigned long error = ERR_peek_error();
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  char text[256] = "unknown error";
  if (reason == nullptr && error != 0) {
    ERR_error_string_n(error, text, sizeof text);
  }
  ERR_clear_error();
  return reason != nullptr ? reason : text;
}

// False with the reason when path is no regular file that can be read (a
// FIFO would hold the program).
bool Readable(const char* what, const char* path, std::string* error) {
  struct stat status;
  std::string problem;
  if (access(path, R_OK) != 0 || stat(path, &status) != 0) {
    problem = ErrorText(errno);
  } else if (!S_ISREG(status.st_mode)) {
    problem = "not a regular file";
  }
  if (problem.empty()) return true;
  *error =
      std::string("cannot read ") + what + " " + path + " (" + problem + ")";
  return false;
}

// Loads certificate chain and key; both or neither must be named.
bool LoadCertificate(SSL_CTX* context, const char* certificate, const char* key,
                     std::string* error) {
  if (certificate == nullptr || key == nullptr) {
    *error = certificate == nullptr
                 ? "TARPON_TLS_KEY is set without TARPON_TLS_CERT"
                 : "TARPON_TLS_CERT is set without TARPON_TLS_KEY";
    return false;
  }
  if (!Readable("the certificate", certificate, error) ||
      !Readable("the key file", key, error) || !KeyFileIsPrivate(key, error)) {
    return false;
  }
  if (SSL_CTX_use_certificate_chain_file(context, certificate) != 1) {
    *error = std::string("cannot load the certificate ") + certificate + " (" +
             LibraryError() + ")";
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    *error = std::string("cannot load the key ") + key + " for " + certificate +
             " (" + LibraryError() + ")";
    return false;
  }
  return true;
}

bool LoadTrust(SSL_CTX* context, const char* file, std::string* error) {
  bool system = std::strcmp(file, "system") == 0;
  if (!system && !Readable("the trusted CAs", file, error)) return false;
  int loaded = system ? SSL_CTX_set_default_verify_paths(context)
                      : SSL_CTX_load_verify_locations(context, file, nullptr);
  if (loaded != 1) {
    *error = std::string("cannot load the trusted CAs from ") + file + " (" +
             LibraryError() + ")";
    return false;
  }
  return true;
}

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* context = SSL_CTX_new(method);
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // An end of the connection without the closing alert reads as a close:
  // the records' own lengths show a reply cut short.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return context;
}

std::string VerifyFailure(long result, const std::string& host) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "certificate is not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "certificate does not name " + host + " (name mismatch)";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return "certificate not signed by a trusted CA (unknown CA)";
    default:
      return std::string("certificate refused (") +
             X509_verify_cert_error_string(result) + ")";
  }
}

// One line for a library error on the session.
std::string SessionFailure(unsigned long error) {
  const char* text = ERR_reason_error_string(error);
  std::string reason = text != nullptr ? text : "unknown error";
  if (ERR_GET_LIB(error) != ERR_LIB_SSL) return "TLS failed (" + reason + ")";
  switch (ERR_GET_REASON(error)) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
      return "no TLS at the other end";
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      return "no TLS version in common (1.2 or later needed)";
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
      return "no client certificate";
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
      return "the other end refused our certificate (" + reason + ")";
    default:
      return "TLS failed (" + reason + ")";
  }
}

// The library writes to the socket without MSG_NOSIGNAL: while an object
// lives, a write to a peer that has gone gives EPIPE instead of a SIGPIPE
// that would end the process. The signal is blocked for this thread and a
// SIGPIPE raised meanwhile is taken before the mask is restored.
class SigpipeSuppressed {
 public:
  SigpipeSuppressed() {
    // Nothing to do where SIGPIPE is ignored, as in the programs.
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 &&
        current.sa_handler == SIG_IGN) {
      return;
    }
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~SigpipeSuppressed() {
    if (!blocked_) return;
    if (!wasPending_) {
      timespec none = {0, 0};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeSuppressed(const SigpipeSuppressed&) = delete;
  SigpipeSuppressed& operator=(const SigpipeSuppressed&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool wasPending_ = false;
  bool blocked_ = false;
};

// TLS writes the last flight of its handshake and the first record apart:
// held back by Nagle's algorithm, the record would wait for the peer's
// delayed acknowledgement, some 40 ms a session. (Harmless on a socket that
// is not TCP.)
void SendAtOnce(int socket) {
  int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool IsIpAddress(const char* host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host, address) == 1 ||
         inet_pton(AF_INET6, host, address) == 1;
}

}  // namespace

bool CertificateDaysLeft(SSL_CTX* context, int* days, bool* expired) {
  X509* certificate = SSL_CTX_get0_certificate(context);
  int seconds = 0;
  *days = 0;
  if (certificate == nullptr ||
      ASN1_TIME_diff(days, &seconds, nullptr,
                     X509_get0_notAfter(certificate)) != 1) {
    return false;
  }
  *expired = *days < 0 || seconds < 0;
  // Whole days to the nearest: a certificate made for 30 days a moment
  // ago still has 30.
  constexpr int kHalfDay = 12 * 60 * 60;
  if (seconds >= kHalfDay) ++*days;
  if (seconds <= -kHalfDay) --*days;
  return true;
}

int JudgeCertificateExpiry(SSL_CTX* context, const std::string& file,
                           std::string* line) {
  int days = 0;
  bool expired = false;
  auto count = [](int n) {
    return std::to_string(n) + (n == 1 ? " day" : " days");
  };
  if (!CertificateDaysLeft(context, &days, &expired)) {
    *line = "certificate " + file + ": its expiry date cannot be read";
    return 2;
  }
  if (expired) {
    *line = "certificate " + file + " has expired" +
            (days < 0 ? " " + count(-days) + " ago" : "") +
            ": renew it and restart";
    return 2;
  }
  *line = "certificate " + file + " expires in " + count(days);
  return days < CERTIFICATE_WARNING_DAYS ? 1 : 0;
}

// A key that others can read is no secret: refused as ssh refuses loose
// private keys.
bool KeyFileIsPrivate(const char* path, std::string* error) {
  struct stat status;
  if (stat(path, &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    *error = std::string("the key file ") + path +
             " is readable by group or others (chmod 600 " + path + ")";
    return false;
  }
  return true;
}

std::unique_ptr<TlsContext> TlsContext::ClientFromEnvironment(
    std::string* error) {
  error->clear();
  const char* trusted = Setting("TARPON_TLS_CA");
  if (trusted == nullptr) return nullptr;
  SSL_CTX* context = NewContext(TLS_client_method());
  if (context == nullptr) {
    *error = "TLS unavailable (" + LibraryError() + ")";
    return nullptr;
  }
  std::unique_ptr<TlsContext> result(new TlsContext(context, false));
  if (!LoadTrust(context, trusted, error)) return nullptr;
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  const char* certificate = Setting("TARPON_TLS_CERT");
  const char* key = Setting("TARPON_TLS_KEY");
  if ((certificate != nullptr || key != nullptr) &&
      !LoadCertificate(context, certificate, key, error)) {
    return nullptr;
  }
  return result;
}

std::unique_ptr<TlsContext> TlsContext::ServerFromEnvironment(
    std::string* error) {
  error->clear();
  const char* certificate = Setting("TARPON_TLS_CERT");
  const char* key = Setting("TARPON_TLS_KEY");
  const char* clientCa = Setting("TARPON_TLS_CLIENT_CA");
  if (certificate == nullptr && key == nullptr) {
    if (clientCa != nullptr) {
      *error = "TARPON_TLS_CLIENT_CA is set without TARPON_TLS_CERT";
    }
    return nullptr;
  }
  SSL_CTX* context = NewContext(TLS_server_method());
  if (context == nullptr) {
    *error = "TLS unavailable (" + LibraryError() + ")";
    return nullptr;
  }
  std::unique_ptr<TlsContext> result(new TlsContext(context, true));
  if (!LoadCertificate(context, certificate, key, error)) return nullptr;
  // No cache of sessions here: one ticket after each handshake, which the
  // client keeps (a remote client, a new process each time, drops it;
  // tarpon-web resumes with it). The ticket is sealed with a key of this
  // context's, made when it is loaded, so a reload of the TLS files ends
  // every earlier session; a session lives 5 minutes at most.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(context, 1);
  SSL_CTX_set_timeout(context, kSessionSeconds);
  // Without a context of its own a session whose client showed a
  // certificate fails the handshake when it is resumed.
  static const unsigned char kSessionContext[] = "tarpon";
  SSL_CTX_set_session_id_context(context, kSessionContext,
                                 sizeof kSessionContext - 1);
  if (clientCa != nullptr) {
    if (!LoadTrust(context, clientCa, error)) return nullptr;
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(clientCa);
    if (names == nullptr) {
      *error = std::string("no CA certificate in ") + clientCa;
      ERR_clear_error();
      return nullptr;
    }
    SSL_CTX_set_client_CA_list(context, names);
    SSL_CTX_set_verify(
        context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return result;
}

struct TlsContext::KeptSession {
  Mutex mutex;
  std::string host TARPON_GUARDED_BY(mutex);
  SSL_SESSION* session TARPON_GUARDED_BY(mutex) = nullptr;
};

TlsContext::TlsContext(SSL_CTX* context, bool server)
    : context_(context), server_(server) {
  SSL_CTX_set_app_data(context_, this);
}

TlsContext::~TlsContext() {
  if (kept_ != nullptr) SSL_SESSION_free(kept_->session);
  SSL_CTX_free(context_);
}

void TlsContext::KeepSessions() {
  if (server_ || kept_ != nullptr) return;
  kept_ = std::make_unique<KeptSession>();
  SSL_CTX_set_session_cache_mode(
      context_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(context_, OnNewSession);
}

// A TLS 1.2 session would be resumed without a new key exchange: only
// TLS 1.3 sessions are kept. A copy is kept, since the library marks a
// connection's own session as spent when the connection ends without its
// closing alert.
int TlsContext::OnNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* self =
      static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  auto* host = static_cast<const std::string*>(SSL_get_app_data(ssl));
  if (self == nullptr || self->kept_ == nullptr || host == nullptr ||
      SSL_SESSION_get_protocol_version(session) != TLS1_3_VERSION) {
    return 0;
  }
  SSL_SESSION* copy = SSL_SESSION_dup(session);
  if (copy == nullptr) return 0;
  KeptSession& kept = *self->kept_;
  MutexLock lock(&kept.mutex);
  SSL_SESSION_free(kept.session);
  kept.session = copy;
  kept.host = *host;
  return 0;
}

void TlsContext::OfferSession(SSL* ssl, const std::string& host) const {
  if (kept_ == nullptr) return;
  MutexLock lock(&kept_->mutex);
  if (kept_->session != nullptr && kept_->host == host &&
      SSL_SESSION_is_resumable(kept_->session) == 1) {
    SSL_set_session(ssl, kept_->session);
  }
}

std::unique_ptr<TlsSession> TlsSession::ForClient(const TlsContext& context,
                                                  int socket, const char* host,
                                                  std::string* error) {
  SSL* ssl = SSL_new(context.Native());
  if (ssl == nullptr) {
    *error = "TLS unavailable (" + LibraryError() + ")";
    return nullptr;
  }
  std::unique_ptr<TlsSession> session(
      new TlsSession(ssl, socket, false, host != nullptr ? host : ""));
  bool named = host != nullptr && SSL_set_fd(ssl, socket) == 1;
  if (named && IsIpAddress(host)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) == 1;
  } else if (named) {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set_tlsext_host_name(ssl, host) == 1 &&
            SSL_set1_host(ssl, host) == 1;
  }
  if (!named) {
    *error = "cannot check the certificate's name (" + LibraryError() + ")";
    return nullptr;
  }
  // The name that a session handed out on this connection is kept for.
  SSL_set_app_data(ssl, &session->host_);
  context.OfferSession(ssl, session->host_);
  SSL_set_connect_state(ssl);
  SendAtOnce(socket);
  return session;
}

std::unique_ptr<TlsSession> TlsSession::ForServer(const TlsContext& context,
                                                  int socket,
                                                  std::string* error,
                                                  bool tickets) {
  SSL* ssl = SSL_new(context.Native());
  if (ssl == nullptr || SSL_set_fd(ssl, socket) != 1) {
    *error = "TLS unavailable (" + LibraryError() + ")";
    SSL_free(ssl);
    return nullptr;
  }
  if (!tickets) SSL_set_num_tickets(ssl, 0);
  SSL_set_accept_state(ssl);
  SendAtOnce(socket);
  return std::unique_ptr<TlsSession>(new TlsSession(ssl, socket, true, ""));
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

IoResult TlsSession::Handshake() {
  if (server_ && !started_) {
    // Look at the client's first byte without taking it: clear text is
    // refused before the library sees any of it.
    unsigned char first = 0;
    ssize_t seen = recv(socket_, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (seen < 0 &&
        (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      wantsWrite_ = false;
      return IoResult::kWouldBlock;
    }
    if (seen <= 0 || first != kHandshakeRecord) {
      failure_ =
          seen < 0 ? std::string("connection failed (") + ErrorText(errno) + ")"
                   : "no TLS at the other end";
      return IoResult::kFailed;
    }
  }
  started_ = true;
  SigpipeSuppressed quiet;
  ERR_clear_error();
  int result = SSL_do_handshake(ssl_);
  return result == 1 ? IoResult::kOk : Outcome(result, true);
}

IoResult TlsSession::ReadSome(char* buffer, size_t length, size_t* received) {
  *received = 0;
  SigpipeSuppressed quiet;
  ERR_clear_error();
  int result = SSL_read_ex(ssl_, buffer, length, received);
  return result == 1 ? IoResult::kOk : Outcome(result, false);
}

IoResult TlsSession::WriteSome(const char* data, size_t length, size_t* sent) {
  *sent = 0;
  SigpipeSuppressed quiet;
  ERR_clear_error();
  int result = SSL_write_ex(ssl_, data, length, sent);
  return result == 1 ? IoResult::kOk : Outcome(result, false);
}

void TlsSession::Close() {
  if (shutDown_ || !started_) return;
  shutDown_ = true;
  SigpipeSuppressed quiet;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

IoResult TlsSession::Outcome(int result, bool handshake) {
  int error = SSL_get_error(ssl_, result);
  wantsWrite_ = error == SSL_ERROR_WANT_WRITE;
  switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return IoResult::kWouldBlock;
    case SSL_ERROR_ZERO_RETURN:
      if (!handshake) return IoResult::kClosed;
      failure_ = "no TLS at the other end";
      break;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0) {
        failure_ = errno != 0 ? std::string("connection failed (") +
                                    ErrorText(errno) + ")"
                              : "no TLS at the other end";
        break;
      }
      failure_ = Describe(handshake);
      break;
    default:
      failure_ = Describe(handshake);
      break;
  }
  ERR_clear_error();
  error_ = handshake ? 0 : ECONNRESET;
  return IoResult::kFailed;
}

std::string TlsSession::Describe(bool handshake) const {
  unsigned long error = ERR_peek_error();
  long verified = SSL_get_verify_result(ssl_);
  if (handshake && verified != X509_V_OK) return VerifyFailure(verified, host_);
  return SessionFailure(error);
}

std::string TlsSession::Protocol() const { return SSL_get_version(ssl_); }

bool TlsSession::Resumed() const { return SSL_session_reused(ssl_) == 1; }

std::string TlsSession::Agreement() const {
  std::string text = Protocol();
  std::string subject = PeerSubject();
  if (!subject.empty()) text += ", client " + subject;
  return text;
}

std::string TlsSession::PeerSubject() const {
  X509* peer = SSL_get0_peer_certificate(ssl_);
  if (peer == nullptr) return "";
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return "";
  X509_NAME_print_ex(out, X509_get_subject_name(peer), 0, XN_FLAG_RFC2253);
  char* text = nullptr;
  long length = BIO_get_mem_data(out, &text);
  std::string subject(text, length > 0 ? static_cast<size_t>(length) : 0);
  BIO_free(out);
  return subject;
}
