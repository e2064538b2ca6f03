#include "engine/ksv_request.h"

#include <cstring>

#include "engine/status.h"
#include "engine/tarpon.h"
#include "trace/trace.h"

namespace {

constexpr size_t kMaxValueLength = ksv::kMaxValueLength;

// Stores value big-endian at buffer[offset] and buffer[offset + 1].
void PutLength(unsigned char* buffer, int offset, uint16_t value) {
  buffer[offset] = static_cast<unsigned char>(value >> 8);
  buffer[offset + 1] = static_cast<unsigned char>(value & 0xFF);
}

void PutPair(unsigned char* buffer, int offset,
             const unsigned char (&pair)[2]) {
  buffer[offset] = pair[0];
  buffer[offset + 1] = pair[1];
}

bool HasPair(const unsigned char* buffer, int offset,
             const unsigned char (&pair)[2]) {
  return buffer[offset] == pair[0] && buffer[offset + 1] == pair[1];
}

// Length of value, or kMaxValueLength + 1 when it is longer than allowed.
size_t BoundedLength(const char* value) {
  if (value == nullptr) return 0;
  const void* end = std::memchr(value, '\0', kMaxValueLength + 1);
  if (end == nullptr) return kMaxValueLength + 1;
  return static_cast<size_t>(static_cast<const char*>(end) - value);
}

}  // namespace

int build_request(const char* user, const char* oldPassword,
                  const char* newPassword, unsigned char* buffer,
                  uint32_t* length) {
  int rc = 0;
  TraceScope scope("build_request()", &rc, TRACE_OFF);
  const char* values[3] = {user, oldPassword, newPassword};
  const unsigned char types[3] = {ksv::kTypeUser, ksv::kTypeOldPassword,
                                  ksv::kTypeNewPassword};
  size_t lengths[3];
  for (int i = 0; i < 3; ++i) {
    lengths[i] = BoundedLength(values[i]);
    if (lengths[i] > kMaxValueLength) {
      // Option processing never lets a longer value through; refusing here
      // keeps the 38-byte buffer from being overrun if a caller ever does.
      report_status("build_request()", "strlen()", STATUS_ERROR_REPORTED);
      *length = 0;
      rc = TARPON_RC_BAD_OPTION;
      return rc;
    }
  }

  uint16_t total = 0;
  size_t position = ksv::kFirstSubfieldOffset;
  for (int i = 0; i < 3; ++i) {
    uint16_t subfield =
        static_cast<uint16_t>(lengths[i] + ksv::kSubfieldHeaderLength);
    unsigned char* data = buffer + position + ksv::kSubfieldHeaderLength;
    buffer[position + 1] = types[i];
    if (lengths[i] > 0) {
      std::memcpy(data, values[i], lengths[i]);
      // A conversion failure has been reported; the request goes out as
      // built and the host's answer tells the rest.
      char* text = reinterpret_cast<char*>(data);
      ascii_to_ebcdic(text, text, static_cast<uint16_t>(lengths[i]));
    }
    buffer[position] = static_cast<unsigned char>(subfield);
    total = static_cast<uint16_t>(total + subfield);
    position += subfield;
  }

  total = static_cast<uint16_t>(total + ksv::kInnerHeaderLength);
  PutLength(buffer, ksv::kInnerLengthOffset, total);
  PutPair(buffer, ksv::kIdentifierOffset, ksv::kRequestId);
  total = static_cast<uint16_t>(total + ksv::kOuterHeaderLength);
  PutLength(buffer, ksv::kTotalLengthOffset, total);
  PutPair(buffer, ksv::kGdsIdOffset, ksv::kGdsId);
  *length = total;
  return rc;
}

int process_reply(CCB_PTR ccb) {
  int rc = 0;
  TraceScope scope("process_reply()", &rc, TRACE_OFF);
  const unsigned char* reply = ccb->replyBuffer;
  int32_t received = ccb->replyLength;
  // Anything too short to hold the status byte is unusable; a count beyond
  // the buffer cannot have been received into it.
  bool garbled = reply == nullptr || received <= ksv::kStatusOffset ||
                 received > ccb->replyBufferSize ||
                 !HasPair(reply, ksv::kGdsIdOffset, ksv::kGdsId) ||
                 !HasPair(reply, ksv::kIdentifierOffset, ksv::kReplyId);
  // A format error carries its two-byte code after the status.
  if (!garbled && reply[ksv::kStatusOffset] == ksv::kStatusFormatError &&
      received < ksv::kFormatErrorOffset + 2) {
    garbled = true;
  }
  if (garbled) {
    report_status("process_reply()", KSV_PRODUCT_BANNER, STATUS_REPLY_GARBLED);
    rc = TARPON_RC_HOST_REPLY_UNUSABLE;
    return rc;
  }

  unsigned char status = reply[ksv::kStatusOffset];
  if (status == ksv::kStatusOk || status == ksv::kStatusOkNoPersistentSignon) {
    report_status("process_reply()", KSV_PRODUCT_BANNER,
                  STATUS_PASSWORD_CHANGED);
    rc = TARPON_RC_OK;
  } else if (status == ksv::kStatusFormatError) {
    report_status("process_reply()", KSV_PRODUCT_BANNER,
                  STATUS_REQUEST_FORMAT_ERROR,
                  static_cast<int>(reply[ksv::kFormatErrorOffset]),
                  static_cast<int>(reply[ksv::kFormatErrorOffset + 1]));
    rc = TARPON_RC_HOST_FORMAT_ERROR;
  } else {
    report_status("process_reply()", KSV_PRODUCT_BANNER, STATUS_HOST_STATUS,
                  static_cast<int>(status));
    rc = TARPON_RC_HOST_STATUS_BASE + status;
  }
  return rc;
}
