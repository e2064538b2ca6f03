#include "gateway/gateway_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "comm/address.h"
#include "comm/comm_base.h"
#include "comm/gateway_protocol.h"
#include "comm/record_format.h"
#include "comm/server.h"
#include "contract/secret.h"
#include "contract/tarpon_rc.h"
#include "gateway/gateway_log.h"

namespace {

// A front end's operation identifier as the log and the events may carry
// it: letters, digits, '-', '.' and '_' only; anything else: none.
std::string OperationOf(const std::string& text) {
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' &&
        c != '_') {
      return std::string();
    }
  }
  return text;
}

const char kTooLongText[] =
    "\nTARPON SERVER E0006 : request too long, not processed.\n";
// A request too long to run is answered with the engine's code for a bad
// option.
constexpr int kTooLongReturnCode = TARPON_RC_BAD_OPTION;
// The scratch buffer for dropping a refused record's data.
constexpr size_t kDiscardChunk = 4096;
// How long a refused handshake's connection is drained, at most, so that
// the client reads the alert rather than a reset from unread bytes.
constexpr int64_t kDrainMs = 1000;
constexpr int kDrainChunksPerStep = 16;
// No deadline while the engine has the request.
constexpr int64_t kNoDeadline = INT64_MAX;

// The state and reason a Server would hold at the end, for the dump.
class EndingStatus : public CommBase {
 public:
  EndingStatus(int state, int reason, int lastApiRc) {
    state_ = state;
    reason_ = reason;
    lastApiRc_ = lastApiRc;
  }
};

}  // namespace

GatewaySession::GatewaySession(Fd socket, const std::string& clientAddress,
                               int id, int timeoutMs, int maxRequestLength,
                               const Clock& clock, bool proxyHeader)
    : socket_(std::move(socket)),
      clientAddress_(clientAddress),
      id_(id),
      timeoutMs_(timeoutMs),
      clock_(clock),
      deadlineMs_(clock.NowMs() + timeoutMs),
      assembler_(static_cast<uint32_t>(maxRequestLength)) {
  auto plain = std::make_unique<PlainChannel>(socket_.get(), true);
  plain_ = plain.get();
  channel_ = std::move(plain);
  if (proxyHeader) {
    trustedPeer_ = true;
    id_ = 0;
  }
}

GatewaySession::~GatewaySession() = default;

void GatewaySession::Print(std::ostream& os) const {
  int state = CommBase::STATE_GOOD;
  int reason = CommBase::REASON_OK;
  switch (ending_) {
    case Ending::kPeerClosed:
      state = CommBase::STATE_CONNECTION_CLOSED;
      reason = CommBase::REASON_SEND_FAILED;
      break;
    case Ending::kEndRecord:
      state = CommBase::STATE_CONNECTION_CLOSED;
      break;
    case Ending::kTimedOut:
      state = CommBase::STATE_ERROR;
      reason = CommBase::REASON_RECEIVE_TIMED_OUT;
      break;
    case Ending::kHandshakeRefused:
      state = CommBase::STATE_CONNECTION_CLOSED;
      reason = CommBase::REASON_TLS_FAILED;
      break;
    case Ending::kNone:
      break;
  }
  // The client's address as the Server shows it: not resolved, port 0.
  Address client;
  client.SetIpAddress(clientAddress_.c_str());
  PrintServerDump(os, EndingStatus(state, reason, lastError_), socket_.get(),
                  id_, client);
}

void GatewaySession::SetChannel(std::unique_ptr<ByteChannel> channel) {
  if (IsEnded()) return;
  plain_ = nullptr;
  channel_ = std::move(channel);
}

bool GatewaySession::WantsWrite() const {
  if (phase_ == Phase::kSending) return true;
  return phase_ != Phase::kClosing && phase_ != Phase::kEnded &&
         channel_->WantsWrite();
}

std::string GatewaySession::TakeLogText() {
  std::string text;
  text.swap(log_);
  return text;
}

void GatewaySession::Step() {
  owner_.Check();
  if (phase_ == Phase::kHandshake && !HasNoProxyHeader()) return;
  if (phase_ == Phase::kProxyHeader) ReadProxyHeader();
  if (phase_ == Phase::kHandshake) Handshake();
  if (phase_ == Phase::kReceiving) Receive();
  if (phase_ == Phase::kDiscarding) Discard();
  if (phase_ == Phase::kSending) Send();
  if (phase_ == Phase::kClosing) Drain();
}

// Before any TLS: the parser never asks for a byte past the header, so
// what follows stays for the channel (the plain channel holds what it read
// ahead; under TLS the bytes are read straight from the socket).
void GatewaySession::ReadProxyHeader() {
  char bytes[1024];
  while (phase_ == Phase::kProxyHeader) {
    size_t wanted = std::min(proxyHeader_->Wanted(), sizeof bytes);
    size_t got = 0;
    IoResult result = IoResult::kOk;
    if (plain_ != nullptr) {
      result = plain_->ReadSome(bytes, wanted, &got);
    } else {
      ssize_t n = recv(socket_.get(), bytes, wanted, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        result = IoResult::kWouldBlock;
      } else if (n <= 0) {
        result = IoResult::kFailed;
      } else {
        got = static_cast<size_t>(n);
      }
    }
    if (result == IoResult::kWouldBlock) return;
    if (result == IoResult::kOk) {
      proxyHeader_->Take(bytes, got);
    } else {
      proxyHeader_->EndOfInput();
    }
    if (proxyHeader_->IsDone()) ProxyHeaderDone();
  }
}

// A peer's first bytes, peeked at (a trusted balancer's too, since a
// trusted peer may also be a client itself, as tarpon-web's loopback
// neighbours are): a record begins with its length and a
// type of 'D' or 'S', a TLS handshake with 0x16, so neither can be taken
// for the start of a PROXY header ("PROXY " or version 2's signature).
bool GatewaySession::HasNoProxyHeader() {
  static const char kV2Signature[12] = {'\r', '\n', '\r', '\n', '\0', '\r',
                                        '\n', 'Q',  'U',  'I',  'T',  '\n'};
  static const char kV1Signature[6] = {'P', 'R', 'O', 'X', 'Y', ' '};
  if (sniffed_) return true;
  // The plain channel reads the first bytes ahead and keeps them for the
  // request; a TLS channel's are peeked at.
  char peeked[sizeof kV2Signature];
  const char* bytes = peeked;
  ssize_t n = 0;
  if (plain_ != nullptr) {
    size_t held = 0;
    IoResult result = plain_->Look(sizeof kV2Signature, &bytes, &held);
    if (result == IoResult::kWouldBlock) return false;
    n = static_cast<ssize_t>(std::min(held, sizeof kV2Signature));
  } else {
    n = recv(socket_.get(), peeked, sizeof peeked, MSG_PEEK);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      return false;
    }
  }
  sniffed_ = true;
  // The channel sees the end or the fault; a trusted peer without a
  // header is a client itself.
  if (n <= 0) {
    if (trustedPeer_) id_ = Server::CountSession();
    return true;
  }
  size_t got = static_cast<size_t>(n);
  bool v2 = std::memcmp(bytes, kV2Signature, got) == 0;
  bool v1 =
      std::memcmp(bytes, kV1Signature, std::min(got, sizeof kV1Signature)) == 0;
  if (((v2 && got < sizeof kV2Signature) ||
       (v1 && got < sizeof kV1Signature)) &&
      (plain_ == nullptr || !plain_->HasEnded())) {
    sniffed_ = false;  // the rest comes within the deadline
    return false;
  }
  if (!v1 && !v2) {
    if (trustedPeer_) id_ = Server::CountSession();
    return true;
  }
  untrustedProxy_ = !trustedPeer_;
  proxyHeader_ = std::make_unique<ProxyHeaderParser>();
  phase_ = Phase::kProxyHeader;
  return true;
}

void GatewaySession::ProxyHeaderDone() {
  if (untrustedProxy_ &&
      proxyHeader_->GetResult() != ProxyHeaderParser::kInvalid) {
    // Its address is not believed; the request that follows is read and
    // answered, never run.
    log_ += GatewayTimeStamp();
    log_ += "TARPON SERVER refused IP(" + clientAddress_ +
            "): a PROXY header from an address that -proxy-from does not "
            "list: add the address to -proxy-from, or have the sender send "
            "none (tarpon-web -proxy-header off)\n";
    proxyHeader_.reset();
    phase_ = Phase::kHandshake;
    return;
  }
  switch (proxyHeader_->GetResult()) {
    case ProxyHeaderParser::kProxy: {
      via_ = clientAddress_;
      proxiedSource_ = proxyHeader_->GetSource();
      ownerDevice_ = proxyHeader_->GetOwnerDevice();
      operation_ = OperationOf(proxyHeader_->GetOperation());
      operationParts_ =
          operation_.empty() ? 0 : proxyHeader_->GetOperationParts();
      probe_ = proxyHeader_->IsProbe();
      char text[INET6_ADDRSTRLEN] = "";
      const void* address =
          proxiedSource_.ss_family == AF_INET
              ? static_cast<const void*>(
                    &reinterpret_cast<const sockaddr_in*>(&proxiedSource_)
                         ->sin_addr)
              : &reinterpret_cast<const sockaddr_in6*>(&proxiedSource_)
                     ->sin6_addr;
      inet_ntop(proxiedSource_.ss_family, address, text, sizeof text);
      clientAddress_ = text;
      id_ = Server::CountSession();
      phase_ = Phase::kHandshake;
      break;
    }
    case ProxyHeaderParser::kLocal:
    case ProxyHeaderParser::kUnknown:
      healthCheck_ = true;
      End();
      break;
    default:
      proxyRefused_ = true;
      log_ += GatewayTimeStamp();
      log_ += "TARPON SERVER refused IP(" + clientAddress_ +
              "): bad PROXY header (" + proxyHeader_->GetReason() + ")\n";
      End();
      break;
  }
  proxyHeader_.reset();
}

void GatewaySession::Handshake() {
  IoResult result = channel_->Handshake();
  if (result == IoResult::kWouldBlock) return;
  if (result == IoResult::kOk) {
    phase_ = Phase::kReceiving;
    handshakeDone_ = true;
    std::string agreed = channel_->Agreement();
    if (!agreed.empty()) LogLine(agreed);
  } else if (channel_->HasHandshake() && result == IoResult::kFailed) {
    Refuse(channel_->Failure());
  } else {
    RecordReadFailure(result);
    End();
  }
}

void GatewaySession::LogLine(const std::string& text) {
  LogSessionLine();
  log_ += text;
  log_ += "\n";
}

// Nothing the client sent reaches the engine. Our side is shut at once so
// that the client sees the end; its bytes are read and dropped until it
// closes too, or for a moment at most.
void GatewaySession::Refuse(const std::string& why) {
  LogLine("TLS refused: " + why);
  ending_ = Ending::kHandshakeRefused;
  shutdown(socket_.get(), SHUT_WR);
  phase_ = Phase::kClosing;
  int64_t until = clock_.NowMs() + kDrainMs;
  if (until < deadlineMs_) deadlineMs_ = until;
}

// A few chunks a step, so that a client that keeps sending cannot hold the
// loop; the next readiness brings the session back.
void GatewaySession::Drain() {
  char scratch[kDiscardChunk];
  for (int chunk = 0; chunk < kDrainChunksPerStep; ++chunk) {
    ssize_t n = recv(socket_.get(), scratch, sizeof scratch, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      End();
      return;
    }
  }
}

void GatewaySession::Receive() {
  char bytes[GATEWAY_REQUEST_BUFFER_SIZE];
  while (phase_ == Phase::kReceiving) {
    size_t wanted = assembler_.Wanted();
    if (wanted > sizeof bytes) wanted = sizeof bytes;
    size_t received = 0;
    IoResult result = channel_->ReadSome(bytes, wanted, &received);
    if (result == IoResult::kWouldBlock) return;
    if (result != IoResult::kOk) {
      // A reset may cut a request short: "-np hostile1" cut to "-np hos"
      // would set a password nobody asked for. A part never runs.
      RecordReadFailure(result);
      End();
      return;
    }
    assembler_.Take(bytes, received);
    // The bytes may carry a password; the assembler holds them now.
    WipeBytes(bytes, received);
    if (assembler_.IsDone()) RequestReceived();
  }
}

// The session's line ends with how its request was cut off.
void GatewaySession::RecordReadFailure(IoResult result) {
  if (result == IoResult::kClosed) {
    ending_ = Ending::kPeerClosed;
    LogLine("closed before a whole request");
  } else {
    lastError_ = channel_->GetError();
    LogLine(channel_->Failure() + " before a whole request");
  }
}

void GatewaySession::RequestReceived() {
  const long result = assembler_.GetResult();
  if (result == CommBase::COMM_OK && assembler_.IsEndOfConnection()) {
    ending_ = Ending::kEndRecord;
    LogLine("closed before a whole request");
    End();
    return;
  }
  LogSessionLine();
  if (untrustedProxy_) {
    LogReturnCode(GATEWAY_RC_PROXY_REFUSED);
    Reply(GATEWAY_RC_PROXY_REFUSED,
          "\nTARPON SERVER : PROXY header refused, not processed.\n");
    return;
  }
  if (result == CommBase::COMM_OK) {
    // The request's text ends at its first NUL.
    const char* data = assembler_.GetData();
    request_ = Secret(data, std::strlen(data));
    phase_ = Phase::kRunning;
    deadlineMs_ = kNoDeadline;
  } else if (result == CommBase::COMM_BUFFER_TOO_SMALL &&
             assembler_.GetDataLength() > 0) {
    // Read the refused data before replying, so that closing after the
    // reply does not reset the connection before the client has read it.
    discardLeft_ = assembler_.GetDataLength();
    phase_ = Phase::kDiscarding;
  } else {
    // A bad version, an unknown record type, another status or a record
    // length below the header's own: the request data are never run.
    request_.Wipe();
    phase_ = Phase::kRunning;
    deadlineMs_ = kNoDeadline;
  }
}

void GatewaySession::Discard() {
  char scratch[kDiscardChunk];
  while (discardLeft_ > 0) {
    size_t wanted =
        discardLeft_ < sizeof scratch ? discardLeft_ : sizeof scratch;
    size_t received = 0;
    IoResult result = channel_->ReadSome(scratch, wanted, &received);
    if (result == IoResult::kWouldBlock) return;
    if (result != IoResult::kOk) {
      if (result == IoResult::kClosed) ending_ = Ending::kPeerClosed;
      lastError_ = channel_->GetError();
      LogReturnCode(kTooLongReturnCode);
      End();
      return;
    }
    discardLeft_ -= static_cast<uint32_t>(received);
  }
  LogReturnCode(kTooLongReturnCode);
  Reply(kTooLongReturnCode, kTooLongText);
}

void GatewaySession::LogReturnCode(int returnCode) {
  log_ += "tarponRc(";
  log_ += std::to_string(returnCode);
  log_ += ") \n";
}

void GatewaySession::LogSessionLine() {
  log_ += GatewayTimeStamp();
  log_ += "Session id(";
  log_ += std::to_string(id_);
  log_ += ") IP(";
  log_ += clientAddress_;
  if (!via_.empty()) {
    log_ += ") via(";
    log_ += via_;
  }
  if (!operation_.empty()) {
    log_ += ") op(";
    log_ += operation_;
  }
  log_ += ") ";
}

void GatewaySession::Answer(const EngineRun& run) {
  owner_.Check();
  if (phase_ != Phase::kRunning) return;
  hasRun_ = true;
  returnCode_ = run.returnCode;
  log_ += run.logText;
  LogReturnCode(run.returnCode);
  for (const std::string& note : run.notes) {
    log_ += GatewayTimeStamp();
    log_ += note;
    log_ += "\n";
  }
  Reply(run.returnCode, run.text);
}

void GatewaySession::Abandon(const std::string& why) {
  owner_.Check();
  if (phase_ != Phase::kRunning) return;
  log_ += why;
  log_ += "\n";
  End();
}

void GatewaySession::Reply(int returnCode, const std::string& text) {
  char returnCodeText[record_format::kUserDataLength];
  record_format::EncodeReturnCode(returnCode, returnCodeText);
  // An empty text gives no record: a data record always carries data.
  reply_ = record_format::EncodeDataRecord(
      returnCodeText, text.data(),
      text.size() > record_format::kMaxDataLength
          ? 0
          : static_cast<uint32_t>(text.size()));
  replySent_ = 0;
  if (reply_.empty()) {
    End();
    return;
  }
  phase_ = Phase::kSending;
  deadlineMs_ = clock_.NowMs() + timeoutMs_;
}

void GatewaySession::Send() {
  while (replySent_ < reply_.size()) {
    size_t sent = 0;
    IoResult result = channel_->WriteSome(reply_.data() + replySent_,
                                          reply_.size() - replySent_, &sent);
    if (result == IoResult::kWouldBlock) return;
    if (result != IoResult::kOk) {
      lastError_ = channel_->GetError();
      break;
    }
    replySent_ += sent;
  }
  if (replySent_ == reply_.size()) channel_->Close();
  End();
}

void GatewaySession::Expire() {
  owner_.Check();
  if (phase_ == Phase::kProxyHeader) {
    proxyHeader_->EndOfInput();
    ProxyHeaderDone();
    return;
  }
  if (phase_ == Phase::kHandshake && channel_->HasHandshake()) {
    handshakeTimedOut_ = true;
    LogLine("TLS refused: no TLS handshake within the deadline");
  } else if (phase_ != Phase::kClosing && IsAwaitingRequest()) {
    ending_ = Ending::kTimedOut;
    lastError_ = EAGAIN;
    if (phase_ == Phase::kDiscarding) {
      LogReturnCode(kTooLongReturnCode);
    } else {
      const int seconds = timeoutMs_ / 1000;
      LogLine("no whole request within " + std::to_string(seconds) +
              (seconds == 1 ? " second" : " seconds"));
    }
  }
  End();
}

void GatewaySession::End() {
  if (phase_ == Phase::kEnded) return;
  phase_ = Phase::kEnded;
  if (ending_ == Ending::kTimedOut) {
    std::ostringstream dump;
    dump << GatewayTimeStamp() << "Session id(" << id_
         << ") ended abnormally\n\n";
    Print(dump);
    dump << std::endl;
    log_ += dump.str();
  }
}
