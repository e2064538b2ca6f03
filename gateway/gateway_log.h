// The gateway's event log as the buffer behind trace_log(): standard error,
// or a file opened for appending (created without access for others).
//
// Text is kept until a flush and then written in one piece, so that a
// session's lines, flushed once at its end, are never interleaved with
// another's. Control bytes other than the line end, and bytes above 0x7E,
// are written as "\xHH": names sent by a client cannot move the cursor or
// erase lines when the log is viewed.
//
// A write that fails (a full disk) is reported once on standard error with
// E0008; the text is dropped and the next flush tries again, so logging
// resumes when the file can be written. The stream never goes bad.
#ifndef TARPON_GATEWAY_GATEWAY_LOG_H_
#define TARPON_GATEWAY_GATEWAY_LOG_H_

#include <streambuf>
#include <string>

class GatewayLog : public std::streambuf {
 public:
  // Writes to descriptor 2.
  GatewayLog() = default;
  ~GatewayLog() override;
  GatewayLog(const GatewayLog&) = delete;
  GatewayLog& operator=(const GatewayLog&) = delete;

  // Opens path for appending, creating it with mode 0640; false when it
  // cannot be opened (the log stays where it was).
  bool Open(const std::string& path);
  // Opens the file of Open again, for log rotation; true without a file.
  // On failure the log stays on the file it had.
  bool Reopen();
  // Writes to logFd and reports failures on errorFd, neither owned; for
  // tests.
  void UseDescriptors(int logFd, int errorFd);

  // True while the last write failed.
  bool IsFailing() const { return failing_; }

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* text, std::streamsize length) override;
  int sync() override;

 private:
  void Append(char c);
  void CloseFile();

  int fd_ = 2;
  int errorFd_ = 2;
  bool ownsFd_ = false;
  std::string path_;
  std::string pending_;
  bool failing_ = false;
};

// The local time as asctime writes it, without its line end, and " : ".
std::string GatewayTimeStamp();

#endif  // TARPON_GATEWAY_GATEWAY_LOG_H_
