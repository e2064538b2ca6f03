// Helpers shared by the fuzz targets: silencing the streams the code under
// test writes to, and stopping the run with a message when a target finds
// that a result breaks a promise of the code (libFuzzer then saves the
// input that did it).
#ifndef TARPON_FUZZ_FUZZ_SUPPORT_H_
#define TARPON_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>

namespace fuzz {

// A stream buffer that takes every character and keeps none.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Points standard output, standard error and the standard log stream (the
// trace and the engine's log record) at "out" for the object's life; with
// no buffer given, at a NullBuffer. The C stdio streams stay as they are,
// so sanitizer and libFuzzer reports still reach standard error.
class QuietStreams {
 public:
  explicit QuietStreams(std::streambuf* out = nullptr)
      : out_(out != nullptr ? out : &null_) {
    saved_out_ = std::cout.rdbuf(out_);
    saved_err_ = std::cerr.rdbuf(&null_);
    saved_log_ = std::clog.rdbuf(&null_);
  }
  ~QuietStreams() {
    std::cout.rdbuf(saved_out_);
    std::cerr.rdbuf(saved_err_);
    std::clog.rdbuf(saved_log_);
  }
  QuietStreams(const QuietStreams&) = delete;
  QuietStreams& operator=(const QuietStreams&) = delete;

 private:
  NullBuffer null_;
  std::streambuf* out_;
  std::streambuf* saved_out_;
  std::streambuf* saved_err_;
  std::streambuf* saved_log_;
};

// Stops the run when "condition" is false: the fuzzer records a crash.
#define FUZZ_CHECK(condition)                                               \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                             \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

}  // namespace fuzz

#endif  // TARPON_FUZZ_FUZZ_SUPPORT_H_
