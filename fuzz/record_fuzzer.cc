// The record receiver on fuzzed bytes: the bounded ReceiveRecord reads
// records from one end of a socket pair until it fails, while the other end
// has sent the input and closed. Every result is compared with what the
// record format says the bytes hold.
//
// The record assembler gets the same stream in pieces of a fuzzed size and
// must agree, but for a data record without data, which it completes.
//
// Input: one byte that picks the caller's buffer (1, 86, 4096 or 65,491
// data bytes) and the assembler's piece size, then the byte stream.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "comm/export_client.h"
#include "comm/record_assembler.h"
#include "comm/server.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr uint32_t kHeader = Connection::RECORD_HEADER_LENGTH;

// What the next ReceiveRecord must give for the stream at "*position", and
// where the stream stands after it.
struct Expected {
  long result = 0;
  uint32_t dataLength = 0;
  bool closed = false;  // the connection is then STATE_CONNECTION_CLOSED
  bool stop = false;    // the stream is used up; nothing more to read
  size_t dataOffset = 0;
  // The header's user data replace ours once a data record's size passed,
  // even when its data then fail to arrive.
  const uint8_t* userData = nullptr;
};

Expected Predict(const uint8_t* stream, size_t size, size_t* position,
                 uint32_t capacity) {
  Expected e;
  size_t left = size - *position;
  if (left < kHeader) {
    // The peer closes before the header is complete.
    e.result = 8;
    e.closed = true;
    e.stop = true;
    *position = size;
    return e;
  }
  const uint8_t* header = stream + *position;
  *position += kHeader;
  uint32_t recordLength = (header[0] << 8) | header[1];
  if (std::memcmp(header + 4, "01.0", 4) != 0) {
    e.result = 8;
    return e;
  }
  if (header[2] == 'S') {
    e.result = header[8] == 0 ? 0 : 8;
    e.closed = header[8] == 0;
    return e;
  }
  if (header[2] != 'D') {
    e.result = 8;
    return e;
  }
  if (recordLength < kHeader) {
    e.result = 12;
    return e;
  }
  uint32_t dataLength = recordLength - kHeader;
  if (dataLength > capacity) {
    e.result = 12;
    e.dataLength = dataLength;
    return e;
  }
  e.userData = header + 8;
  if (dataLength == 0 || size - *position < dataLength) {
    // A record without data, or data cut short by the close.
    e.result = 8;
    e.closed = true;
    e.stop = size - *position < dataLength || dataLength == 0;
    if (size - *position < dataLength) *position = size;
    return e;
  }
  e.result = 0;
  e.dataLength = dataLength;
  e.dataOffset = *position;
  *position += dataLength;
  return e;
}

bool IsEmptyDataRecord(const uint8_t* header, size_t left) {
  return left >= kHeader && header[0] == 0 && header[1] == kHeader &&
         header[2] == 'D' && std::memcmp(header + 4, "01.0", 4) == 0;
}

void Assemble(const uint8_t* stream, size_t size, uint32_t capacity,
              size_t step) {
  RecordAssembler assembler(capacity);
  const char* bytes = reinterpret_cast<const char*>(stream);
  size_t position = 0;
  size_t predicted = 0;
  for (;;) {
    assembler.Reset();
    while (!assembler.IsDone() && position < size) {
      size_t piece = size - position < step ? size - position : step;
      size_t wanted = assembler.Wanted();
      size_t taken = assembler.Take(bytes + position, piece);
      FUZZ_CHECK(taken == (piece < wanted ? piece : wanted));
      position += taken;
    }
    if (IsEmptyDataRecord(stream + predicted, size - predicted)) {
      FUZZ_CHECK(assembler.IsDone() && assembler.GetResult() == 0);
      FUZZ_CHECK(assembler.GetDataLength() == 0);
      predicted += kHeader;
      continue;
    }
    Expected e = Predict(stream, size, &predicted, capacity);
    if (e.stop) {
      FUZZ_CHECK(!assembler.IsDone());
      return;
    }
    FUZZ_CHECK(assembler.IsDone() && position == predicted);
    FUZZ_CHECK(assembler.GetResult() == e.result);
    FUZZ_CHECK(assembler.GetDataLength() == e.dataLength);
    FUZZ_CHECK(assembler.IsEndOfConnection() == (e.closed && e.result == 0));
    if (e.result == 0 && e.dataLength > 0) {
      FUZZ_CHECK(std::memcmp(assembler.GetData(), stream + e.dataOffset,
                             e.dataLength) == 0);
      FUZZ_CHECK(std::memcmp(assembler.GetUserData(), e.userData,
                             Connection::USER_DATA_LENGTH) == 0);
    }
  }
}

template <size_t N>
void Run(const uint8_t* stream, size_t size, size_t step) {
  Assemble(stream, size, N - 1, step);

  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  // Send what fits into the socket without waiting; the rest is dropped.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  size_t sent = 0;
  while (sent < size) {
    ssize_t put = send(fds[1], stream + sent, size - sent, MSG_NOSIGNAL);
    if (put <= 0) break;
    sent += static_cast<size_t>(put);
  }
  close(fds[1]);
  size = sent;

  ExportClient client = {};
  std::memcpy(client.clientAddress, "127.0.0.1", 10);
  client.socket = htonl(static_cast<uint32_t>(fds[0]));
  Server connection(client);
  FUZZ_CHECK(connection.IsGood());
  // The peer has closed, so nothing should wait; a fault that waits anyway
  // shows as a timeout of the fuzzer rather than a hang.
  connection.SetReceiveTimeout(5);

  // Exactly N bytes on the heap, so that a write past them is caught.
  std::unique_ptr<char[][N]> holder(new char[1][N]);
  char(&buffer)[N] = holder[0];
  char userData[Connection::USER_DATA_LENGTH];
  std::memcpy(userData, connection.GetUserData(), sizeof userData);

  size_t position = 0;
  bool closed = false;
  for (;;) {
    Expected e = Predict(stream, size, &position, N - 1);
    uint32_t dataLength = 0xFFFFFFFF;
    long result = connection.ReceiveRecord(buffer, &dataLength);
    FUZZ_CHECK(result == e.result);
    FUZZ_CHECK(dataLength == e.dataLength);
    if (result == 0 && e.dataLength > 0) {
      FUZZ_CHECK(std::memcmp(buffer, stream + e.dataOffset, e.dataLength) == 0);
      FUZZ_CHECK(buffer[e.dataLength] == '\0');
    }
    if (e.userData != nullptr) {
      std::memcpy(userData, e.userData, sizeof userData);
    }
    FUZZ_CHECK(
        std::memcmp(userData, connection.GetUserData(), sizeof userData) == 0);
    closed = closed || e.closed;
    FUZZ_CHECK(connection.GetState() ==
               (closed ? Server::STATE_CONNECTION_CLOSED : Server::STATE_GOOD));
    if (e.stop) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::QuietStreams quiet;
  const size_t step = 1 + (data[0] >> 2) * 3;
  switch (data[0] & 3) {
    case 0:
      Run<2>(data + 1, size - 1, step);
      break;
    case 1:
      Run<87>(data + 1, size - 1, step);
      break;
    case 2:
      Run<4097>(data + 1, size - 1, step);
      break;
    default:
      Run<65492>(data + 1, size - 1, step);
      break;
  }
  return 0;
}
