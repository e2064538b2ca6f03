#include "comm/record_assembler.h"

#include <cstring>

#include "comm/record_format.h"
#include "contract/secret.h"
#include "trace/trace.h"

using namespace record_format;

RecordAssembler::RecordAssembler(uint32_t bufferLength)
    : bufferLength_(bufferLength), data_(new char[bufferLength + 1]) {
  Reset();
}

RecordAssembler::~RecordAssembler() {
  WipeBytes(data_.get(), bufferLength_ + 1);
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
    if (headerUsed_ == kHeaderLength) Judge();
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

void RecordAssembler::Judge() {
  done_ = true;
  HeaderVerdict verdict =
      record_format::JudgeHeader(header_, bufferLength_, &dataLength_);
  result_ = ResultOf(verdict);
  endOfConnection_ = verdict == HeaderVerdict::kEndOfConnection;
  if (verdict != HeaderVerdict::kData) return;
  std::memcpy(userData_, header_ + kUserDataOffset, sizeof userData_);
  headerDone_ = true;
  done_ = false;
}
