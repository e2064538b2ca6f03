// Where a request's text goes. The engine, the gateway client and the
// programmatic entry points write what their user reads to
// program_output(): standard output unless the thread that runs the request
// named another stream. Each thread names its own, so that requests run at
// once in one process never see each other's text, and nothing ever
// redirects the process's standard output.
#ifndef TARPON_TRACE_PROGRAM_OUTPUT_H_
#define TARPON_TRACE_PROGRAM_OUTPUT_H_

#include <cstdint>
#include <iosfwd>
#include <string>

#include "trace/trace.h"

// This thread's output stream: the innermost ProgramOutputRedirect's, or
// std::cout.
std::ostream& program_output();

// While it lives, program_output() of the thread that made it is stream.
// Redirections nest: each restores what it found.
class ProgramOutputRedirect {
 public:
  explicit ProgramOutputRedirect(std::ostream& stream);
  ~ProgramOutputRedirect();
  ProgramOutputRedirect(const ProgramOutputRedirect&) = delete;
  ProgramOutputRedirect& operator=(const ProgramOutputRedirect&) = delete;

 private:
  std::ostream* saved_;
};

// While it lives, what this thread writes to program_output() is appended
// to *text. It writes through a stream of the thread's own, made once and
// set back to the default format each time: making a stream costs more
// than a short request's whole run. Redirections nest.
class OutputToString {
 public:
  explicit OutputToString(std::string* text);
  ~OutputToString();
  OutputToString(const OutputToString&) = delete;
  OutputToString& operator=(const OutputToString&) = delete;

 private:
  std::string* saved_;
  ProgramOutputRedirect redirect_;
};

// The same for this thread's trace_log().
class TraceLogToString {
 public:
  explicit TraceLogToString(std::string* text);
  ~TraceLogToString();
  TraceLogToString(const TraceLogToString&) = delete;
  TraceLogToString& operator=(const TraceLogToString&) = delete;

 private:
  std::string* saved_;
  TraceLogRedirect redirect_;
};

// Captures what this thread writes to program_output() while it lives.
class OutputCapture {
 public:
  OutputCapture() : redirect_(&text_) {}
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Everything written so far, NUL characters included.
  std::string Text() const { return text_; }
  // The text up to, not including, its first NUL character.
  std::string TextToNul() const { return text_.substr(0, text_.find('\0')); }

 private:
  std::string text_;
  OutputToString redirect_;
};

// Copies at most size - 1 characters of text into dest and terminates it;
// nothing happens when dest is null or size is below 1.
void CopyCapturedText(const std::string& text, char* dest, int32_t size);

#endif  // TARPON_TRACE_PROGRAM_OUTPUT_H_
