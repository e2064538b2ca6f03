// A RecordAssembler builds one record (comm/record_format.h) from bytes that
// arrive in pieces, for a caller that reads a non-blocking socket, or any other
// byte source, itself. It applies the framing rules of
// Connection::ReceiveRecord: a 44-byte header, the version "01.0", data records
// of at most bufferLength data bytes, status records, and the refusal of a
// record length field below the header's own. It asks for no byte beyond the
// record, so the bytes that follow stay with the caller.
//
// One difference: a data record without data (record length 44) completes
// at once with COMM_OK and data length 0, where ReceiveRecord would wait
// for a byte that never comes.
//
// Owns its buffer (bufferLength + 1 bytes); one thread at a time.
#ifndef TARPON_COMM_RECORD_ASSEMBLER_H_
#define TARPON_COMM_RECORD_ASSEMBLER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "comm/comm_base.h"
#include "comm/record_format.h"

class RecordAssembler {
 public:
  // bufferLength: the most data bytes a data record may carry.
  explicit RecordAssembler(uint32_t bufferLength);
  // Wipes the data, which may carry a password.
  ~RecordAssembler();

  RecordAssembler(const RecordAssembler&) = delete;
  RecordAssembler& operator=(const RecordAssembler&) = delete;

  // How many bytes the record still needs before it can be judged: the rest
  // of the header, then the rest of the data; 0 once the record is done.
  size_t Wanted() const;
  // Takes at most Wanted() of the length bytes; returns how many it took.
  size_t Take(const char* bytes, size_t length);

  bool IsDone() const { return done_; }
  // Once done, what ReceiveRecord would have returned: COMM_OK for a whole
  // data record or a status record 0; COMM_FAILED for a bad version, an
  // unknown record type or another status; COMM_BUFFER_TOO_SMALL for a data
  // record longer than bufferLength or a record length field below 44.
  long GetResult() const { return result_; }
  // True when a status record 0 (an orderly end of the connection) came.
  bool IsEndOfConnection() const { return endOfConnection_; }
  // The data length of a whole data record, or of one refused for its size
  // (whose data the caller has still to read and drop); 0 otherwise.
  uint32_t GetDataLength() const { return dataLength_; }
  // The data of a whole data record, followed by a zero byte.
  const char* GetData() const { return data_.get(); }
  // The kUserDataLength bytes of user data of a data record whose size
  // was accepted.
  const char* GetUserData() const { return userData_; }

  // Forgets the record, for the next one.
  void Reset();

 private:
  void Judge();

  const uint32_t bufferLength_;
  std::unique_ptr<char[]> data_;
  char header_[record_format::kHeaderLength];
  char userData_[record_format::kUserDataLength];
  uint32_t headerUsed_ = 0;
  uint32_t dataUsed_ = 0;
  uint32_t dataLength_ = 0;
  bool headerDone_ = false;
  bool done_ = false;
  bool endOfConnection_ = false;
  long result_ = CommBase::COMM_OK;
};

#endif  // TARPON_COMM_RECORD_ASSEMBLER_H_
