// Captures what the process writes through std::cout while it lives: the
// gateway and the programmatic entry points use it to hand the engine's
// output back as text. Only std::cout is captured, never the log stream.
// Captures nest: each restores the target it found.
#ifndef TARPON_TRACE_STDOUT_CAPTURE_H_
#define TARPON_TRACE_STDOUT_CAPTURE_H_

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

class StdoutCapture {
 public:
  StdoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~StdoutCapture() { std::cout.rdbuf(saved_); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written so far, NUL characters included.
  std::string Text() const { return buffer_.str(); }
  // The text up to, not including, its first NUL character.
  std::string TextToNul() const {
    std::string text = buffer_.str();
    return text.substr(0, text.find('\0'));
  }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

// Copies at most size - 1 characters of text into dest and terminates it;
// nothing happens when dest is null or size is below 1.
inline void CopyCapturedText(const std::string& text, char* dest,
                             int32_t size) {
  if (dest == nullptr || size < 1) return;
  size_t count = text.size() < static_cast<size_t>(size - 1)
                     ? text.size()
                     : static_cast<size_t>(size - 1);
  text.copy(dest, count);
  dest[count] = '\0';
}

#endif  // TARPON_TRACE_STDOUT_CAPTURE_H_
