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

#include "comm/record_format.h"
#include "comm/tls.h"
#include "trace/trace.h"

namespace {

using namespace record_format;

void fill_header(char* header, char type) {
  header[kTypeOffset] = type;
  header[3] = 0;
  std::memcpy(header + kVersionOffset, kVersion, sizeof kVersion);
}

}  // namespace

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
    tls_->Shutdown();
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
  std::memset(block.get(), 0, RECORD_HEADER_LENGTH);
  SetRecordLength(block.get(), recordLength);
  fill_header(block.get(), kDataRecord);
  std::memcpy(block.get() + kUserDataOffset, userData_, sizeof userData_);
  std::memcpy(block.get() + RECORD_HEADER_LENGTH, data, length);
  if (SendData(block.get(), recordLength) != COMM_OK) result = COMM_FAILED;
  return result;
}

long Connection::SendStatus(uint8_t status) {
  long result = 0;
  TraceScope scope("Connection::SendStatus(status)", &result, TRACE_OFF);
  char header[RECORD_HEADER_LENGTH] = {};
  SetRecordLength(header, RECORD_HEADER_LENGTH);
  fill_header(header, kStatusRecord);
  header[kStatusOffset] = static_cast<char>(status);
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
  uint16_t field = htons(static_cast<uint16_t>(recordLength));
  std::memcpy(header, &field, sizeof field);
  return result;
}

long Connection::GetRecordLength(const char* header, uint32_t* dataLength) {
  long result = 0;
  TraceScope scope("Connection::GetRecordLength(header,&length)", &result,
                   TRACE_OFF);
  uint16_t field = 0;
  std::memcpy(&field, header, sizeof field);
  *dataLength = static_cast<uint32_t>(ntohs(field)) - RECORD_HEADER_LENGTH;
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
  if (std::memcmp(header + kVersionOffset, kVersion, sizeof kVersion) != 0) {
    result = COMM_FAILED;
    return result;
  }
  switch (header[kTypeOffset]) {
    case kDataRecord: {
      uint16_t field = 0;
      std::memcpy(&field, header, sizeof field);
      // A record length below the header's own would wrap to a huge data
      // length; refuse it before any read.
      if (ntohs(field) < RECORD_HEADER_LENGTH) {
        result = COMM_BUFFER_TOO_SMALL;
        return result;
      }
      if (bufferLength < length) {
        *dataLength = length;
        result = COMM_BUFFER_TOO_SMALL;
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
    case kStatusRecord:
      result = StatusReceived(static_cast<uint8_t>(header[kStatusOffset]));
      return result;
    default:
      result = COMM_FAILED;
      return result;
  }
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
  if (tls_) {
    result = SendTls(data, length, bytesSent);
    return result;
  }
  ssize_t sent;
  // MSG_NOSIGNAL: a peer that has gone gives EPIPE instead of a signal that
  // would end the process.
  do {
    sent = send(socket_, data, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    RecordError(errno);
    result = COMM_FAILED;
    return result;
  }
  *bytesSent = static_cast<uint32_t>(sent);
  return result;
}

long Connection::Receive(char* buffer, uint32_t bufferLength,
                         uint32_t* bytesReceived) {
  long result = 0;
  TraceScope scope("Connection::Receive(buffer,bufferLength,&bytesReceived)",
                   &result, TRACE_OFF);
  *bytesReceived = 0;
  if (tls_) {
    result = ReceiveTls(buffer, bufferLength, bytesReceived);
    return result;
  }
  ssize_t received;
  do {
    if (receiveDeadlineMs_ != 0 && !WaitWithinDeadline(SO_RCVTIMEO)) {
      received = -1;
      errno = EAGAIN;
      break;
    }
    received = recv(socket_, buffer, bufferLength, 0);
  } while (received < 0 && errno == EINTR);
  if (received == 0) {
    state_ = STATE_CONNECTION_CLOSED;
    reason_ = REASON_SEND_FAILED;
    result = COMM_FAILED;
    return result;
  }
  if (received < 0) {
    int error = errno;
    RecordError(error);
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // Only a receive timeout makes a blocking socket answer so.
      state_ = STATE_ERROR;
      reason_ = REASON_RECEIVE_TIMED_OUT;
    }
    result = COMM_FAILED;
    return result;
  }
  *bytesReceived = static_cast<uint32_t>(received);
  return result;
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

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void Connection::SetReceiveDeadline(int seconds) {
  TraceScope scope("Connection::SetReceiveDeadline(seconds)", TRACE_OFF);
  receiveDeadlineMs_ =
      seconds > 0 ? SteadyMs() + static_cast<int64_t>(seconds) * 1000 : 0;
}

bool Connection::WaitWithinDeadline(int timeoutOption) {
  int64_t left = receiveDeadlineMs_ - SteadyMs();
  if (left <= 0) return false;
  timeval timeout = {};
  timeout.tv_sec = static_cast<time_t>(left / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((left % 1000) * 1000);
  return setsockopt(socket_, SOL_SOCKET, timeoutOption, &timeout,
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
      int64_t left = receiveDeadlineMs_ - SteadyMs();
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

long Connection::SendTls(const char* data, uint32_t length,
                         uint32_t* bytesSent) {
  for (;;) {
    size_t count = 0;
    int status = tls_->Write(data, length, &count);
    if (status == TlsSession::TLS_DONE) {
      *bytesSent = static_cast<uint32_t>(count);
      return COMM_OK;
    }
    if (status == TlsSession::TLS_CLOSED) {
      RecordError(EPIPE);
      return COMM_FAILED;
    }
    if (status == TlsSession::TLS_FAILED) return TlsFailed(tls_->Failure());
    if (!PollWithinDeadline(status == TlsSession::TLS_WANT_READ ? POLLIN
                                                                : POLLOUT)) {
      RecordError(ETIMEDOUT);
      return COMM_FAILED;
    }
  }
}

long Connection::ReceiveTls(char* buffer, uint32_t bufferLength,
                            uint32_t* bytesReceived) {
  // A receive of 0 bytes reports a close, as a clear receive does.
  while (bufferLength > 0) {
    size_t count = 0;
    int status = tls_->Read(buffer, bufferLength, &count);
    if (status == TlsSession::TLS_DONE) {
      *bytesReceived = static_cast<uint32_t>(count);
      return COMM_OK;
    }
    if (status == TlsSession::TLS_CLOSED) break;
    if (status == TlsSession::TLS_FAILED) return TlsFailed(tls_->Failure());
    if (!PollWithinDeadline(status == TlsSession::TLS_WANT_READ ? POLLIN
                                                                : POLLOUT)) {
      RecordError(EAGAIN);
      state_ = STATE_ERROR;
      reason_ = REASON_RECEIVE_TIMED_OUT;
      return COMM_FAILED;
    }
  }
  // As a peer's close of a clear connection.
  state_ = STATE_CONNECTION_CLOSED;
  reason_ = REASON_SEND_FAILED;
  return COMM_FAILED;
}

long Connection::CreateSocket() {
  socket_ = socket(AF_INET, SOCK_STREAM, 0);
  // Descriptor 0 is a socket like any other (standard input was closed).
  if (socket_ >= 0) return COMM_OK;
  int error = errno;
  socket_ = NO_SOCKET;
  state_ = STATE_ERROR;
  RecordError(error);
  reason_ = REASON_SOCKET_FAILED;
  return COMM_FAILED;
}

void Connection::Print() const { Print(std::cout); }

void Connection::Print(std::ostream& os) const { PrintConnectionLines(os); }

void Connection::PrintConnectionLines(std::ostream& os) const {
  os << "Connection object state ............: " << state_ << " ( "
     << StateName(state_) << " ) \n"
     << "Reason code for state ..............: " << reason_ << " ( "
     << ReasonName(reason_) << " ) \n"
     << "Socket number ......................: " << socket_ << "\n"
     << "Last external API (TCP/IP) rc ......: " << lastApiRc_ << std::endl;
}

std::ostream& operator<<(std::ostream& os, const Connection& connection) {
  connection.Print(os);
  return os;
}
