#include "sna/password_request.h"

#include "sna/code_page.h"

namespace sna {

namespace {

constexpr uint8_t kTypeUser = 0x01;
constexpr uint8_t kTypeCurrentPassword = 0x02;
constexpr uint8_t kTypeNewPassword = 0x06;
constexpr size_t kHeaderLength = 8;
constexpr size_t kMaxFieldData = 8;

uint16_t ReadBigEndian(const unsigned char* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::string ToAscii(const unsigned char* data, size_t length) {
  std::string text(length, '\0');
  EbcdicToAscii(data, reinterpret_cast<unsigned char*>(&text[0]), length);
  return text;
}

// Where each kind of subfield sits; index 0 is unused.
struct Field {
  size_t offset = 0;  // of the data
  size_t length = 0;  // of the data
  int count = 0;
};

}  // namespace

uint16_t ParsePasswordRequest(const unsigned char* data, size_t length,
                              PasswordRequest* request) {
  *request = PasswordRequest();
  if (data == nullptr || length < kHeaderLength) return kFormatLengthMismatch;
  if (ReadBigEndian(data) != length) return kFormatLengthMismatch;
  if (ReadBigEndian(data + 4) + 4u != length) return kFormatLengthMismatch;

  // Walk the subfields once for their lengths before anything else is
  // judged: a length that does not balance makes every later byte suspect.
  Field fields[3];
  bool unknown_type = false;
  size_t position = kHeaderLength;
  while (position < length) {
    size_t field_length = data[position];
    if (field_length < 2 || field_length > length - position) {
      return kFormatLengthMismatch;
    }
    int slot = -1;
    switch (data[position + 1]) {
      case kTypeUser:
        slot = 0;
        break;
      case kTypeCurrentPassword:
        slot = 1;
        break;
      case kTypeNewPassword:
        slot = 2;
        break;
      default:
        unknown_type = true;
        break;
    }
    if (slot >= 0) {
      fields[slot].offset = position + 2;
      fields[slot].length = field_length - 2;
      ++fields[slot].count;
    }
    position += field_length;
  }

  if (ReadBigEndian(data + 2) != 0x1221 || unknown_type) {
    return kFormatUnknownId;
  }
  uint16_t request_id = ReadBigEndian(data + 6);
  if (request_id != kSignOnAndChange && request_id != kSignOnOnly) {
    return kFormatBadRequestId;
  }
  for (const Field& field : fields) {
    if (field.count > 1) return kFormatDuplicateField;
  }
  if (request_id == kSignOnOnly && fields[2].count > 0) {
    return kFormatFieldNotAllowed;
  }
  if (fields[0].count == 0 || fields[1].count == 0 ||
      (request_id == kSignOnAndChange && fields[2].count == 0)) {
    return kFormatMissingField;
  }
  for (const Field& field : fields) {
    if (field.count > 0 &&
        (field.length == 0 || field.length > kMaxFieldData)) {
      return kFormatBadFieldLength;
    }
  }

  request->request_id = request_id;
  request->user = ToAscii(data + fields[0].offset, fields[0].length);
  request->current_password =
      ToAscii(data + fields[1].offset, fields[1].length);
  if (fields[2].count > 0) {
    request->has_new_password = true;
    request->new_password = ToAscii(data + fields[2].offset, fields[2].length);
  }
  return kFormatOk;
}

size_t BuildPasswordReply(uint8_t status, uint16_t format_error,
                          unsigned char* reply) {
  size_t length = status == kStatusFormatError ? 15 : 11;
  const unsigned char head[] = {0x00,  static_cast<unsigned char>(length),
                                0x12,  0x21,
                                0x00,  static_cast<unsigned char>(length - 4),
                                0xFF,  0x02,
                                0x03,  0x00,
                                status};
  for (size_t i = 0; i < sizeof head; ++i) reply[i] = head[i];
  if (status == kStatusFormatError) {
    reply[11] = 0x04;
    reply[12] = 0x01;
    reply[13] = static_cast<unsigned char>(format_error >> 8);
    reply[14] = static_cast<unsigned char>(format_error & 0xFF);
  }
  return length;
}

}  // namespace sna
