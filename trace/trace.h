// The function trace: every operation opens a TraceScope on entry. While the
// process-wide switch is on, the scope writes an opening line ("<dots>name
// called") and a closing line ("<dots>name returned <result>") to the
// standard log stream; while it is off the scope only keeps the nesting
// depth, so that a trace switched on mid-run is indented correctly.
//
// The switch and the depth belong to each thread: a thread starts with the
// trace off and at depth -3, and what one thread switches never changes
// another's lines. (__thread rather than thread_local: a variable without
// a dynamic initialiser is then read directly, with no call on every
// scope.)
#ifndef TARPON_TRACE_TRACE_H_
#define TARPON_TRACE_TRACE_H_

#include <cstdint>
#include <iosfwd>

constexpr uint8_t TRACE_OFF = 0;
constexpr uint8_t TRACE_ON = 1;
constexpr int16_t TRACE_INDENT = 3;

// The trace switch (bit TRACE_ON) and the nesting depth in dots; the depth
// starts at -3 so that the first scope opened brings it to 0.
extern __thread uint8_t trace_flags;
extern __thread int32_t trace_depth;

inline bool tracing() { return (trace_flags & TRACE_ON) != 0; }

// Stores a whole trace_flags byte and returns the previous one.
uint8_t set_trace_flags(uint8_t value);

// The standard log stream: the process's standard error, buffered, tied to
// standard output so that pending standard output is written first. Trace
// lines, the engine's log record and the gateway's event lines go here. A
// program may point it at a file with trace_log().rdbuf(...), for every
// thread; a TraceLogRedirect points one thread's log elsewhere.
std::ostream& trace_log();

// While it lives, trace_log() of the thread that made it is stream.
// Redirections nest: each restores what it found.
class TraceLogRedirect {
 public:
  explicit TraceLogRedirect(std::ostream& stream);
  ~TraceLogRedirect();
  TraceLogRedirect(const TraceLogRedirect&) = delete;
  TraceLogRedirect& operator=(const TraceLogRedirect&) = delete;

 private:
  std::ostream* saved_;
};

class TraceScope {
 public:
  enum Kind : uint8_t { kShort = 0, kInt = 1, kLong = 2 };

  // A scope without a result. "name" must stay valid for the call; the scope
  // keeps its own copy only while the trace is on. A flags value with
  // TRACE_ON switches the trace on; a scope never switches it off.
  TraceScope(const char* name, uint8_t flags) : kind_(kInt), result_(nullptr) {
    Open(name, flags);
  }
  // A scope that prints *result on its closing line; the function must have
  // stored its result there before it returns.
  TraceScope(const char* name, short* result, uint8_t flags)
      : kind_(kShort), result_(result) {
    Open(name, flags);
  }
  TraceScope(const char* name, int* result, uint8_t flags)
      : kind_(kInt), result_(result) {
    Open(name, flags);
  }
  TraceScope(const char* name, long* result, uint8_t flags)
      : kind_(kLong), result_(result) {
    Open(name, flags);
  }
  ~TraceScope() {
    if (tracing() || name_ != nullptr) {
      CloseSlow();
    } else {
      // Scopes close in the reverse order of opening, so putting back the
      // depth found on opening equals subtracting TRACE_INDENT, and as a
      // plain store it does not wait for the opening's addition.
      trace_depth = openDepth_;
    }
  }

  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  void Open(const char* name, uint8_t flags) {
    name_ = nullptr;
    openDepth_ = trace_depth;
    trace_flags |= (flags & TRACE_ON);
    if (tracing()) {
      OpenSlow(name);
    } else {
      trace_depth = openDepth_ + TRACE_INDENT;
    }
  }
  void OpenSlow(const char* name);
  void CloseSlow();

  uint8_t kind_;
  void* result_;
  char* name_;
  int32_t openDepth_;
};

#endif  // TARPON_TRACE_TRACE_H_
