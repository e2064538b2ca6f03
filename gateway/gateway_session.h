// One gateway session: an accepted connection that delivers one request,
// has it run by the engine and takes the reply. The session never waits:
// Step() moves it on as far as its socket allows, so that one thread can
// keep many sessions going while each waits for its client. The engine
// runs inside Step() once the request is whole (it is not re-entrant, so
// the caller runs one session's Step at a time).
//
// The session is the Server of the connection (its state, reason and dump)
// and adds its own log text, which the caller writes whole at the end.
#ifndef TARPON_GATEWAY_GATEWAY_SESSION_H_
#define TARPON_GATEWAY_GATEWAY_SESSION_H_

#include <cstdint>
#include <memory>
#include <string>

#include "comm/record_assembler.h"
#include "comm/server.h"
#include "gateway/byte_channel.h"

class GatewaySession : public Server {
 public:
  enum class Phase {
    kHandshake,   // the channel's handshake is under way
    kReceiving,   // the request record is arriving
    kDiscarding,  // the data of a record refused for its size are dropped
    kSending,     // the reply is going out
    kClosing,     // a refused handshake's bytes are drained before closing
    kEnded,       // nothing more to do; destroying the session closes it
  };

  // Adopts the accepted connection (as Server does, counting the session)
  // and makes its socket non-blocking unless the caller says it is. The
  // whole request must arrive within timeoutSeconds; so must the client
  // take the reply once it is ready. A session whose Server is not good
  // starts ended.
  GatewaySession(const ExportClient& client, int timeoutSeconds,
                 bool nonBlocking = false);
  ~GatewaySession() override;

  // Puts another byte source in place of the plain socket (for example an
  // encrypted one); only before the first Step.
  void SetChannel(std::unique_ptr<ByteChannel> channel);

  // The session id this session was given when it was opened.
  int GetId() const { return id_; }
  // The client's dotted-decimal address, as the listener gave it.
  const char* GetClientAddress() const { return clientAddress_; }
  Phase GetPhase() const { return phase_; }
  bool IsEnded() const { return phase_ == Phase::kEnded; }
  // True until the request has been received whole (or refused).
  bool IsAwaitingRequest() const {
    return phase_ == Phase::kHandshake || phase_ == Phase::kReceiving ||
           phase_ == Phase::kDiscarding || phase_ == Phase::kClosing;
  }
  // True while the next step waits for the socket to take bytes.
  bool WantsWrite() const;
  // The current deadline on the steady clock, in milliseconds.
  int64_t GetDeadlineMs() const { return deadlineMs_; }

  // Moves the session on without waiting: handshake, receiving, the engine
  // run, the reply. Ends the session on a close, a failure or the reply's
  // last byte. A refused handshake is logged in one line and nothing more
  // is read from the connection but to drop it.
  void Step();
  // The deadline has passed: ends the session as an expired receive timeout
  // does (STATE_ERROR, REASON_RECEIVE_TIMED_OUT) while it awaits its
  // request, with one line while its handshake is unfinished, or without
  // more ado while it sends or drains.
  void Expire();

  // True once the engine has run; its return code.
  bool HasRun() const { return hasRun_; }
  int GetReturnCode() const { return returnCode_; }

  // The session's log text so far, which is then forgotten.
  std::string TakeLogText();

  // The steady clock in milliseconds.
  static int64_t NowMs();

  // The Server dump, with this session's id where Server shows the count
  // of sessions so far (sessions overlap).
  void Print(std::ostream& os) const override;
  void Print() const override;

 private:
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
  void RunEngine(const char* request);
  void Reply(int returnCode, const std::string& text);
  void End();

  int id_;
  int timeoutMs_;
  int64_t deadlineMs_;
  Phase phase_ = Phase::kHandshake;
  std::unique_ptr<ByteChannel> channel_;
  RecordAssembler assembler_;
  uint32_t discardLeft_ = 0;
  std::string reply_;
  size_t replySent_ = 0;
  bool hasRun_ = false;
  int returnCode_ = 0;
  // The session's log text; a stream buffer appends to it while the engine
  // runs.
  std::string log_;
  char clientAddress_[sizeof(ExportClient::clientAddress) + 1];
};

// Removes every "-ftrace" or "/ftrace" word from a request's option text:
// a remote client may not switch on the gateway's trace.
std::string WithoutTraceSwitch(const std::string& request);

#endif  // TARPON_GATEWAY_GATEWAY_SESSION_H_
