#include "comm/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>

#include "comm/byte_channel.h"
#include "comm/clock.h"
#include "comm/record_format.h"
#include "comm/tls.h"
#include "contract/secret.h"
#include "trace/trace.h"

using namespace record_format;

Connection::Connection() : socket_(NO_SOCKET), bytesReceived_(0) {
  TraceScope scope("Connection::Connection", TRACE_OFF);
  std::memset(userData_, 0, sizeof userData_);
  Open();
}

Connection::~Connection() {
  TraceScope scope("Connection::~Connection", TRACE_OFF);
  CloseSocket();
}

long Connection::Open() {
  long result = 0;
  TraceScope scope("Connection::Open", &result, TRACE_OFF);
  state_ = STATE_INIT;
  reason_ = REASON_OK;
  return result;
}

long Connection::CloseSocket() {
  long result = 0;
  TraceScope scope("Connection::CloseSocket()", &result, TRACE_OFF);
  if (socket_ == NO_SOCKET) {
    result = NO_SOCKET;
    return result;
  }
  if (tls_) {
    tls_->Close();
    tls_.reset();
  }
  close(socket_);
  socket_ = NO_SOCKET;
  return result;
}

long Connection::SendRecord(const char* text) {
  long result = 0;
  TraceScope scope("Connection::SendRecord(char*data)", &result, TRACE_OFF);
  if (text == nullptr) {
    result = COMM_FAILED;
    return result;
  }
  size_t length = std::strlen(text);
  if (length > MAX_DATA_LENGTH) {
    result = COMM_FAILED;
    return result;
  }
  result = SendRecord(text, static_cast<uint32_t>(length));
  return result;
}

long Connection::SendRecord(const char* data, uint32_t length) {
  long result = 0;
  TraceScope scope("Connection::SendRecord(char*data,length)", &result,
                   TRACE_OFF);
  // The record length field cannot describe more than MAX_DATA_LENGTH.
  if (length == 0 || length > MAX_DATA_LENGTH || data == nullptr) {
    result = COMM_FAILED;
    return result;
  }
  uint32_t recordLength = RECORD_HEADER_LENGTH + length;
  std::unique_ptr<char[]> block(new (std::nothrow) char[recordLength]);
  if (!block) {
    result = COMM_NO_MEMORY;
    return result;
  }
  EncodeHeader(block.get(), kDataRecord, recordLength);
  SetRecordLength(block.get(), recordLength);
  std::memcpy(block.get() + kUserDataOffset, userData_, sizeof userData_);
  std::memcpy(block.get() + RECORD_HEADER_LENGTH, data, length);
  if (SendData(block.get(), recordLength) != COMM_OK) result = COMM_FAILED;
  // The record may carry a password.
  WipeBytes(block.get(), recordLength);
  return result;
}

long Connection::SendStatus(uint8_t status) {
  long result = 0;
  TraceScope scope("Connection::SendStatus(status)", &result, TRACE_OFF);
  char header[RECORD_HEADER_LENGTH];
  EncodeStatusRecord(header, status);
  SetRecordLength(header, RECORD_HEADER_LENGTH);
  if (SendData(header, RECORD_HEADER_LENGTH) != COMM_OK) result = COMM_FAILED;
  return result;
}

long Connection::SendData(const char* data, uint32_t length) {
  long result = 0;
  TraceScope scope("Connection::SendData(data,length)", &result, TRACE_OFF);
  if (length == 0) {
    result = COMM_FAILED;
    return result;
  }
  uint32_t total = 0;
  while (total < length) {
    uint32_t sent = 0;
    if (Send(data + total, length - total, &sent) != COMM_OK) {
      result = COMM_FAILED;
      return result;
    }
    total += sent;
  }
  return result;
}

long Connection::SetRecordLength(char* header, uint32_t recordLength) {
  long result = 0;
  TraceScope scope("Connection::SetRecordLength(header,length)", &result,
                   TRACE_OFF);
  SetLengthField(header, recordLength);
  return result;
}

long Connection::GetRecordLength(const char* header, uint32_t* dataLength) {
  long result = 0;
  TraceScope scope("Connection::GetRecordLength(header,&length)", &result,
                   TRACE_OFF);
  *dataLength = LengthField(header) - RECORD_HEADER_LENGTH;
  return result;
}

long Connection::ReceiveRecord(char* buffer) {
  long result = 0;
  TraceScope scope("Connection::ReceiveRecord(buffer)", &result, TRACE_OFF);
  uint32_t dataLength = 0;
  result = ReceiveRecord(buffer, MAX_DATA_LENGTH, &dataLength);
  return result;
}

long Connection::ReceiveRecord(char* buffer, uint32_t bufferLength,
                               uint32_t* dataLength) {
  long result = 0;
  TraceScope scope("Connection::ReceiveRecord(buffer,bufferLength,&dataLength)",
                   &result, TRACE_OFF);
  uint32_t ignored = 0;
  if (dataLength == nullptr) dataLength = &ignored;
  *dataLength = 0;
  // One byte more for the terminator that ReceiveData stores.
  char header[RECORD_HEADER_LENGTH + 1];
  if (ReceiveData(header, RECORD_HEADER_LENGTH, RECORD_HEADER_LENGTH) !=
      COMM_OK) {
    result = COMM_FAILED;
    return result;
  }
  uint32_t length = 0;
  GetRecordLength(header, &length);
  HeaderVerdict verdict = JudgeHeader(header, bufferLength, &length);
  result = ResultOf(verdict);
  switch (verdict) {
    case HeaderVerdict::kTooLong:
      // The caller may read and drop the data still waiting.
      *dataLength = length;
      return result;
    case HeaderVerdict::kEndOfConnection:
    case HeaderVerdict::kOtherStatus:
      result = StatusReceived(static_cast<uint8_t>(header[kStatusOffset]));
      return result;
    case HeaderVerdict::kData:
      break;
    default:
      return result;
  }
  if (buffer == nullptr) {
    result = COMM_FAILED;
    return result;
  }
  std::memcpy(userData_, header + kUserDataOffset, sizeof userData_);
  if (ReceiveData(buffer, bufferLength, length) != COMM_OK) {
    result = COMM_FAILED;
    return result;
  }
  *dataLength = bytesReceived_;
  return result;
}

long Connection::StatusReceived(uint8_t status) {
  long result = 0;
  TraceScope scope("Connection::StatusReceived(status)", &result, TRACE_OFF);
  if (status == 0) {
    state_ = STATE_CONNECTION_CLOSED;
  } else {
    result = COMM_FAILED;
  }
  return result;
}

long Connection::ReceiveData(char* buffer, uint32_t bufferLength,
                             uint32_t dataLength) {
  long result = 0;
  TraceScope scope("Connection::ReceiveData(buffer,bufferLength,dataLength)",
                   &result, TRACE_OFF);
  if (bufferLength < dataLength) {
    result = COMM_BUFFER_TOO_SMALL;
    return result;
  }
  // At least one receive, even for no data: a data record without data is
  // never sent, and the receive of 0 bytes reports it as a failure.
  uint32_t total = 0;
  do {
    uint32_t received = 0;
    if (Receive(buffer + total, dataLength - total, &received) != COMM_OK) {
      result = COMM_FAILED;
      return result;
    }
    total += received;
  } while (total < dataLength);
  bytesReceived_ = total;
  buffer[dataLength] = '\0';
  return result;
}

void Connection::SetUserData(const char* data) {
  TraceScope scope("Connection::SetUserData(data)", TRACE_OFF);
  std::memcpy(userData_, data, sizeof userData_);
}

char* Connection::GetUserData() {
  TraceScope scope("Connection::GetUserData", TRACE_OFF);
  return userData_;
}

long Connection::Send(const char* data, uint32_t length, uint32_t* bytesSent) {
  long result = 0;
  TraceScope scope("Connection::Send(data,dataLength,&bytesSent)", &result,
                   TRACE_OFF);
  *bytesSent = 0;
  PlainChannel plain(socket_);
  ByteChannel& channel = tls_ ? static_cast<ByteChannel&>(*tls_) : plain;
  for (;;) {
    size_t sent = 0;
    IoResult io = channel.WriteSome(data, length, &sent);
    if (io == IoResult::kOk) {
      *bytesSent = static_cast<uint32_t>(sent);
      return result;
    }
    result = COMM_FAILED;
    if (io == IoResult::kWouldBlock && !tls_) {
      // A blocking socket answers so only when its send timeout expired.
      RecordError(EAGAIN);
    } else if (io == IoResult::kWouldBlock) {
      if (PollWithinDeadline(channel.WantsWrite() ? POLLOUT : POLLIN)) {
        result = COMM_OK;
        continue;
      }
      RecordError(ETIMEDOUT);
    } else if (io == IoResult::kClosed) {
      RecordError(EPIPE);
    } else if (channel.HasHandshake()) {
      TlsFailed(channel.Failure());
    } else {
      RecordError(channel.GetError());
    }
    return result;
  }
}

long Connection::Receive(char* buffer, uint32_t bufferLength,
                         uint32_t* bytesReceived) {
  long result = 0;
  TraceScope scope("Connection::Receive(buffer,bufferLength,&bytesReceived)",
                   &result, TRACE_OFF);
  *bytesReceived = 0;
  PlainChannel plain(socket_);
  ByteChannel& channel = tls_ ? static_cast<ByteChannel&>(*tls_) : plain;
  for (;;) {
    // A blocking socket under a deadline waits for its bytes first.
    if (!tls_ && receiveDeadlineMs_ != 0 && !PollWithinDeadline(POLLIN)) {
      result = TimedOut();
      return result;
    }
    size_t received = 0;
    IoResult io = bufferLength == 0
                      ? IoResult::kClosed
                      : channel.ReadSome(buffer, bufferLength, &received);
    if (io == IoResult::kOk) {
      *bytesReceived = static_cast<uint32_t>(received);
      return result;
    }
    if (io == IoResult::kWouldBlock && tls_ &&
        PollWithinDeadline(channel.WantsWrite() ? POLLOUT : POLLIN)) {
      continue;
    }
    if (io == IoResult::kWouldBlock) {
      // A blocking socket answers so only when its receive timeout expired.
      result = TimedOut();
    } else if (io == IoResult::kClosed) {
      state_ = STATE_CONNECTION_CLOSED;
      reason_ = REASON_SEND_FAILED;
      result = COMM_FAILED;
    } else if (channel.HasHandshake()) {
      result = TlsFailed(channel.Failure());
    } else {
      RecordError(channel.GetError());
      result = COMM_FAILED;
    }
    return result;
  }
}

long Connection::TimedOut() {
  RecordError(EAGAIN);
  state_ = STATE_ERROR;
  reason_ = REASON_RECEIVE_TIMED_OUT;
  return COMM_FAILED;
}

long Connection::SetOneOption(int optionName, int optionLevel) {
  long result = 0;
  TraceScope scope("Connection::SetOneOption(optionName,optionLevel)", &result,
                   TRACE_OFF);
  int32_t value = 1;
  if (setsockopt(socket_, optionLevel, optionName, &value, sizeof value) != 0) {
    result = COMM_FAILED;
  }
  return result;
}

long Connection::SetReceiveTimeout(int seconds) {
  long result = 0;
  TraceScope scope("Connection::SetReceiveTimeout(seconds)", &result,
                   TRACE_OFF);
  timeval timeout = {};
  timeout.tv_sec = seconds > 0 ? seconds : 0;
  if (setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) !=
      0) {
    RecordError(errno);
    result = COMM_FAILED;
  }
  return result;
}

void Connection::SetReceiveDeadline(int seconds) {
  TraceScope scope("Connection::SetReceiveDeadline(seconds)", TRACE_OFF);
  receiveDeadlineMs_ = seconds > 0 ? Clock::Steady().NowMs() +
                                         static_cast<int64_t>(seconds) * 1000
                                   : 0;
}

bool Connection::LimitConnectToDeadline() {
  int64_t left = receiveDeadlineMs_ - Clock::Steady().NowMs();
  if (left <= 0) return false;
  timeval timeout = {};
  timeout.tv_sec = static_cast<time_t>(left / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((left % 1000) * 1000);
  return setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout,
                    sizeof timeout) == 0;
}

void Connection::UseTls(std::unique_ptr<TlsSession> session) {
  TraceScope scope("Connection::UseTls(session)", TRACE_OFF);
  int flags = fcntl(socket_, F_GETFL);
  if (flags >= 0) fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
  tls_ = std::move(session);
}

bool Connection::PollWithinDeadline(short events) {
  pollfd ready = {socket_, events, 0};
  for (;;) {
    int waitMs = -1;
    if (receiveDeadlineMs_ != 0) {
      int64_t left = receiveDeadlineMs_ - Clock::Steady().NowMs();
      if (left <= 0) return false;
      waitMs = static_cast<int>(left);
    }
    int count = poll(&ready, 1, waitMs);
    if (count > 0) return true;
    if (count < 0 && errno != EINTR) return true;  // the next call fails
  }
}

long Connection::TlsFailed(const std::string& reason) {
  state_ = STATE_ERROR;
  reason_ = REASON_TLS_FAILED;
  tlsFailure_ = reason;
  return COMM_FAILED;
}

long Connection::Fail(int reason, int error) {
  state_ = STATE_ERROR;
  reason_ = reason;
  RecordError(error);
  return COMM_FAILED;
}

long Connection::CreateSocket(int family) {
  socket_ = socket(family, SOCK_STREAM, 0);
  // Descriptor 0 is a socket like any other (standard input was closed).
  if (socket_ >= 0) return COMM_OK;
  int error = errno;
  socket_ = NO_SOCKET;
  return Fail(REASON_SOCKET_FAILED, error);
}

void Connection::Print() const { Print(std::cout); }

void Connection::Print(std::ostream& os) const { PrintConnectionLines(os); }

void Connection::PrintConnectionLines(std::ostream& os) const {
  ::PrintConnectionLines(os, *this, socket_);
}

void PrintConnectionLines(std::ostream& os, const CommBase& status,
                          int socket) {
  os << "Connection object state ............: " << status.GetState() << " ( "
     << status.GetStateName() << " ) \n"
     << "Reason code for state ..............: " << status.GetReason() << " ( "
     << status.GetReasonName() << " ) \n"
     << "Socket number ......................: " << socket << "\n"
     << "Last external API (TCP/IP) rc ......: " << status.GetLastApiRc()
     << std::endl;
}

std::ostream& operator<<(std::ostream& os, const Connection& connection) {
  connection.Print(os);
  return os;
}
