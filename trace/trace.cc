#include "trace/trace.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

__thread uint8_t trace_flags = TRACE_OFF;
__thread int32_t trace_depth = -3;

namespace {

// This thread's log stream while a TraceLogRedirect lives, else null.
__thread std::ostream* thread_log = nullptr;

}  // namespace

TraceLogRedirect::TraceLogRedirect(std::ostream& stream) : saved_(thread_log) {
  thread_log = &stream;
}

TraceLogRedirect::~TraceLogRedirect() { thread_log = saved_; }

uint8_t set_trace_flags(uint8_t value) {
  uint8_t previous = trace_flags;
  trace_flags = value;
  return previous;
}

std::ostream& trace_log() {
  if (thread_log != nullptr) return *thread_log;
  // std::clog writes to standard error through a buffer; tying it to
  // standard output keeps messages and trace lines in the order they were
  // made when both reach one terminal.
  static bool tied = [] {
    std::clog.tie(&std::cout);
    return true;
  }();
  (void)tied;
  return std::clog;
}

namespace {

void write_dots(std::ostream& log) {
  if (trace_depth > 0) log << std::string(trace_depth, '.');
}

}  // namespace

void TraceScope::OpenSlow(const char* name) {
  size_t length = std::strlen(name);
  name_ = static_cast<char*>(std::malloc(length + 1));
  if (name_ != nullptr) std::memcpy(name_, name, length + 1);
  trace_depth += TRACE_INDENT;
  std::ostream& log = trace_log();
  write_dots(log);
  log << name << " called" << std::endl;
}

void TraceScope::CloseSlow() {
  if (!tracing()) {
    trace_depth -= TRACE_INDENT;
    std::free(name_);
    name_ = nullptr;
    return;
  }
  std::ostream& log = trace_log();
  write_dots(log);
  trace_depth -= TRACE_INDENT;
  if (name_ != nullptr) {
    log << name_ << " returned ";
    std::free(name_);
    name_ = nullptr;
  } else {
    log << "anonymous_function() returned ";
  }
  if (result_ != nullptr) {
    switch (kind_) {
      case kShort:
        log << *static_cast<short*>(result_);
        break;
      case kInt:
        log << *static_cast<int*>(result_);
        break;
      default:
        log << *static_cast<long*>(result_);
        break;
    }
  }
  log << std::endl;
}
