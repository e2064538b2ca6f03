#include "comm/record_assembler.h"

#include <cstring>

#include "comm/record_format.h"
#include "trace/trace.h"

namespace {

constexpr uint32_t kHeaderLength = Connection::RECORD_HEADER_LENGTH;
using namespace record_format;

}  // namespace

RecordAssembler::RecordAssembler(uint32_t bufferLength)
    : bufferLength_(bufferLength), data_(new char[bufferLength + 1]) {
  Reset();
}

void RecordAssembler::Reset() {
  headerUsed_ = 0;
  dataUsed_ = 0;
  dataLength_ = 0;
  headerDone_ = false;
  done_ = false;
  endOfConnection_ = false;
  result_ = CommBase::COMM_OK;
  data_[0] = '\0';
  std::memset(userData_, 0, sizeof userData_);
}

size_t RecordAssembler::Wanted() const {
  if (done_) return 0;
  if (!headerDone_) return kHeaderLength - headerUsed_;
  return dataLength_ - dataUsed_;
}

size_t RecordAssembler::Take(const char* bytes, size_t length) {
  long taken = 0;
  TraceScope scope("RecordAssembler::Take(bytes,length)", &taken, TRACE_OFF);
  size_t part = Wanted();
  if (part > length) part = length;
  if (!headerDone_) {
    std::memcpy(header_ + headerUsed_, bytes, part);
    headerUsed_ += static_cast<uint32_t>(part);
    if (headerUsed_ == kHeaderLength) JudgeHeader();
  } else {
    std::memcpy(data_.get() + dataUsed_, bytes, part);
    dataUsed_ += static_cast<uint32_t>(part);
  }
  if (headerDone_ && !done_ && dataUsed_ == dataLength_) {
    data_[dataLength_] = '\0';
    done_ = true;
  }
  taken = static_cast<long>(part);
  return part;
}

void RecordAssembler::JudgeHeader() {
  done_ = true;
  if (std::memcmp(header_ + kVersionOffset, kVersion, sizeof kVersion) != 0) {
    result_ = CommBase::COMM_FAILED;
    return;
  }
  if (header_[kTypeOffset] == kStatusRecord) {
    endOfConnection_ = header_[kStatusOffset] == 0;
    result_ = endOfConnection_ ? CommBase::COMM_OK : CommBase::COMM_FAILED;
    return;
  }
  if (header_[kTypeOffset] != kDataRecord) {
    result_ = CommBase::COMM_FAILED;
    return;
  }
  uint32_t recordLength = LengthField(header_);
  if (recordLength < kHeaderLength) {
    result_ = CommBase::COMM_BUFFER_TOO_SMALL;
    return;
  }
  dataLength_ = recordLength - kHeaderLength;
  if (dataLength_ > bufferLength_) {
    result_ = CommBase::COMM_BUFFER_TOO_SMALL;
    return;
  }
  std::memcpy(userData_, header_ + kUserDataOffset, sizeof userData_);
  headerDone_ = true;
  done_ = false;
}

std::string BuildDataRecord(const char* userData, const char* data,
                            uint32_t length) {
  TraceScope scope("BuildDataRecord(userData,data,length)", TRACE_OFF);
  if (length == 0 || length > Connection::MAX_DATA_LENGTH) return {};
  std::string record(kHeaderLength, '\0');
  uint32_t recordLength = kHeaderLength + length;
  record[0] = static_cast<char>(recordLength >> 8);
  record[1] = static_cast<char>(recordLength & 0xFF);
  record[kTypeOffset] = kDataRecord;
  record.replace(kVersionOffset, sizeof kVersion, kVersion, sizeof kVersion);
  record.replace(kUserDataOffset, Connection::USER_DATA_LENGTH, userData,
                 Connection::USER_DATA_LENGTH);
  record.append(data, length);
  return record;
}
