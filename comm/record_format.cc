#include "comm/record_format.h"

#include <string.h>

#include <cstdio>
#include <cstring>

#include "comm/comm_base.h"

namespace record_format {

void EncodeHeader(char* header, char type, uint32_t recordLength) {
  std::memset(header, 0, kHeaderLength);
  SetLengthField(header, recordLength);
  header[kTypeOffset] = type;
  std::memcpy(header + kVersionOffset, kVersion, sizeof kVersion);
}

std::string EncodeDataRecord(const char* userData, const char* data,
                             uint32_t length) {
  if (length == 0 || length > kMaxDataLength) return {};
  std::string record(kHeaderLength + length, '\0');
  EncodeHeader(&record[0], kDataRecord, kHeaderLength + length);
  std::memcpy(&record[kUserDataOffset], userData, kUserDataLength);
  std::memcpy(&record[kHeaderLength], data, length);
  return record;
}

void EncodeStatusRecord(char* header, uint8_t status) {
  EncodeHeader(header, kStatusRecord, kHeaderLength);
  header[kStatusOffset] = static_cast<char>(status);
}

HeaderVerdict JudgeHeader(const char* header, uint32_t maxDataLength,
                          uint32_t* dataLength) {
  *dataLength = 0;
  if (std::memcmp(header + kVersionOffset, kVersion, sizeof kVersion) != 0) {
    return HeaderVerdict::kBadVersion;
  }
  if (header[kTypeOffset] == kStatusRecord) {
    return header[kStatusOffset] == 0 ? HeaderVerdict::kEndOfConnection
                                      : HeaderVerdict::kOtherStatus;
  }
  if (header[kTypeOffset] != kDataRecord) return HeaderVerdict::kBadType;
  // A length below the header's own would wrap to a huge data length.
  uint32_t recordLength = LengthField(header);
  if (recordLength < kHeaderLength) return HeaderVerdict::kLengthBelowHeader;
  *dataLength = recordLength - kHeaderLength;
  return *dataLength > maxDataLength ? HeaderVerdict::kTooLong
                                     : HeaderVerdict::kData;
}

void EncodeReturnCode(int returnCode, char* userData) {
  char text[kUserDataLength + 1] = {};
  if (returnCode >= 0 && returnCode <= 9999) {
    // Four digits, as the format below gives them, without its cost.
    for (int i = 3, rest = returnCode; i >= 0; --i, rest /= 10) {
      text[i] = static_cast<char>('0' + rest % 10);
    }
  } else {
    std::snprintf(text, sizeof text, "%4.4d", returnCode);
  }
  std::memcpy(userData, text, kUserDataLength);
}

bool DecodeReturnCode(const char* userData, int* code, std::string* text) {
  size_t length = strnlen(userData, kUserDataLength);
  if (length == 0) return false;
  int value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (userData[i] < '0' || userData[i] > '9') return false;
    int digit = userData[i] - '0';
    value = value > (kMaxReturnCode - digit) / 10 ? kMaxReturnCode
                                                  : value * 10 + digit;
  }
  *code = value;
  if (text != nullptr) text->assign(userData, length);
  return true;
}

long ResultOf(HeaderVerdict verdict) {
  switch (verdict) {
    case HeaderVerdict::kData:
    case HeaderVerdict::kEndOfConnection:
      return CommBase::COMM_OK;
    case HeaderVerdict::kTooLong:
    case HeaderVerdict::kLengthBelowHeader:
      return CommBase::COMM_BUFFER_TOO_SMALL;
    default:
      return CommBase::COMM_FAILED;
  }
}

}  // namespace record_format
