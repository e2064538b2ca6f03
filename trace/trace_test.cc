#include "trace/trace.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "trace/hex_dump.h"

namespace {

// Captures the standard log stream and standard output for one test and
// leaves the trace switch off afterwards.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_log_ = trace_log().rdbuf(log_.rdbuf());
    saved_out_ = std::cout.rdbuf(out_.rdbuf());
    set_trace_flags(TRACE_OFF);
  }
  void TearDown() override {
    set_trace_flags(TRACE_OFF);
    trace_log().rdbuf(saved_log_);
    std::cout.rdbuf(saved_out_);
    EXPECT_EQ(-3, trace_depth);
  }
  std::string Log() const { return log_.str(); }
  std::string Out() const { return out_.str(); }

  std::ostringstream log_;
  std::ostringstream out_;
  std::streambuf* saved_log_ = nullptr;
  std::streambuf* saved_out_ = nullptr;
};

int Inner(int value) {
  int rc = value;
  TraceScope scope("inner()", &rc, TRACE_OFF);
  return rc;
}

void Middle() {
  TraceScope scope("middle()", TRACE_OFF);
  Inner(-5);
}

TEST_F(TraceTest, OffWritesNothingAndKeepsDepth) {
  {
    TraceScope scope("outer()", TRACE_OFF);
    EXPECT_EQ(0, trace_depth);
    Middle();
    EXPECT_EQ(0, trace_depth);
  }
  EXPECT_EQ("", Log());
}

TEST_F(TraceTest, NestedScopesIndentByThreeDots) {
  {
    TraceScope scope("outer()", TRACE_ON);
    Middle();
  }
  EXPECT_EQ(
      "outer() called\n"
      "...middle() called\n"
      "......inner() called\n"
      "......inner() returned -5\n"
      "...middle() returned \n"
      "outer() returned \n",
      Log());
}

TEST_F(TraceTest, ResultKindsPrintSigned) {
  short s = -1;
  long l = -70000;
  {
    TraceScope a("a()", &s, TRACE_ON);
    TraceScope b("b()", &l, TRACE_OFF);
  }
  EXPECT_EQ(
      "a() called\n...b() called\n...b() returned -70000\na() returned -1\n",
      Log());
}

TEST_F(TraceTest, SwitchedOnMidScopeClosesAnonymously) {
  {
    TraceScope outer("outer()", TRACE_OFF);
    uint8_t previous = set_trace_flags(TRACE_ON);
    EXPECT_EQ(TRACE_OFF, previous);
    Inner(7);
  }
  EXPECT_EQ(
      "...inner() called\n"
      "...inner() returned 7\n"
      "anonymous_function() returned \n",
      Log());
}

TEST_F(TraceTest, SwitchedOffMidScopeWritesNoClosingLine) {
  {
    TraceScope outer("outer()", TRACE_ON);
    set_trace_flags(TRACE_OFF);
  }
  EXPECT_EQ("outer() called\n", Log());
}

// Each scope leaves the depth where it found it, whichever way the trace
// was switched while it was open (closing on the slow path or the fast
// one), so that a trace switched on later starts without dots.
TEST_F(TraceTest, DepthComesBackAcrossSwitches) {
  {
    TraceScope outer("outer()", TRACE_OFF);
    {
      TraceScope on("on()", TRACE_ON);
      set_trace_flags(TRACE_OFF);
      Middle();
      EXPECT_EQ(3, trace_depth);
    }
    EXPECT_EQ(0, trace_depth);
    {
      TraceScope off("off()", TRACE_OFF);
      set_trace_flags(TRACE_ON);
    }
    EXPECT_EQ(0, trace_depth);
    set_trace_flags(TRACE_OFF);
    Inner(1);
  }
  EXPECT_EQ(-3, trace_depth);
  set_trace_flags(TRACE_ON);
  Inner(2);
  EXPECT_EQ(
      "...on() called\n"
      "...anonymous_function() returned \n"
      "inner() called\n"
      "inner() returned 2\n",
      Log());
}

TEST_F(TraceTest, HexDumpRows) {
  unsigned char bytes[38];
  for (int i = 0; i < 38; ++i) bytes[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(0, print_hex(bytes, 38, 4));
  EXPECT_EQ(
      "00 : 00010203 04050607 08090A0B 0C0D0E0F\n"
      "    10 : 10111213 14151617 18191A1B 1C1D1E1F\n"
      "    20 : 20212223 2425",
      Out());
}

TEST_F(TraceTest, HexDumpEdges) {
  unsigned char bytes[17] = {0xFF};
  EXPECT_EQ(0, print_hex(bytes, 0, 2));
  EXPECT_EQ("", Out());
  EXPECT_EQ(0, print_hex(bytes, 16, 2));
  EXPECT_EQ("00 : FF000000 00000000 00000000 00000000\n  ", Out());
  out_.str("");
  EXPECT_EQ(0, print_hex(bytes, 17, 1));
  EXPECT_EQ("00 : FF000000 00000000 00000000 00000000\n 10 : 00", Out());
  out_.str("");
  EXPECT_EQ(18, print_hex(bytes, 17, 0));
  EXPECT_EQ("", Out());
}

TEST_F(TraceTest, HexDumpLongBufferIsWhole) {
  // Far beyond what a fixed 500-byte assembly area could hold.
  std::string big(4096, '\x5A');
  EXPECT_EQ(0, print_hex(reinterpret_cast<const unsigned char*>(big.data()),
                         4096, 55));
  std::string out = Out();
  EXPECT_NE(std::string::npos, out.find("FF0 : 5A5A5A5A"));
  // 256 rows of 32 digits, 3 blanks, a line end and the indentation; 16
  // offsets of two digits and 240 of three, each with " : ".
  EXPECT_EQ(256u * (32 + 3 + 1 + 55) + 16 * 5 + 240 * 6, out.size());
}

}  // namespace
