// The PROXY header parser on fuzzed bytes, fed as a non-blocking reader
// feeds it: pieces of a fuzzed size, never more than Wanted(), each in a
// heap block of exactly its size so that a read past it is caught. The
// same stream offered whole, as by a caller that holds more bytes, must
// give the same verdict after the same number of bytes.
//
// An accepted header is checked against what its bytes say on their own:
// its length (a version 2 length field, a version 1 CRLF), no Wanted()
// that reached past it, the addresses (version 2 by re-encoding them,
// version 1 TCP4 by printing the line again), and a round trip through
// the encoder.
//
// Input: one byte that seeds the piece sizes, then the byte stream.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/proxy_header.h"
#include "fuzz/fuzz_support.h"

namespace {

using Result = ProxyHeaderParser::Result;

constexpr uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

struct Run {
  Result result = Result::kPending;
  std::string reason;
  size_t used = 0;
  // Where each Take started and what Wanted() said there.
  std::vector<std::pair<size_t, size_t>> asked;
  sockaddr_storage source = {};
  sockaddr_storage destination = {};
  std::string owner;      // the owner device's TLV
  std::string operation;  // the operation's TLV
};

Run Feed(const uint8_t* stream, size_t size, uint32_t seed) {
  ProxyHeaderParser parser;
  Run run;
  while (!parser.IsDone() && run.used < size) {
    size_t wanted = parser.Wanted();
    FUZZ_CHECK(wanted > 0);
    FUZZ_CHECK(wanted <= ProxyHeaderParser::kMaxV2Length - run.used);
    size_t piece = size - run.used;
    if (seed != 0) {
      // A reader of Wanted() bytes that a socket answers short.
      seed = seed * 1103515245u + 12345u;
      size_t most = 1 + (seed >> 16) % 24;
      if (piece > wanted) piece = wanted;
      if (piece > most) piece = most;
    }
    std::unique_ptr<char[]> block(new char[piece]);
    std::memcpy(block.get(), stream + run.used, piece);
    size_t taken = parser.Take(block.get(), piece);
    // Short of a verdict, it takes all it is offered.
    FUZZ_CHECK(taken > 0 && taken <= piece);
    FUZZ_CHECK(parser.IsDone() || taken == piece);
    run.asked.emplace_back(run.used, wanted);
    run.used += taken;
  }
  if (!parser.IsDone()) {
    FUZZ_CHECK(parser.Wanted() > 0);
    parser.EndOfInput();
    FUZZ_CHECK(std::strcmp(parser.GetReason(), "truncated") == 0);
  }
  FUZZ_CHECK(parser.Wanted() == 0);
  FUZZ_CHECK(parser.Take("x", 1) == 0);
  run.result = parser.GetResult();
  run.reason = parser.GetReason();
  run.source = parser.GetSource();
  run.owner = parser.GetOwnerDevice();
  FUZZ_CHECK(run.owner.size() <= ProxyHeaderParser::kMaxOwnerLength);
  run.operation = parser.GetOperation();
  FUZZ_CHECK(run.operation.size() <= ProxyHeaderParser::kMaxOperationLength);
  run.destination = parser.GetDestination();
  return run;
}

bool SameAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The length of the header the accepted bytes hold, from the bytes alone.
size_t HeaderLength(const uint8_t* stream, size_t used) {
  if (used >= 16 && std::memcmp(stream, kV2Signature, 12) == 0) {
    return 16 + ((static_cast<size_t>(stream[14]) << 8) | stream[15]);
  }
  FUZZ_CHECK(used >= 2 && stream[used - 2] == '\r' && stream[used - 1] == '\n');
  FUZZ_CHECK(std::memchr(stream, '\r', used - 2) == nullptr);
  FUZZ_CHECK(std::memchr(stream, '\n', used - 2) == nullptr);
  FUZZ_CHECK(used <= ProxyHeaderParser::kMaxV1Length);
  return used;
}

void CheckV1Inet4(const uint8_t* stream, size_t used, const Run& run) {
  const auto& source = reinterpret_cast<const sockaddr_in&>(run.source);
  const auto& destination =
      reinterpret_cast<const sockaddr_in&>(run.destination);
  char from[INET_ADDRSTRLEN];
  char to[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &source.sin_addr, from, sizeof from);
  inet_ntop(AF_INET, &destination.sin_addr, to, sizeof to);
  char line[ProxyHeaderParser::kMaxV1Length + 1];
  int length =
      std::snprintf(line, sizeof line, "PROXY TCP4 %s %s %u %u\r\n", from, to,
                    ntohs(source.sin_port), ntohs(destination.sin_port));
  FUZZ_CHECK(static_cast<size_t>(length) == used);
  FUZZ_CHECK(std::memcmp(line, stream, used) == 0);
}

void CheckProxy(const uint8_t* stream, size_t used, const Run& run) {
  int family = run.source.ss_family;
  FUZZ_CHECK(family == AF_INET || family == AF_INET6);
  FUZZ_CHECK(run.destination.ss_family == family);
  std::string encoded = EncodeProxyV2(run.source, run.destination);
  bool v2 = stream[0] == kV2Signature[0];
  if (v2) {
    FUZZ_CHECK((stream[12] & 0x0F) == 1);
    FUZZ_CHECK(stream[13] == (family == AF_INET ? 0x11 : 0x21));
    size_t block = encoded.size() - 16;
    FUZZ_CHECK(used >= 16 + block);
    FUZZ_CHECK(std::memcmp(encoded.data(), stream, 14) == 0);
    FUZZ_CHECK(std::memcmp(encoded.data() + 16, stream + 16, block) == 0);
  } else if (family == AF_INET) {
    CheckV1Inet4(stream, used, run);
  }
  // The encoder's header reads back as the same endpoints.
  ProxyHeaderParser parser;
  FUZZ_CHECK(parser.Take(encoded.data(), encoded.size()) == encoded.size());
  FUZZ_CHECK(parser.GetResult() == Result::kProxy);
  FUZZ_CHECK(SameAddress(parser.GetSource(), run.source));
  FUZZ_CHECK(SameAddress(parser.GetDestination(), run.destination));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t* stream = data + 1;
  size -= 1;
  Run whole = Feed(stream, size, 0);
  Run pieces = Feed(stream, size, 1 + data[0]);
  FUZZ_CHECK(whole.result == pieces.result);
  FUZZ_CHECK(whole.reason == pieces.reason);
  FUZZ_CHECK(whole.owner == pieces.owner);
  FUZZ_CHECK(whole.operation == pieces.operation);
  FUZZ_CHECK(whole.used == pieces.used);
  FUZZ_CHECK(SameAddress(whole.source, pieces.source));
  FUZZ_CHECK(SameAddress(whole.destination, pieces.destination));

  if (whole.result == Result::kInvalid) {
    FUZZ_CHECK(!whole.reason.empty());
    FUZZ_CHECK(whole.source.ss_family == AF_UNSPEC);
    return 0;
  }
  FUZZ_CHECK(whole.reason.empty());
  size_t length = HeaderLength(stream, whole.used);
  FUZZ_CHECK(whole.used == length);
  for (const Run* run : {&whole, &pieces}) {
    for (const auto& ask : run->asked) {
      FUZZ_CHECK(ask.first + ask.second <= length);
    }
  }
  if (whole.result == Result::kProxy) {
    CheckProxy(stream, whole.used, whole);
  } else {
    FUZZ_CHECK(whole.source.ss_family == AF_UNSPEC);
    FUZZ_CHECK(whole.destination.ss_family == AF_UNSPEC);
  }
  return 0;
}
