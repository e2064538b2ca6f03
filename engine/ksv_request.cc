#include "engine/ksv_request.h"

#include <cstring>

#include "engine/status.h"
#include "trace/trace.h"

namespace {

// The request buffer holds three values of at most this many characters.
constexpr size_t kMaxValueLength = 8;

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
  const unsigned char types[3] = {0x01, 0x02, 0x06};
  size_t lengths[3];
  for (int i = 0; i < 3; ++i) {
    lengths[i] = BoundedLength(values[i]);
    if (lengths[i] > kMaxValueLength) {
      // Option processing never lets a longer value through; refusing here
      // keeps the 38-byte buffer from being overrun if a caller ever does.
      report_status("build_request()", "strlen()", STATUS_ERROR_REPORTED);
      *length = 0;
      rc = 14;
      return rc;
    }
  }

  uint16_t total = 0;
  size_t position = 8;
  for (int i = 0; i < 3; ++i) {
    uint16_t size = static_cast<uint16_t>(lengths[i]);
    buffer[position + 1] = types[i];
    if (size > 0) {
      std::memcpy(buffer + position + 2, values[i], size);
      // A conversion failure has been reported; the request goes out as
      // built and the host's answer tells the rest.
      char* data = reinterpret_cast<char*>(buffer + position + 2);
      ascii_to_ebcdic(data, data, size);
    }
    buffer[position] = static_cast<unsigned char>(size + 2);
    total = static_cast<uint16_t>(total + size + 2);
    position += size + 2;
  }

  total = static_cast<uint16_t>(total + 4);
  buffer[4] = static_cast<unsigned char>(total >> 8);
  buffer[5] = static_cast<unsigned char>(total & 0xFF);
  buffer[6] = 0xFF;
  buffer[7] = 0x01;
  total = static_cast<uint16_t>(total + 4);
  buffer[0] = static_cast<unsigned char>(total >> 8);
  buffer[1] = static_cast<unsigned char>(total & 0xFF);
  buffer[2] = 0x12;
  buffer[3] = 0x21;
  *length = total;
  return rc;
}

int process_reply(CCB_PTR ccb) {
  int rc = 0;
  TraceScope scope("process_reply()", &rc, TRACE_OFF);
  const unsigned char* reply = ccb->replyBuffer;
  int32_t received = ccb->replyLength;
  // The status byte sits at offset 10, so anything shorter is unusable; a
  // count beyond the buffer cannot have been received into it.
  bool garbled = reply == nullptr || received < 11 ||
                 received > ccb->replyBufferSize || reply[2] != 0x12 ||
                 reply[3] != 0x21 || reply[6] != 0xFF || reply[7] != 0x02;
  // Status X'06' carries its formatting error code at offsets 13 and 14.
  if (!garbled && reply[10] == 0x06 && received < 15) garbled = true;
  if (garbled) {
    report_status("process_reply()", KSV_PRODUCT_BANNER, STATUS_REPLY_GARBLED);
    rc = 1024;
    return rc;
  }

  unsigned char status = reply[10];
  if (status == 0x00 || status == 0x08) {
    report_status("process_reply()", KSV_PRODUCT_BANNER,
                  STATUS_PASSWORD_CHANGED);
    rc = 0;
  } else if (status == 0x06) {
    report_status("process_reply()", KSV_PRODUCT_BANNER,
                  STATUS_REQUEST_FORMAT_ERROR, static_cast<int>(reply[13]),
                  static_cast<int>(reply[14]));
    rc = 1020;
  } else {
    report_status("process_reply()", KSV_PRODUCT_BANNER, STATUS_HOST_STATUS,
                  static_cast<int>(status));
    rc = 2000 + status;
  }
  return rc;
}
