// The layout of a record between the gateway and its clients, named once
// for the blocking receive (Connection) and the non-blocking assembler
// (RecordAssembler). A record is a 44-byte header and its data:
//   offset 0   record length, two bytes, high byte first (header included)
//   offset 2   record type: 'D' data, 'S' status
//   offset 3   zero
//   offset 4   version "01.0"
//   offset 8   user data (16 bytes) of a data record, or the status byte
//              of a status record
#ifndef TARPON_COMM_RECORD_FORMAT_H_
#define TARPON_COMM_RECORD_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace record_format {

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

}  // namespace record_format

#endif  // TARPON_COMM_RECORD_FORMAT_H_
