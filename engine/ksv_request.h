// The password-change request and reply: one GDS variable X'1221' each way.
#ifndef TARPON_ENGINE_KSV_REQUEST_H_
#define TARPON_ENGINE_KSV_REQUEST_H_

#include <cstdint>

#include "contract/host_field.h"
#include "engine/ccb.h"

// The request and reply as this client writes and reads them (two-byte
// lengths are big-endian). The emulated host keeps its own copy of these
// values, so that it stays an independent check.
namespace ksv {

// Both directions: total length, GDS variable id, inner length, identifier.
constexpr int kTotalLengthOffset = 0;
constexpr int kGdsIdOffset = 2;
constexpr int kInnerLengthOffset = 4;
constexpr int kIdentifierOffset = 6;
constexpr unsigned char kGdsId[2] = {0x12, 0x21};
// The outer length and the GDS id are not counted in the inner length.
constexpr int kOuterHeaderLength = 4;
constexpr int kInnerHeaderLength = 4;

// Request: identifier, then three subfields from offset 8, each a length
// byte (counting itself and the type byte), a type byte and the EBCDIC data.
constexpr unsigned char kRequestId[2] = {0xFF, 0x01};
constexpr int kFirstSubfieldOffset = 8;
constexpr int kSubfieldHeaderLength = 2;
constexpr unsigned char kTypeUser = 0x01;
constexpr unsigned char kTypeOldPassword = 0x02;
constexpr unsigned char kTypeNewPassword = 0x06;
constexpr int kMaxValueLength = static_cast<int>(kHostFieldLength);

// Reply: identifier, the status byte, and for a format error its two-byte
// code.
constexpr unsigned char kReplyId[2] = {0xFF, 0x02};
constexpr int kStatusOffset = 10;
constexpr int kFormatErrorOffset = 13;
constexpr unsigned char kStatusOk = 0x00;
constexpr unsigned char kStatusFormatError = 0x06;
constexpr unsigned char kStatusOkNoPersistentSignon = 0x08;

}  // namespace ksv

// Builds the request from three NUL-terminated values of at most 8
// characters into buffer (38 bytes); *length receives its total length.
// Returns 0.
int build_request(const char* user, const char* oldPassword,
                  const char* newPassword, unsigned char* buffer,
                  uint32_t* length);

// Checks the reply in ccb->replyBuffer (ccb->replyLength bytes), reports the
// outcome and returns TARPON_RC_OK, TARPON_RC_HOST_FORMAT_ERROR,
// TARPON_RC_HOST_REPLY_UNUSABLE or TARPON_RC_HOST_STATUS_BASE + the host
// status.
int process_reply(CCB_PTR ccb);

#endif  // TARPON_ENGINE_KSV_REQUEST_H_
