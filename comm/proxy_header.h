// A ProxyHeaderParser reads the PROXY protocol header (HAProxy's, versions 1
// and 2) that a trusted balancer sends ahead of a proxied stream, for a
// caller that reads a non-blocking socket itself.
//
// The caller's contract: read at most Wanted() bytes, hand them to Take(),
// repeat until IsDone(). Wanted() never reaches past the end of a valid
// header, so whatever follows it (a TLS ClientHello, a record) stays in the
// socket for the code that reads the stream next; Take() never takes a
// byte past it either. For version 2 that costs
// three reads at most (the 15 bytes any header has, the rest of the fixed
// part, then the address block with its TLVs). A version 1 line gives its
// length only by its CRLF, so once its first 15 bytes are in, the parser
// asks for 2 bytes at a time (1 after a CR): at most 47 reads for the
// longest line, acceptable for the few connections a balancer opens
// compared with the sessions they carry; no peeking is needed.
//
// Bounds: a version 1 line is at most 107 bytes with its CRLF (the longest
// TCP6 line is 104). A version 2 header is at most 16 + 536 bytes: the
// 16-byte fixed part and an address block of at most 536 bytes, which holds
// the 36 bytes of two IPv6 endpoints and the TLVs a balancer commonly adds
// (ALPN, authority, unique id, TLS details, checksum); longer is refused
// as oversized before any byte of the block is read. TLVs are skipped
// unread, but for four of this system's own (kProbeTlv, empty;
// kOperationPartsTlv, one byte; and
// kOwnerDeviceTlv: a trusted
// front end vouches that the client is the owner's device of the user ID
// it holds, at most kMaxOwnerLength bytes; longer is not kept) and
// kOperationTlv (the front end's identifier of the operation the stream
// belongs to, which both log; at most kMaxOperationLength bytes, longer is
// not kept). Only the fixed part, the addresses, that user ID and that
// identifier and that count are kept (157 bytes of storage in all).
//
// Results, once done:
//   kProxy    the source (the client) and the destination (the address the
//             client reached), as socket address records with family,
//             address and port: a version 1 TCP4 or TCP6 line, or a version
//             2 PROXY command over AF_INET or AF_INET6 with STREAM.
//   kLocal    a version 2 LOCAL command: the balancer's own connection,
//             such as HAProxy's health check; its address block is skipped.
//   kUnknown  a proxied stream whose client address the balancer does not
//             give: version 1 "PROXY UNKNOWN" (the rest of its line is
//             ignored) or a version 2 PROXY command over AF_UNSPEC. HAProxy
//             sends "PROXY UNKNOWN" for its version 1 health checks. A
//             caller should treat it as kLocal: serving it would charge
//             the client's doings to the balancer's address, which the
//             per-source caps and penalties must never see as one source.
//   kInvalid  not an acceptable header; GetReason() says why, in a few
//             words for the log (the texts are listed in proxy_header.cc).
//
// Version 1 is read strictly: "PROXY", one space, TCP4, TCP6 or UNKNOWN,
// then for TCP4 and TCP6 exactly four fields separated by single spaces
// (source and destination addresses that inet_pton reads as the named
// family, source and destination ports as decimal 0 to 65535 without sign
// or leading zeros) and CRLF. A CR or LF anywhere else, or any byte that
// is not printable ASCII, refuses the line.
//
// Judges every byte as it comes, so a stream that is no header is refused
// at its first wrong byte. One thread at a time; copyable.
#ifndef TARPON_COMM_PROXY_HEADER_H_
#define TARPON_COMM_PROXY_HEADER_H_

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

class ProxyHeaderParser {
 public:
  enum Result { kPending, kProxy, kLocal, kUnknown, kInvalid };

  static constexpr size_t kMinLength = 15;  // "PROXY UNKNOWN\r\n"
  static constexpr size_t kMaxV1Length = 107;
  static constexpr size_t kV2FixedLength = 16;
  // A type in the range the protocol leaves to applications.
  static constexpr uint8_t kOwnerDeviceTlv = 0xE0;
  static constexpr size_t kMaxOwnerLength = 16;
  static constexpr uint8_t kOperationTlv = 0xE1;
  static constexpr size_t kMaxOperationLength = 32;
  // A probe: the sender asks what the request's destination resolves to
  // and wants no conversation held (an empty value; web/readiness.h).
  static constexpr uint8_t kProbeTlv = 0xE2;
  // How many requests (one per destination) the operation of a
  // kOperationTlv makes: one byte, 2 to 255; absent for one.
  static constexpr uint8_t kOperationPartsTlv = 0xE3;
  static constexpr size_t kMaxV2BlockLength = 536;
  static constexpr size_t kMaxV2Length = kV2FixedLength + kMaxV2BlockLength;

  ProxyHeaderParser() { Reset(); }

  // How many more bytes the parser needs before it can judge; never more
  // than a valid header still has. 0 once done.
  size_t Wanted() const;
  // Takes bytes in order until the verdict: all "length" of them, or fewer
  // when the header ends or is refused on an earlier byte; never one past
  // the header's end, so a caller holding more bytes may offer them all.
  // Returns how many it took; the caller keeps the rest. Takes nothing
  // once done.
  size_t Take(const char* bytes, size_t length);
  // The peer closed, or the caller's deadline passed, before the header was
  // whole: an unfinished parse becomes kInvalid, "truncated".
  void EndOfInput();

  bool IsDone() const { return result_ != kPending; }
  Result GetResult() const { return result_; }
  // Why the header was refused; "" unless the result is kInvalid.
  const char* GetReason() const { return reason_; }
  // The endpoints of a kProxy result; zero records (AF_UNSPEC) otherwise.
  const sockaddr_storage& GetSource() const { return source_; }
  const sockaddr_storage& GetDestination() const { return destination_; }
  // The user ID of a kOwnerDeviceTlv, or "".
  std::string GetOwnerDevice() const {
    return std::string(owner_, ownerLength_);
  }
  // The identifier of a kOperationTlv, or "".
  std::string GetOperation() const {
    return std::string(operation_, operationLength_);
  }

  // The count of a kOperationPartsTlv, or 0.
  int GetOperationParts() const { return parts_; }

  // True when the header held a kProbeTlv.
  bool IsProbe() const { return probe_; }

  // Forgets everything, for the next header.
  void Reset();

 private:
  void JudgeByte(uint8_t byte);
  void JudgeV1Byte(uint8_t byte);
  void JudgeV1Line();
  void JudgeV2Byte(uint8_t byte);
  void JudgeV2Family(uint8_t byte);
  void JudgeV2Length();
  void FinishV2();
  // A byte of the TLVs after the addresses, at offset at of the block.
  void JudgeV2Tlv(size_t at, uint8_t byte);
  void KeepTlvByte(size_t at, uint8_t byte, char* value, size_t capacity,
                   size_t* length) const;
  void Fail(const char* reason);

  int version_;      // 0 until the first byte says 1 or 2
  size_t used_;      // bytes taken so far
  size_t v2Length_;  // the whole version 2 header, once its length is in
  bool v2Local_;
  int v2Family_;                // AF_INET, AF_INET6 or AF_UNSPEC
  uint8_t kept_[kMaxV1Length];  // the v1 line, or the v2 fixed part and
                                // addresses
  size_t tlvAt_;                // where the TLV under way began in the block
  size_t tlvLength_;            // its value's length
  uint8_t tlvType_;
  char owner_[kMaxOwnerLength];
  size_t ownerLength_;
  char operation_[kMaxOperationLength];
  size_t operationLength_;
  uint8_t parts_;
  bool probe_;
  Result result_;
  const char* reason_;
  sockaddr_storage source_;
  sockaddr_storage destination_;
};

// A version 2 header with the PROXY command over STREAM from source to
// destination, without TLVs. Both must be AF_INET or AF_INET6; when their
// families differ, the IPv4 one is sent as an IPv4-mapped IPv6 address.
// Empty when a family is neither.
std::string EncodeProxyV2(const sockaddr_storage& source,
                          const sockaddr_storage& destination);
// The same with a kOwnerDeviceTlv naming user (at most kMaxOwnerLength
// bytes; longer or empty: none) and a kOperationTlv holding operation (at
// most kMaxOperationLength bytes; longer or empty: none), and with it,
// when parts is 2 to 255, a kOperationPartsTlv holding parts.
std::string EncodeProxyV2(const sockaddr_storage& source,
                          const sockaddr_storage& destination,
                          const std::string& ownerDevice,
                          const std::string& operation = std::string(),
                          int parts = 0);
// The same without an owner's device, with a kProbeTlv.
std::string EncodeProxyV2Probe(const sockaddr_storage& source,
                               const sockaddr_storage& destination);
// A version 2 header with the LOCAL command and no address.
std::string EncodeProxyV2Local();

#endif  // TARPON_COMM_PROXY_HEADER_H_
