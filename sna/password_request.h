// The host password service's request and reply: a parser for the GDS
// variable X'1221' the client sends and a builder for the host's answer.
// Both work on plain byte arrays so that they can be driven on their own.
#ifndef TARPON_SNA_PASSWORD_REQUEST_H_
#define TARPON_SNA_PASSWORD_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace sna {

// Request identifiers.
constexpr uint16_t kSignOnAndChange = 0xFF01;
constexpr uint16_t kSignOnOnly = 0xFF00;

// Formatting error codes, answered with status X'06'.
constexpr uint16_t kFormatOk = 0x0000;
constexpr uint16_t kFormatMissingField = 0x0001;
constexpr uint16_t kFormatFieldNotAllowed = 0x0002;
constexpr uint16_t kFormatDuplicateField = 0x0003;
constexpr uint16_t kFormatUnknownId = 0x0005;
constexpr uint16_t kFormatBadFieldLength = 0x0006;
constexpr uint16_t kFormatLengthMismatch = 0x0007;
constexpr uint16_t kFormatBadRequestId = 0x000F;

// Host status codes.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusBadUser = 0x01;
constexpr uint8_t kStatusBadPassword = 0x02;
constexpr uint8_t kStatusExpired = 0x03;
constexpr uint8_t kStatusNewPasswordRefused = 0x04;
constexpr uint8_t kStatusFormatError = 0x06;
constexpr uint8_t kStatusSecurityFailure = 0x07;
constexpr uint8_t kStatusOkNoPersistentSignon = 0x08;

// A request taken apart. The texts are converted to ASCII; nothing is
// upper-cased.
struct PasswordRequest {
  uint16_t request_id = 0;
  std::string user;
  std::string current_password;
  std::string new_password;
  bool has_new_password = false;
};

// Parses "length" EBCDIC bytes at "data" into "*request". Returns kFormatOk,
// or the formatting error code of the first fault in this order: lengths,
// identifiers and subfield types, request identifier, repeated subfields,
// a new password with sign on only, missing subfields, empty or overlong
// subfield data. "*request" is complete only when kFormatOk is returned.
uint16_t ParsePasswordRequest(const unsigned char* data, size_t length,
                              PasswordRequest* request);

// Writes the host's reply for "status" into "reply" (room for at least 15
// bytes) and returns its length: 11 bytes, or 15 with status X'06', which
// carries "format_error".
size_t BuildPasswordReply(uint8_t status, uint16_t format_error,
                          unsigned char* reply);

constexpr size_t kMaxReplyLength = 15;

}  // namespace sna

#endif  // TARPON_SNA_PASSWORD_REQUEST_H_
