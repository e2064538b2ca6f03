// The plain byte channel over a non-blocking socket pair: every result a
// caller must tell apart.
#include "comm/byte_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "comm/fd.h"

namespace {

TEST(PlainChannelTest, TellsEveryOutcomeApart) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds));
  Fd near(fds[0]);
  Fd far(fds[1]);
  PlainChannel channel(near.get());
  char buffer[8];
  size_t count = 0;
  EXPECT_EQ(IoResult::kWouldBlock, channel.ReadSome(buffer, 8, &count));
  ASSERT_EQ(3, write(far.get(), "abc", 3));
  ASSERT_EQ(IoResult::kOk, channel.ReadSome(buffer, 8, &count));
  EXPECT_EQ("abc", std::string(buffer, count));
  ASSERT_EQ(IoResult::kOk, channel.WriteSome("xy", 2, &count));
  EXPECT_EQ(2u, count);
  ASSERT_EQ(2, read(far.get(), buffer, 8));
  far.Reset();
  EXPECT_EQ(IoResult::kClosed, channel.ReadSome(buffer, 8, &count));
  // A peer that has gone fails the write with its error, not a signal.
  EXPECT_EQ(IoResult::kFailed, channel.WriteSome("xy", 2, &count));
  EXPECT_EQ(EPIPE, channel.GetError());
  EXPECT_EQ("connection failed (Broken pipe)", channel.Failure());
}

// Reading ahead: what Look shows is still handed out, a request of several
// records is read at once, and the close behind the bytes comes after them.
TEST(PlainChannelTest, ReadsAheadAndReportsTheCloseAfterTheBytes) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds));
  Fd near(fds[0]);
  Fd far(fds[1]);
  PlainChannel channel(near.get(), true);
  const char* seen = nullptr;
  size_t count = 0;
  EXPECT_EQ(IoResult::kWouldBlock, channel.Look(4, &seen, &count));
  ASSERT_EQ(2, write(far.get(), "ab", 2));
  ASSERT_EQ(IoResult::kOk, channel.Look(4, &seen, &count));
  EXPECT_EQ("ab", std::string(seen, count));
  ASSERT_EQ(4, write(far.get(), "cdef", 4));
  far.Reset();
  ASSERT_EQ(IoResult::kOk, channel.Look(4, &seen, &count));
  EXPECT_EQ("abcdef", std::string(seen, count));
  std::string got;
  char buffer[4];
  while (channel.ReadSome(buffer, 4, &count) == IoResult::kOk) {
    got.append(buffer, count);
  }
  EXPECT_EQ("abcdef", got);
  EXPECT_EQ(IoResult::kClosed, channel.ReadSome(buffer, 4, &count));
  EXPECT_TRUE(channel.HasEnded());
}

}  // namespace
