#include "trace/program_output.h"

#include <iostream>

namespace {

// This thread's output stream while a ProgramOutputRedirect lives, else
// null.
__thread std::ostream* thread_output = nullptr;

// A stream buffer that appends what is written to its target, if any.
class AppendingBuffer : public std::streambuf {
 public:
  std::string* target = nullptr;

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof() && target != nullptr) {
      target->push_back(static_cast<char>(c));
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* data, std::streamsize length) override {
    if (target != nullptr) target->append(data, static_cast<size_t>(length));
    return length;
  }
};

struct StringStream {
  AppendingBuffer buffer;
  std::ostream stream{&buffer};
};

enum Channel { kOutput, kLog };

// Points this thread's stream of channel at text, keeping its former
// target in *saved, in the format a new stream has.
std::ostream& Retarget(Channel channel, std::string* text,
                       std::string** saved) {
  thread_local StringStream streams[2];
  StringStream& chosen = streams[channel];
  *saved = chosen.buffer.target;
  chosen.buffer.target = text;
  std::ostream& stream = chosen.stream;
  stream.clear();
  stream.flags(std::ios_base::dec | std::ios_base::skipws);
  stream.width(0);
  stream.precision(6);
  stream.fill(' ');
  return stream;
}

void Restore(Channel channel, std::string* saved) {
  std::string* ignored = nullptr;
  Retarget(channel, saved, &ignored);
}

}  // namespace

std::ostream& program_output() {
  return thread_output != nullptr ? *thread_output : std::cout;
}

ProgramOutputRedirect::ProgramOutputRedirect(std::ostream& stream)
    : saved_(thread_output) {
  thread_output = &stream;
}

ProgramOutputRedirect::~ProgramOutputRedirect() { thread_output = saved_; }

OutputToString::OutputToString(std::string* text)
    : saved_(nullptr), redirect_(Retarget(kOutput, text, &saved_)) {}

OutputToString::~OutputToString() { Restore(kOutput, saved_); }

TraceLogToString::TraceLogToString(std::string* text)
    : saved_(nullptr), redirect_(Retarget(kLog, text, &saved_)) {}

TraceLogToString::~TraceLogToString() { Restore(kLog, saved_); }

void CopyCapturedText(const std::string& text, char* dest, int32_t size) {
  if (dest == nullptr || size < 1) return;
  size_t count = text.size() < static_cast<size_t>(size - 1)
                     ? text.size()
                     : static_cast<size_t>(size - 1);
  text.copy(dest, count);
  dest[count] = '\0';
}
