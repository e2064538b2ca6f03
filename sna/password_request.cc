#include "sna/password_request.h"

#include "sna/code_page.h"

namespace sna {

namespace {

// The GDS variable: total length (2 bytes), identifier X'1221', inner
// length (the total less the first 4 bytes), request identifier, then the
// subfields.
constexpr uint16_t kGdsId = 0x1221;
constexpr size_t kTotalLengthAt = 0;
constexpr size_t kGdsIdAt = 2;
constexpr size_t kInnerLengthAt = 4;
constexpr size_t kRequestIdAt = 6;
constexpr size_t kHeaderLength = 8;
constexpr size_t kInnerLengthOffset = 4;  // bytes the inner length leaves out

// A subfield: a length byte (counting itself and the type), a type, data.
constexpr size_t kFieldHeaderLength = 2;
constexpr uint8_t kTypeUser = 0x01;
constexpr uint8_t kTypeCurrentPassword = 0x02;
constexpr uint8_t kTypeNewPassword = 0x06;
constexpr size_t kMaxFieldData = 8;

// The reply: a status subfield (length 3, type X'00'), and with status
// X'06' a formatting error subfield (length 4, type X'01', the code).
constexpr uint16_t kReplyId = 0xFF02;
constexpr size_t kReplyLength = 11;
constexpr size_t kReplyWithErrorLength = 15;
constexpr uint8_t kStatusFieldLength = 3;
constexpr uint8_t kStatusFieldType = 0x00;
constexpr uint8_t kErrorFieldLength = 4;
constexpr uint8_t kErrorFieldType = 0x01;
static_assert(kReplyWithErrorLength <= kMaxReplyLength, "reply room");

// Where each kind of subfield is kept while parsing.
enum Slot { kUserSlot, kCurrentSlot, kNewSlot, kSlots };

uint16_t ReadBigEndian(const unsigned char* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::string ToAscii(const unsigned char* data, size_t length) {
  std::string text(length, '\0');
  EbcdicToAscii(data, reinterpret_cast<unsigned char*>(&text[0]), length);
  return text;
}

// Where a kind of subfield sits.
struct Field {
  size_t offset = 0;  // of the data
  size_t length = 0;  // of the data
  int count = 0;
};

// Records where each subfield after the header sits; false when a length
// does not balance.
bool WalkFields(const unsigned char* data, size_t length, Field* fields,
                bool* unknown_type) {
  size_t position = kHeaderLength;
  while (position < length) {
    size_t field_length = data[position];
    if (field_length < kFieldHeaderLength || field_length > length - position) {
      return false;
    }
    int slot = -1;
    switch (data[position + 1]) {
      case kTypeUser:
        slot = kUserSlot;
        break;
      case kTypeCurrentPassword:
        slot = kCurrentSlot;
        break;
      case kTypeNewPassword:
        slot = kNewSlot;
        break;
      default:
        *unknown_type = true;
        break;
    }
    if (slot >= 0) {
      fields[slot].offset = position + kFieldHeaderLength;
      fields[slot].length = field_length - kFieldHeaderLength;
      ++fields[slot].count;
    }
    position += field_length;
  }
  return true;
}

}  // namespace

uint16_t ParsePasswordRequest(const unsigned char* data, size_t length,
                              PasswordRequest* request) {
  *request = PasswordRequest();
  if (data == nullptr || length < kHeaderLength) return kFormatLengthMismatch;
  if (ReadBigEndian(data + kTotalLengthAt) != length) {
    return kFormatLengthMismatch;
  }
  if (ReadBigEndian(data + kInnerLengthAt) + kInnerLengthOffset != length) {
    return kFormatLengthMismatch;
  }

  // Walk the subfields once for their lengths before anything else is
  // judged: a length that does not balance makes every later byte suspect.
  Field fields[kSlots];
  bool unknown_type = false;
  if (!WalkFields(data, length, fields, &unknown_type)) {
    return kFormatLengthMismatch;
  }

  if (ReadBigEndian(data + kGdsIdAt) != kGdsId || unknown_type) {
    return kFormatUnknownId;
  }
  uint16_t request_id = ReadBigEndian(data + kRequestIdAt);
  if (request_id != kSignOnAndChange && request_id != kSignOnOnly) {
    return kFormatBadRequestId;
  }
  for (const Field& field : fields) {
    if (field.count > 1) return kFormatDuplicateField;
  }
  if (request_id == kSignOnOnly && fields[kNewSlot].count > 0) {
    return kFormatFieldNotAllowed;
  }
  if (fields[kUserSlot].count == 0 || fields[kCurrentSlot].count == 0 ||
      (request_id == kSignOnAndChange && fields[kNewSlot].count == 0)) {
    return kFormatMissingField;
  }
  for (const Field& field : fields) {
    if (field.count > 0 &&
        (field.length == 0 || field.length > kMaxFieldData)) {
      return kFormatBadFieldLength;
    }
  }

  request->request_id = request_id;
  auto text = [&](Slot slot) {
    return ToAscii(data + fields[slot].offset, fields[slot].length);
  };
  request->user = text(kUserSlot);
  request->current_password = text(kCurrentSlot);
  if (fields[kNewSlot].count > 0) {
    request->has_new_password = true;
    request->new_password = text(kNewSlot);
  }
  return kFormatOk;
}

size_t BuildPasswordReply(uint8_t status, uint16_t format_error,
                          unsigned char* reply) {
  const bool with_error = status == kStatusFormatError;
  const size_t length = with_error ? kReplyWithErrorLength : kReplyLength;
  const size_t inner = length - kInnerLengthOffset;
  const unsigned char head[] = {static_cast<unsigned char>(length >> 8),
                                static_cast<unsigned char>(length & 0xFF),
                                static_cast<unsigned char>(kGdsId >> 8),
                                static_cast<unsigned char>(kGdsId & 0xFF),
                                static_cast<unsigned char>(inner >> 8),
                                static_cast<unsigned char>(inner & 0xFF),
                                static_cast<unsigned char>(kReplyId >> 8),
                                static_cast<unsigned char>(kReplyId & 0xFF),
                                kStatusFieldLength,
                                kStatusFieldType,
                                status};
  static_assert(sizeof head == kReplyLength, "the status reply's layout");
  for (size_t i = 0; i < sizeof head; ++i) reply[i] = head[i];
  if (with_error) {
    reply[kReplyLength] = kErrorFieldLength;
    reply[kReplyLength + 1] = kErrorFieldType;
    reply[kReplyLength + 2] = static_cast<unsigned char>(format_error >> 8);
    reply[kReplyLength + 3] = static_cast<unsigned char>(format_error & 0xFF);
  }
  return length;
}

}  // namespace sna
