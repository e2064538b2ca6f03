#include "gateway/gateway_session.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "comm/gateway_protocol.h"
#include "engine/tarpon.h"
#include "gateway/gateway_log.h"
#include "gateway/gateway_server.h"
#include "trace/trace.h"

namespace {

const char kEngineOptions[] = " -log -noterm";
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

// A stream buffer that appends what is written to a string.
class AppendingBuffer : public std::streambuf {
 public:
  explicit AppendingBuffer(std::string* text) : text_(text) {}

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) text_->push_back(static_cast<char>(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* data, std::streamsize length) override {
    text_->append(data, static_cast<size_t>(length));
    return length;
  }

 private:
  std::string* text_;
};

}  // namespace

int64_t GatewaySession::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

GatewaySession::GatewaySession(const ExportClient& client, int timeoutSeconds,
                               bool nonBlocking)
    : Server(client),
      id_(GetSessionId()),
      timeoutMs_(timeoutSeconds * 1000),
      deadlineMs_(NowMs() + timeoutMs_),
      assembler_(GATEWAY_MAX_REQUEST_LENGTH) {
  std::memcpy(clientAddress_, client.clientAddress,
              sizeof client.clientAddress);
  clientAddress_[sizeof client.clientAddress] = '\0';
  if (!IsGood()) {
    phase_ = Phase::kEnded;
    return;
  }
  if (!nonBlocking) {
    int flags = fcntl(socket_, F_GETFL);
    if (flags >= 0) fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
  }
  channel_ = std::make_unique<PlainChannel>(socket_);
}

GatewaySession::~GatewaySession() = default;

void GatewaySession::Print(std::ostream& os) const {
  static const char kIdLabel[] = "Session id  (if established) .......: ";
  std::ostringstream dump;
  Server::Print(dump);
  std::string text = dump.str();
  size_t at = text.find(kIdLabel);
  if (at != std::string::npos) {
    at += sizeof kIdLabel - 1;
    text.replace(at, text.find('\n', at) - at, std::to_string(id_));
  }
  os << text << std::flush;
}

void GatewaySession::Print() const { Print(std::cout); }

void GatewaySession::SetChannel(std::unique_ptr<ByteChannel> channel) {
  if (!IsEnded()) channel_ = std::move(channel);
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
  if (phase_ == Phase::kHandshake) {
    IoResult result = channel_->Handshake();
    if (result == IoResult::kWouldBlock) return;
    if (result == IoResult::kOk) {
      phase_ = Phase::kReceiving;
      std::string agreed = channel_->Agreement();
      if (!agreed.empty()) LogLine(agreed);
    } else if (!channel_->Refusal().empty()) {
      Refuse(channel_->Refusal());
    } else {
      if (result == IoResult::kFailed) RecordError(channel_->GetError());
      LogSessionLine();
      End();
    }
  }
  if (phase_ == Phase::kReceiving) Receive();
  if (phase_ == Phase::kDiscarding) Discard();
  if (phase_ == Phase::kSending) Send();
  if (phase_ == Phase::kClosing) Drain();
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
  state_ = STATE_CONNECTION_CLOSED;
  reason_ = REASON_TLS_FAILED;
  shutdown(socket_, SHUT_WR);
  phase_ = Phase::kClosing;
  int64_t until = NowMs() + kDrainMs;
  if (until < deadlineMs_) deadlineMs_ = until;
}

// A few chunks a step, so that a client that keeps sending cannot hold the
// loop; the next readiness brings the session back.
void GatewaySession::Drain() {
  char scratch[kDiscardChunk];
  for (int chunk = 0; chunk < kDrainChunksPerStep; ++chunk) {
    ssize_t n = recv(socket_, scratch, sizeof scratch, 0);
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
      LogSessionLine();
      End();
      return;
    }
    assembler_.Take(bytes, received);
    if (assembler_.IsDone()) RequestReceived();
  }
}

void GatewaySession::RecordReadFailure(IoResult result) {
  if (result == IoResult::kClosed) {
    state_ = STATE_CONNECTION_CLOSED;
    reason_ = REASON_SEND_FAILED;
  } else {
    RecordError(channel_->GetError());
  }
}

void GatewaySession::RequestReceived() {
  LogSessionLine();
  const long result = assembler_.GetResult();
  if (result == COMM_OK && assembler_.IsEndOfConnection()) {
    state_ = STATE_CONNECTION_CLOSED;
    End();
  } else if (result == COMM_OK) {
    RunEngine(assembler_.GetData());
  } else if (result == COMM_BUFFER_TOO_SMALL &&
             assembler_.GetDataLength() > 0) {
    // Read the refused data before replying, so that closing after the
    // reply does not reset the connection before the client has read it.
    discardLeft_ = assembler_.GetDataLength();
    phase_ = Phase::kDiscarding;
  } else {
    // A bad version, an unknown record type, another status or a record
    // length below the header's own: the request data are never run.
    RunEngine("");
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
      RecordReadFailure(result);
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
  log_ += ") ";
}

void GatewaySession::RunEngine(const char* data) {
  // A request may not change the gateway's own logging: its trace switch
  // counts only when the gateway itself traces.
  std::string options = tracing() || std::strstr(data, "ftrace") == nullptr
                            ? std::string(data)
                            : WithoutTraceSwitch(data);
  char request[GATEWAY_REQUEST_BUFFER_SIZE];
  std::snprintf(request, sizeof request, "%s%s", options.c_str(),
                kEngineOptions);
  int returnCode = 0;
  std::string text;
  {
    // The engine's log record and trace lines belong to this session.
    AppendingBuffer sessionLog(&log_);
    std::streambuf* savedLog = trace_log().rdbuf(&sessionLog);
    // One capture buffer serves every run: the engine runs one at a time.
    static std::stringbuf captured;
    captured.str(std::string());
    std::streambuf* savedOut = std::cout.rdbuf(&captured);
    returnCode = run_command_line(request);
    std::cout.rdbuf(savedOut);
    trace_log().rdbuf(savedLog);
    text = captured.str();
    text.resize(std::strlen(text.c_str()));
  }
  hasRun_ = true;
  returnCode_ = returnCode;
  LogReturnCode(returnCode);
  Reply(returnCode, text);
}

void GatewaySession::Reply(int returnCode, const std::string& text) {
  char returnCodeText[USER_DATA_LENGTH] = {};
  std::snprintf(returnCodeText, sizeof returnCodeText, "%4.4d", returnCode);
  SetUserData(returnCodeText);
  // An empty text gives no record: a data record always carries data.
  reply_ = BuildDataRecord(
      GetUserData(), text.data(),
      text.size() > MAX_DATA_LENGTH ? 0 : static_cast<uint32_t>(text.size()));
  replySent_ = 0;
  if (reply_.empty() || !IsGood()) {
    End();
    return;
  }
  phase_ = Phase::kSending;
  deadlineMs_ = NowMs() + timeoutMs_;
}

void GatewaySession::Send() {
  while (replySent_ < reply_.size()) {
    size_t sent = 0;
    IoResult result = channel_->WriteSome(reply_.data() + replySent_,
                                          reply_.size() - replySent_, &sent);
    if (result == IoResult::kWouldBlock) return;
    if (result != IoResult::kOk) {
      RecordError(channel_->GetError());
      break;
    }
    replySent_ += sent;
  }
  if (replySent_ == reply_.size()) channel_->Close();
  End();
}

void GatewaySession::Expire() {
  if (phase_ == Phase::kHandshake && channel_->HasHandshake()) {
    LogLine("TLS refused: no TLS handshake within the deadline");
  } else if (phase_ != Phase::kClosing && IsAwaitingRequest()) {
    state_ = STATE_ERROR;
    reason_ = REASON_RECEIVE_TIMED_OUT;
    RecordError(EAGAIN);
    if (phase_ == Phase::kDiscarding) {
      LogReturnCode(kTooLongReturnCode);
    } else {
      LogSessionLine();
    }
  }
  End();
}

void GatewaySession::End() {
  if (phase_ == Phase::kEnded) return;
  phase_ = Phase::kEnded;
  if (IsInError()) {
    std::ostringstream dump;
    dump << GatewayTimeStamp() << "Session id(" << id_
         << ") ended abnormally\n\n"
         << *this << std::endl;
    log_ += dump.str();
  }
}

std::string WithoutTraceSwitch(const std::string& request) {
  std::string result;
  size_t at = 0;
  while (at < request.size()) {
    size_t begin = at;
    while (at < request.size() &&
           !std::isspace(static_cast<unsigned char>(request[at]))) {
      ++at;
    }
    std::string word = request.substr(begin, at - begin);
    if (!IsSwitch(word.c_str(), "ftrace")) result += word;
    while (at < request.size() &&
           std::isspace(static_cast<unsigned char>(request[at]))) {
      result += request[at++];
    }
  }
  return result;
}
