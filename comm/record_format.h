// The record between the gateway and its clients, named and coded once for
// the blocking Connection and the non-blocking RecordAssembler, the reply
// builder and the tests. A record is a 44-byte header and its data:
//   offset 0   record length, two bytes, high byte first (header included)
//   offset 2   record type: 'D' data, 'S' status
//   offset 3   zero
//   offset 4   version "01.0"
//   offset 8   user data (16 bytes) of a data record, or the status byte
//              of a status record (0 ends the connection in order)
//   offset 24  zero
// A data record carries 1 to 65,491 data bytes after its header; a status
// record is the header alone. Receivers never read the reserved bytes.
#ifndef TARPON_COMM_RECORD_FORMAT_H_
#define TARPON_COMM_RECORD_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace record_format {

constexpr uint32_t kHeaderLength = 44;
// The largest record the 16-bit length field describes, and its data.
constexpr uint32_t kMaxRecordLength = 65535;
constexpr uint32_t kMaxDataLength = kMaxRecordLength - kHeaderLength;
constexpr size_t kUserDataLength = 16;

constexpr char kVersion[4] = {'0', '1', '.', '0'};
constexpr size_t kTypeOffset = 2;
constexpr size_t kVersionOffset = 4;
constexpr size_t kUserDataOffset = 8;
constexpr size_t kStatusOffset = 8;
constexpr char kDataRecord = 'D';
constexpr char kStatusRecord = 'S';

// The record length field at the start of a header.
inline uint32_t LengthField(const char* header) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(header[0])) << 8) |
         static_cast<unsigned char>(header[1]);
}

inline void SetLengthField(char* header, uint32_t recordLength) {
  header[0] = static_cast<char>((recordLength >> 8) & 0xFF);
  header[1] = static_cast<char>(recordLength & 0xFF);
}

// Fills a header of kHeaderLength bytes: zeroes, the length field, the type
// and the version. The caller adds the user data or the status.
void EncodeHeader(char* header, char type, uint32_t recordLength);

// The bytes of one data record carrying length data bytes and the
// kUserDataLength bytes of userData; empty when length is 0 or above
// kMaxDataLength, since such a record cannot be sent.
std::string EncodeDataRecord(const char* userData, const char* data,
                             uint32_t length);

// The 44 bytes of a status record.
void EncodeStatusRecord(char* header, uint8_t status);

// What a received header says, judged in the receivers' order: version,
// then type, then length.
enum class HeaderVerdict {
  kData,               // a data record of dataLength bytes that fit
  kTooLong,            // a data record longer than the receiver takes
  kLengthBelowHeader,  // a length field below the header's own
  kEndOfConnection,    // a status record 0
  kOtherStatus,        // a status record with another status
  kBadVersion,
  kBadType,
};

// Judges a whole header for a receiver that takes at most maxDataLength
// data bytes; *dataLength is the record's data length for kData and
// kTooLong, else 0.
HeaderVerdict JudgeHeader(const char* header, uint32_t maxDataLength,
                          uint32_t* dataLength);

// The return code a reply carries in its user data: decimal digits, at
// least four ("0000", "0012"), then zero bytes.
void EncodeReturnCode(int returnCode, char* userData);

// Reads the return code from kUserDataLength bytes of user data: decimal
// digits up to the first zero byte, within the field. False when the field
// holds anything else or no digit at all. A value past 999999999 reads as
// 999999999. *text, when given, receives the digits as sent.
constexpr int kMaxReturnCode = 999999999;
bool DecodeReturnCode(const char* userData, int* code,
                      std::string* text = nullptr);

// The comm result a receive ends with for a verdict: COMM_OK for kData and
// kEndOfConnection, COMM_BUFFER_TOO_SMALL for a length, COMM_FAILED else.
long ResultOf(HeaderVerdict verdict);

}  // namespace record_format

#endif  // TARPON_COMM_RECORD_FORMAT_H_
