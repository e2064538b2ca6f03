// The gateway's event log as the buffer behind trace_log(): standard error,
// or a file opened for appending (created without access for others).
//
// Text is kept until a flush and then written in one piece, so that a
// session's lines, flushed once at its end, are never interleaved with
// another's. Control bytes other than the line end, and bytes above 0x7E,
// are written as "\xHH": names sent by a client cannot move the cursor or
// erase lines when the log is viewed.
//
// Lines are written whole or not at all (text after a flush's last line end,
// a session line that the next session continues, counts as a line). A write
// that fails (a full disk) is reported once on standard error with E0008, and
// the lines it could not write are dropped and counted; the next flush tries
// again. The first flush that gets through writes, before its own lines,
// "<time stamp>TARPON SERVER <n> log lines lost (<error>)". When a write
// stops in the middle of a line, the rest of that line is kept and written
// first of all, so no line is torn and joined to the next; it is dropped,
// and counted, only when the log moves to another descriptor first. The
// stream never goes bad.
//
// The log is not thread-safe: only its owner thread, the one that constructed
// it or last took it on (TakeOn), may write, flush or reopen it. Debug and
// sanitizer builds (TARPON_THREAD_CHECKS) check this and abort, naming the
// fault, when another thread does.
#ifndef TARPON_GATEWAY_GATEWAY_LOG_H_
#define TARPON_GATEWAY_GATEWAY_LOG_H_

#include <cstdint>
#include <streambuf>
#include <string>

#include "comm/fd.h"
#include "contract/thread_owner.h"
#include "logs/json_log.h"

// Whether the gateway's log checks that only its owner thread uses it.
constexpr bool kGatewayLogChecksThread = kChecksThreadOwner;

class GatewayLog : public std::streambuf {
 public:
  // Writes to logFd, and reports its failures on errorFd, until Open names
  // a file (the service: standard error for both). Neither descriptor is
  // owned: both must stay open while the log uses them.
  GatewayLog(int logFd, int errorFd);
  // Flushes.
  ~GatewayLog() override;
  GatewayLog(const GatewayLog&) = delete;
  GatewayLog& operator=(const GatewayLog&) = delete;

  // Opens path for appending, creating it with mode 0640, and owns the
  // descriptor; false when it cannot be opened (the log stays where it
  // was).
  bool Open(const std::string& path);
  // Opens the file of Open again, for log rotation; true without a file.
  // On failure the log stays on the file it had.
  bool Reopen();
  // True while the last write failed.
  bool IsFailing() const { return failing_; }
  // Lines dropped since the last "log lines lost" line.
  uint64_t GetLostCount() const { return lost_; }
  // Makes the calling thread the owner; the previous owner must be done
  // with the log, and the two threads must have synchronised since.
  void TakeOn() { owner_.TakeOn(); }

  // kJson: each line is written as one JSON object (logs/json_log.h),
  // its time taken from the time stamp that begins it (GatewayTimeStamp,
  // which then writes ISO 8601 UTC), or the time of the write for a line
  // without one; lines without a time stamp that follow one in the same
  // flush (a dump) join its message. The time stamps follow the format
  // set last, process-wide, until that log is destroyed.
  void SetFormat(LogFormat format);
  // In kJson: the lines written from here until EndOperation belong to
  // a session: their event is "session", with operation and client. No
  // effect in kText.
  void BeginOperation(const std::string& operation, const std::string& client);
  void EndOperation();

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* text, std::streamsize length) override;
  int sync() override;

 private:
  // Aborts, when the build checks threads, unless the caller is the owner.
  void CheckOwner() const;
  void Append(char c);
  int LogFd() const { return file_ ? file_.get() : borrowedFd_; }
  // Flushes, then gives up a torn line's rest: the log is about to move.
  void Leave();
  // Writes text, which continuesLine when it is a torn line's rest; on
  // failure keeps the rest of a line cut short (or started before) in torn_,
  // counts the lines after it as lost and returns the error number, else 0.
  int WriteLines(const std::string& text, bool continuesLine = false);
  int WriteLostLine();
  // The flushed text as it is written: itself, or in kJson its lines as
  // JSON objects.
  std::string Render(const std::string& text);
  void ReportFailure(int error);

  Fd file_;         // the file of Open
  int borrowedFd_;  // written to while no file is open; not owned
  int errorFd_;     // not owned
  std::string path_;
  std::string pending_;  // escaped text not yet flushed
  std::string torn_;     // the rest of a line a write cut short
  uint64_t lost_ = 0;
  int lostError_ = 0;  // the error that began the failing spell
  bool failing_ = false;
  LogFormat format_ = LogFormat::kText;
  // In kJson: the session whose lines are being rendered.
  std::string operation_;
  std::string client_;
  ThreadOwner owner_{"gateway log"};
};

// The local time as asctime writes it, without its line end, and " : ";
// once a log is set to kJson, the UTC time in ISO 8601 with milliseconds
// and " : ". The text is the calling thread's, good until its next call.
const char* GatewayTimeStamp();

#endif  // TARPON_GATEWAY_GATEWAY_LOG_H_
