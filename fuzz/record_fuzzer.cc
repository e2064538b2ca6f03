// The record receiver on fuzzed bytes: the bounded ReceiveRecord reads
// records from one end of a socket pair until it fails, while the other end
// has sent the input and closed. Every result is compared with what the
// record format says the bytes hold.
//
// Input: one byte that picks the caller's buffer (1, 86, 4096 or 65,491
// data bytes), then the byte stream.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "comm/export_client.h"
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

template <size_t N>
void Run(const uint8_t* stream, size_t size) {
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
  switch (data[0] & 3) {
    case 0:
      Run<2>(data + 1, size - 1);
      break;
    case 1:
      Run<87>(data + 1, size - 1);
      break;
    case 2:
      Run<4097>(data + 1, size - 1);
      break;
    default:
      Run<65492>(data + 1, size - 1);
      break;
  }
  return 0;
}
