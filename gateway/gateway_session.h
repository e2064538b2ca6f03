// One gateway session: an accepted connection that delivers one request,
// has it run by the engine and takes the reply. The session never waits:
// Step() moves it on as far as its socket allows, so that one thread can
// keep many sessions going while each waits for its client. The engine is
// not the session's: once the request is whole the session waits in
// kRunning until its owner runs the request (GetRequest) and hands the
// result back (Answer).
//
// The session owns its socket and its byte channel and closes the socket
// when it ends; its state is its phase and, once it ended otherwise than in
// order, how it ended, which its Server dump reports. It adds its own log
// text, which the caller writes whole.
#ifndef TARPON_GATEWAY_GATEWAY_SESSION_H_
#define TARPON_GATEWAY_GATEWAY_SESSION_H_

#include <sys/socket.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "comm/byte_channel.h"
#include "comm/clock.h"
#include "comm/fd.h"
#include "comm/proxy_header.h"
#include "comm/record_assembler.h"
#include "contract/secret.h"
#include "contract/thread_owner.h"
#include "gateway/engine_runner.h"

class GatewaySession {
 public:
  enum class Phase {
    kProxyHeader,  // a PROXY header is arriving
    kHandshake,    // the channel's handshake is under way
    kReceiving,    // the request record is arriving
    kDiscarding,   // the data of a record refused for its size are dropped
    kRunning,      // the request is whole and waits for the engine's answer
    kSending,      // the reply is going out
    kClosing,      // a refused handshake's bytes are drained before closing
    kEnded,        // nothing more to do; destroying the session closes it
  };

  // Takes the accepted, non-blocking socket; clientAddress is the peer's
  // address as text. id is the session's number (Server::CountSession).
  // The whole request must arrive within timeoutMs of now, and the client
  // must take the reply within timeoutMs of its being ready; requests of
  // more than maxRequestLength bytes are refused.
  //
  // With proxyHeader the peer is a trusted balancer: a connection that
  // begins with a PROXY header (versions 1 and 2) has it read before
  // anything else and never past its end; one that does not is a client
  // itself. Its source then is the client (the balancer shows
  // as "via" in the log), and the session takes its id (id is ignored)
  // once the header is whole. A health check (version 2's LOCAL, version
  // 1's UNKNOWN) ends the session at once without a log line; a bad or
  // unfinished header ends it with one.
  //
  // Without proxyHeader, a connection that begins with a PROXY header comes
  // from a sender that believes the gateway trusts it: the header is read
  // and dropped, the request is never run, and the reply carries
  // GATEWAY_RC_PROXY_REFUSED; the log line names the fix.
  GatewaySession(Fd socket, const std::string& clientAddress, int id,
                 int timeoutMs, int maxRequestLength, const Clock& clock,
                 bool proxyHeader = false);
  ~GatewaySession();
  GatewaySession(const GatewaySession&) = delete;
  GatewaySession& operator=(const GatewaySession&) = delete;

  // Puts another byte source in place of the plain socket (TLS); only
  // before the first Step.
  void SetChannel(std::unique_ptr<ByteChannel> channel);

  int GetId() const { return id_; }
  // The operation the session's events name ("operation"), the one place
  // it is made: the trusted front end's (see GetFrontEndOperation), else
  // the session's id as the log names it ("Session id(7)").
  std::string GetOperation() const {
    return operation_.empty() ? std::to_string(id_) : operation_;
  }
  // How many requests, one per destination, the front end's operation
  // makes (2 or more), or 0: this session's alone.
  int GetOperationParts() const { return operationParts_; }
  // After a PROXY header: the client's address as the header gave it.
  const sockaddr_storage& GetProxiedSource() const { return proxiedSource_; }
  // The user ID whose owner's device the balancer vouches for, or "".
  const std::string& GetOwnerDevice() const { return ownerDevice_; }
  // True when the trusted PROXY header asked for a probe: the request is
  // processed, its destination resolved, and no conversation held.
  bool IsProbe() const { return probe_; }
  // True when the balancer's PROXY header named a client.
  bool IsProxied() const { return !via_.empty(); }
  // True when the connection was a balancer's health check.
  bool IsHealthCheck() const { return healthCheck_; }
  // True when the PROXY header was refused.
  bool IsProxyHeaderRefused() const { return proxyRefused_; }
  // True once the channel's handshake (TLS) is complete, or failed.
  bool IsHandshakeDone() const { return handshakeDone_; }
  bool IsHandshakeFailed() const {
    return ending_ == Ending::kHandshakeRefused || handshakeTimedOut_;
  }
  int GetSocket() const { return socket_.get(); }
  const std::string& GetClientAddress() const { return clientAddress_; }
  Phase GetPhase() const { return phase_; }
  bool IsEnded() const { return phase_ == Phase::kEnded; }
  // True until the request has been received whole (or refused).
  bool IsAwaitingRequest() const {
    return phase_ == Phase::kProxyHeader || phase_ == Phase::kHandshake ||
           phase_ == Phase::kReceiving || phase_ == Phase::kDiscarding ||
           phase_ == Phase::kClosing;
  }
  // True while the next step waits for the socket to take bytes.
  bool WantsWrite() const;
  // The current deadline on the session's clock, in milliseconds; none
  // while the session waits for the engine.
  int64_t GetDeadlineMs() const { return deadlineMs_; }

  // The session is stepped by one thread at a time: the loop's, or the
  // thread the loop handed it to, which takes it on first (checked in the
  // calls that move it on).
  void TakeOn() { owner_.TakeOn(); }

  // Moves the session on without waiting: handshake, receiving, the reply.
  // Ends the session on a close, a failure or the reply's last byte. A
  // refused handshake is logged in one line and nothing more is read from
  // the connection but to drop it.
  void Step();
  // The deadline has passed: ends the session as an expired receive
  // timeout does (STATE_ERROR, REASON_RECEIVE_TIMED_OUT) while it awaits
  // its request, with one line while its handshake is unfinished, or
  // without more ado while it sends or drains.
  void Expire();

  // In kRunning: the request's option text.
  const std::string& GetRequest() const { return request_.Text(); }
  // The engine's run of the request: logs its return code and log text and
  // starts sending the reply (kSending), or ends the session when there is
  // nothing to send.
  void Answer(const EngineRun& run);

  // In kRunning: the request is not run after all; why ends the session's
  // line, and the session ends without a reply.
  void Abandon(const std::string& why);

  // True once the engine has answered; its return code.
  bool HasRun() const { return hasRun_; }
  int GetReturnCode() const { return returnCode_; }

  // The session's log text so far, which is then forgotten.
  std::string TakeLogText();

  // The Server dump of the session: its state and reason, socket, id and
  // client address.
  void Print(std::ostream& os) const;

 private:
  // How a session ended, for its dump; kNone while it goes on or when it
  // ended in order.
  enum class Ending {
    kNone,
    kPeerClosed,       // STATE_CONNECTION_CLOSED, REASON_SEND_FAILED
    kEndRecord,        // STATE_CONNECTION_CLOSED (a status record 0)
    kTimedOut,         // STATE_ERROR, REASON_RECEIVE_TIMED_OUT
    kHandshakeRefused  // STATE_CONNECTION_CLOSED, REASON_TLS_FAILED
  };

  void ReadProxyHeader();
  void ProxyHeaderDone();
  // False while the connection's first bytes may still be a PROXY header.
  bool HasNoProxyHeader();
  void Handshake();
  void Receive();
  void Discard();
  // Records a read that ended the session: the peer closed, or the channel
  // failed (its error kept for the dump).
  void RecordReadFailure(IoResult result);
  void Send();
  void RequestReceived();
  void Refuse(const std::string& why);
  void Drain();
  void LogLine(const std::string& text);
  void LogSessionLine();
  void LogReturnCode(int returnCode);
  void Reply(int returnCode, const std::string& text);
  void End();

  Fd socket_;
  std::string clientAddress_;
  int id_;
  int timeoutMs_;
  const Clock& clock_;
  int64_t deadlineMs_;
  Phase phase_ = Phase::kHandshake;
  Ending ending_ = Ending::kNone;
  // The platform's error number of the last failed socket call, or -2.
  int lastError_ = -2;
  std::unique_ptr<ByteChannel> channel_;
  // The channel while it is the plain socket, which reads ahead; null once
  // TLS takes its place.
  PlainChannel* plain_ = nullptr;
  RecordAssembler assembler_;
  uint32_t discardLeft_ = 0;
  std::unique_ptr<ProxyHeaderParser> proxyHeader_;
  sockaddr_storage proxiedSource_ = {};
  std::string ownerDevice_;
  std::string operation_;
  int operationParts_ = 0;
  bool probe_ = false;
  std::string via_;
  bool healthCheck_ = false;
  bool handshakeDone_ = false;
  bool handshakeTimedOut_ = false;
  bool proxyRefused_ = false;
  bool sniffed_ = false;         // the first bytes were looked at
  bool trustedPeer_ = false;     // the peer is listed in -proxy-from
  bool untrustedProxy_ = false;  // a PROXY header from an unlisted peer
  Secret request_;               // the options, passwords among them
  ThreadOwner owner_{"a gateway session"};
  std::string reply_;
  size_t replySent_ = 0;
  bool hasRun_ = false;
  int returnCode_ = 0;
  std::string log_;
};

#endif  // TARPON_GATEWAY_GATEWAY_SESSION_H_
