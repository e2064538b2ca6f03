#include "comm/proxy_header.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

// The reasons for a refusal, as the log shows them.
constexpr char kNotProxy[] = "not a PROXY header";
constexpr char kTruncated[] = "truncated";
constexpr char kV1TooLong[] = "header longer than 107 bytes";
constexpr char kV2TooLong[] = "header longer than 552 bytes";
constexpr char kBadLine[] = "bad line";
constexpr char kBadAddress[] = "bad address";
constexpr char kBadPort[] = "bad port";
constexpr char kBadVersion[] = "bad version";
constexpr char kBadCommand[] = "bad command";
constexpr char kUnsupportedFamily[] = "unsupported family";
constexpr char kUnsupportedProtocol[] = "unsupported protocol";

constexpr char kV1Prefix[] = "PROXY ";
constexpr size_t kV1PrefixLength = sizeof kV1Prefix - 1;
constexpr uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// The fixed part: signature, version and command, family and protocol,
// the address block's length.
constexpr size_t kV2CommandAt = 12;
constexpr size_t kV2FamilyAt = 13;
constexpr size_t kV2LengthAt = 14;
constexpr uint8_t kV2Version = 0x20;
constexpr uint8_t kV2Local = 0x0;
constexpr uint8_t kV2Proxy = 0x1;
constexpr uint8_t kV2NoFamily = 0x0;
constexpr uint8_t kV2Inet = 0x1;
constexpr uint8_t kV2Inet6 = 0x2;
constexpr uint8_t kV2Stream = 0x1;
// Two addresses and two ports.
constexpr size_t kV2Inet4Block = 12;
constexpr size_t kV2Inet6Block = 36;

// One field of a version 1 line, not terminated.
struct V1Field {
  const char* text;
  size_t length;
};

// Bytes a version 1 line needs at least after this one: its CRLF.
size_t V1Needs(uint8_t last) { return last == '\r' ? 1 : 2; }

// Splits " a b c d" (from "at" to "end") into exactly four fields, each
// after a single space.
bool SplitV1Fields(const char* at, const char* end, V1Field fields[4]) {
  for (int i = 0; i < 4; ++i) {
    if (at == end || *at != ' ') return false;
    fields[i].text = ++at;
    while (at != end && *at != ' ') ++at;
    fields[i].length = static_cast<size_t>(at - fields[i].text);
    if (fields[i].length == 0) return false;
  }
  return at == end;
}

bool ParsePort(const V1Field& field, uint16_t* port) {
  const char* text = field.text;
  size_t length = field.length;
  if (length == 0 || length > 5 || (text[0] == '0' && length > 1)) {
    return false;
  }
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// Reads the address text of the given family into an address record with
// the port still zero.
bool ParseAddress(int family, const V1Field& field, sockaddr_storage* out) {
  char copy[INET6_ADDRSTRLEN];
  if (field.length == 0 || field.length >= sizeof copy) return false;
  std::memcpy(copy, field.text, field.length);
  copy[field.length] = '\0';
  std::memset(out, 0, sizeof *out);
  out->ss_family = static_cast<sa_family_t>(family);
  void* address =
      family == AF_INET
          ? static_cast<void*>(&reinterpret_cast<sockaddr_in*>(out)->sin_addr)
          : static_cast<void*>(
                &reinterpret_cast<sockaddr_in6*>(out)->sin6_addr);
  return inet_pton(family, copy, address) == 1;
}

void SetPort(sockaddr_storage* address, uint16_t port) {
  if (address->ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
  }
}

// The endpoints of a TCP4 or TCP6 line from its four fields; nullptr, or
// the reason for a refusal.
const char* ParseV1Endpoints(int family, const V1Field fields[4],
                             sockaddr_storage* source,
                             sockaddr_storage* destination) {
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  if (!ParseAddress(family, fields[0], source) ||
      !ParseAddress(family, fields[1], destination)) {
    return kBadAddress;
  }
  if (!ParsePort(fields[2], &sourcePort) ||
      !ParsePort(fields[3], &destinationPort)) {
    return kBadPort;
  }
  SetPort(source, sourcePort);
  SetPort(destination, destinationPort);
  return nullptr;
}

// An address record from a version 2 address (4 or 16 bytes) and a port in
// network byte order.
void FromWire(int family, const uint8_t* address, const uint8_t* port,
              sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  out->ss_family = static_cast<sa_family_t>(family);
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(out);
    std::memcpy(&in->sin_addr, address, 4);
    std::memcpy(&in->sin_port, port, 2);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
    std::memcpy(&in6->sin6_addr, address, 16);
    std::memcpy(&in6->sin6_port, port, 2);
  }
}

}  // namespace

void ProxyHeaderParser::Reset() {
  version_ = 0;
  used_ = 0;
  v2Length_ = 0;
  v2Local_ = false;
  v2Family_ = AF_UNSPEC;
  tlvAt_ = 0;
  tlvLength_ = 0;
  tlvType_ = 0;
  ownerLength_ = 0;
  operationLength_ = 0;
  parts_ = 0;
  probe_ = false;
  result_ = kPending;
  reason_ = "";
  std::memset(&source_, 0, sizeof source_);
  std::memset(&destination_, 0, sizeof destination_);
}

size_t ProxyHeaderParser::Wanted() const {
  if (IsDone()) return 0;
  if (used_ < kMinLength) return kMinLength - used_;
  if (version_ == 1) return V1Needs(kept_[used_ - 1]);
  if (used_ < kV2FixedLength) return kV2FixedLength - used_;
  return v2Length_ - used_;
}

size_t ProxyHeaderParser::Take(const char* bytes, size_t length) {
  size_t taken = 0;
  while (taken < length && Wanted() > 0) {
    uint8_t byte = static_cast<uint8_t>(bytes[taken++]);
    if (used_ < sizeof kept_) kept_[used_] = byte;
    ++used_;
    JudgeByte(byte);
  }
  return taken;
}

void ProxyHeaderParser::EndOfInput() {
  if (!IsDone()) Fail(kTruncated);
}

void ProxyHeaderParser::Fail(const char* reason) {
  result_ = kInvalid;
  reason_ = reason;
  std::memset(&source_, 0, sizeof source_);
  std::memset(&destination_, 0, sizeof destination_);
}

void ProxyHeaderParser::JudgeByte(uint8_t byte) {
  if (used_ == 1) {
    if (byte == static_cast<uint8_t>(kV1Prefix[0])) {
      version_ = 1;
    } else if (byte == kV2Signature[0]) {
      version_ = 2;
    } else {
      Fail(kNotProxy);
      return;
    }
  }
  if (version_ == 1) {
    JudgeV1Byte(byte);
  } else {
    JudgeV2Byte(byte);
  }
}

void ProxyHeaderParser::JudgeV1Byte(uint8_t byte) {
  if (used_ <= kV1PrefixLength) {
    if (byte != static_cast<uint8_t>(kV1Prefix[used_ - 1])) Fail(kNotProxy);
    return;
  }
  uint8_t previous = kept_[used_ - 2];
  if (byte == '\n') {
    if (previous == '\r') {
      JudgeV1Line();
    } else {
      Fail(kBadLine);
    }
    return;
  }
  if (previous == '\r' || (byte != '\r' && (byte < 0x20 || byte > 0x7E))) {
    // Only printable ASCII before the CRLF: a NUL would end the text that
    // inet_pton reads early.
    Fail(kBadLine);
  } else if (used_ + V1Needs(byte) > kMaxV1Length) {
    // The CRLF can no longer come within the bound.
    Fail(kV1TooLong);
  }
}

void ProxyHeaderParser::JudgeV1Line() {
  const char* line = reinterpret_cast<const char*>(kept_) + kV1PrefixLength;
  const char* end = reinterpret_cast<const char*>(kept_) + used_ - 2;
  const char* space = static_cast<const char*>(
      std::memchr(line, ' ', static_cast<size_t>(end - line)));
  const char* wordEnd = space != nullptr ? space : end;
  std::string word(line, wordEnd);
  if (word == "UNKNOWN") {
    result_ = kUnknown;
    return;
  }
  int family = word == "TCP4" ? AF_INET : word == "TCP6" ? AF_INET6 : 0;
  if (family == 0) {
    Fail(kUnsupportedFamily);
    return;
  }
  V1Field fields[4];
  if (!SplitV1Fields(wordEnd, end, fields)) {
    Fail(kBadLine);
    return;
  }
  const char* reason =
      ParseV1Endpoints(family, fields, &source_, &destination_);
  if (reason != nullptr) {
    Fail(reason);
  } else {
    result_ = kProxy;
  }
}

void ProxyHeaderParser::JudgeV2Byte(uint8_t byte) {
  size_t at = used_ - 1;
  if (at < kV2CommandAt) {
    if (byte != kV2Signature[at]) Fail(kNotProxy);
  } else if (at == kV2CommandAt) {
    if ((byte & 0xF0) != kV2Version) {
      Fail(kBadVersion);
    } else if ((byte & 0x0F) != kV2Local && (byte & 0x0F) != kV2Proxy) {
      Fail(kBadCommand);
    } else {
      v2Local_ = (byte & 0x0F) == kV2Local;
    }
  } else if (at == kV2FamilyAt) {
    // LOCAL ignores the family: its addresses, if any, are skipped.
    if (!v2Local_) JudgeV2Family(byte);
  } else if (at == kV2LengthAt + 1) {
    JudgeV2Length();
  } else {
    JudgeV2Tlv(at - kV2FixedLength, byte);
    if (used_ == v2Length_) FinishV2();
  }
}

// Byte at of a kept TLV's value, into value (capacity bytes): a value
// longer than capacity is not kept at all.
void ProxyHeaderParser::KeepTlvByte(size_t at, uint8_t byte, char* value,
                                    size_t capacity, size_t* length) const {
  if (tlvLength_ > capacity || at >= capacity) return;
  value[at] = static_cast<char>(byte);
  *length = at + 1;
}

void ProxyHeaderParser::JudgeV2Tlv(size_t at, uint8_t byte) {
  const size_t addresses = v2Local_                ? 0
                           : v2Family_ == AF_INET  ? kV2Inet4Block
                           : v2Family_ == AF_INET6 ? kV2Inet6Block
                                                   : 0;
  if (v2Local_ || v2Family_ == AF_UNSPEC || at < addresses) return;
  if (at == addresses) tlvAt_ = at;
  const size_t offset = at - tlvAt_;
  if (offset == 0) {
    tlvType_ = byte;
  } else if (offset == 1) {
    tlvLength_ = static_cast<size_t>(byte) << 8;
  } else if (offset == 2) {
    tlvLength_ |= byte;
    if (tlvType_ == kOwnerDeviceTlv) ownerLength_ = 0;
    if (tlvType_ == kOperationTlv) operationLength_ = 0;
    if (tlvType_ == kProbeTlv) probe_ = true;
    if (tlvType_ == kOperationPartsTlv) parts_ = 0;
  } else if (tlvType_ == kOperationPartsTlv) {
    // One byte, 2 or more; any other length or value: none.
    parts_ = tlvLength_ == 1 && byte >= 2 ? byte : 0;
  } else if (tlvType_ == kOwnerDeviceTlv) {
    KeepTlvByte(offset - 3, byte, owner_, kMaxOwnerLength, &ownerLength_);
  } else if (tlvType_ == kOperationTlv) {
    KeepTlvByte(offset - 3, byte, operation_, kMaxOperationLength,
                &operationLength_);
  }
  if (offset >= 2 && offset == tlvLength_ + 2) tlvAt_ = at + 1;
}

void ProxyHeaderParser::JudgeV2Family(uint8_t byte) {
  uint8_t family = byte >> 4;
  uint8_t protocol = byte & 0x0F;
  if (family == kV2NoFamily) {
    v2Family_ = AF_UNSPEC;
  } else if (family != kV2Inet && family != kV2Inet6) {
    Fail(kUnsupportedFamily);
  } else if (protocol != kV2Stream) {
    Fail(kUnsupportedProtocol);
  } else {
    v2Family_ = family == kV2Inet ? AF_INET : AF_INET6;
  }
}

void ProxyHeaderParser::JudgeV2Length() {
  size_t block =
      (static_cast<size_t>(kept_[kV2LengthAt]) << 8) | kept_[kV2LengthAt + 1];
  if (block > kMaxV2BlockLength) {
    Fail(kV2TooLong);
    return;
  }
  size_t needed = v2Local_                ? 0
                  : v2Family_ == AF_INET  ? kV2Inet4Block
                  : v2Family_ == AF_INET6 ? kV2Inet6Block
                                          : 0;
  if (block < needed) {
    Fail(kBadAddress);
    return;
  }
  v2Length_ = kV2FixedLength + block;
  if (block == 0) FinishV2();
}

void ProxyHeaderParser::FinishV2() {
  if (v2Local_) {
    result_ = kLocal;
    return;
  }
  if (v2Family_ == AF_UNSPEC) {
    result_ = kUnknown;
    return;
  }
  const uint8_t* block = kept_ + kV2FixedLength;
  size_t size = v2Family_ == AF_INET ? 4 : 16;
  FromWire(v2Family_, block, block + 2 * size, &source_);
  FromWire(v2Family_, block + size, block + 2 * size + 2, &destination_);
  result_ = kProxy;
}

namespace {

void AppendAddress(const sockaddr_storage& address, bool asInet6,
                   std::string* out) {
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    out->append(reinterpret_cast<const char*>(&in6.sin6_addr), 16);
  } else {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    // An IPv4-mapped IPv6 address: ::ffff:a.b.c.d.
    if (asInet6) out->append("\0\0\0\0\0\0\0\0\0\0\xff\xff", 12);
    out->append(reinterpret_cast<const char*>(&in.sin_addr), 4);
  }
}

void AppendPort(const sockaddr_storage& address, std::string* out) {
  uint16_t port = address.ss_family == AF_INET6
                      ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                      : reinterpret_cast<const sockaddr_in&>(address).sin_port;
  out->append(reinterpret_cast<const char*>(&port), 2);
}

std::string V2Start(uint8_t command, uint8_t familyAndProtocol,
                    size_t blockLength) {
  std::string out(reinterpret_cast<const char*>(kV2Signature),
                  sizeof kV2Signature);
  out += static_cast<char>(kV2Version | command);
  out += static_cast<char>(familyAndProtocol);
  out += static_cast<char>(blockLength >> 8);
  out += static_cast<char>(blockLength & 0xFF);
  return out;
}

bool IsInet(const sockaddr_storage& address) {
  return address.ss_family == AF_INET || address.ss_family == AF_INET6;
}

}  // namespace

std::string EncodeProxyV2(const sockaddr_storage& source,
                          const sockaddr_storage& destination) {
  if (!IsInet(source) || !IsInet(destination)) return std::string();
  bool inet6 =
      source.ss_family == AF_INET6 || destination.ss_family == AF_INET6;
  std::string out =
      V2Start(kV2Proxy, ((inet6 ? kV2Inet6 : kV2Inet) << 4) | kV2Stream,
              inet6 ? kV2Inet6Block : kV2Inet4Block);
  AppendAddress(source, inet6, &out);
  AppendAddress(destination, inet6, &out);
  AppendPort(source, &out);
  AppendPort(destination, &out);
  return out;
}

namespace {

// Appends a TLV of type holding value to a version 2 header, and counts
// it in the header's length; one over capacity, or empty unless empty is
// what is meant (a flag): none.
void AppendTlv(uint8_t type, const std::string& value, size_t capacity,
               std::string* out, bool flag = false) {
  if (out->empty() || (value.empty() && !flag) || value.size() > capacity) {
    return;
  }
  const size_t block =
      (static_cast<size_t>(static_cast<uint8_t>((*out)[14])) << 8 |
       static_cast<uint8_t>((*out)[15])) +
      3 + value.size();
  (*out)[14] = static_cast<char>(block >> 8);
  (*out)[15] = static_cast<char>(block & 0xFF);
  *out += static_cast<char>(type);
  *out += '\0';
  *out += static_cast<char>(value.size());
  *out += value;
}

}  // namespace

std::string EncodeProxyV2(const sockaddr_storage& source,
                          const sockaddr_storage& destination,
                          const std::string& ownerDevice,
                          const std::string& operation, int parts) {
  std::string out = EncodeProxyV2(source, destination);
  AppendTlv(ProxyHeaderParser::kOwnerDeviceTlv, ownerDevice,
            ProxyHeaderParser::kMaxOwnerLength, &out);
  AppendTlv(ProxyHeaderParser::kOperationTlv, operation,
            ProxyHeaderParser::kMaxOperationLength, &out);
  if (!operation.empty() &&
      operation.size() <= ProxyHeaderParser::kMaxOperationLength &&
      parts >= 2 && parts <= 255) {
    AppendTlv(ProxyHeaderParser::kOperationPartsTlv,
              std::string(1, static_cast<char>(parts)), 1, &out);
  }
  return out;
}

std::string EncodeProxyV2Probe(const sockaddr_storage& source,
                               const sockaddr_storage& destination) {
  std::string out = EncodeProxyV2(source, destination);
  AppendTlv(ProxyHeaderParser::kProbeTlv, std::string(), 0, &out, true);
  return out;
}

std::string EncodeProxyV2Local() { return V2Start(kV2Local, kV2NoFamily, 0); }
