// The gateway's log: escaped bytes, one report a failing spell, and whole
// lines with a count of those lost when writing fails and resumes.
#include "gateway/gateway_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <ostream>
#include <string>
#include <thread>

#include "tests/support/gateway_support.h"

namespace {

class GatewayLogTest : public ::testing::Test {
 protected:
  // Errors go to a pipe, which no file size limit reaches.
  void SetUp() override {
    ASSERT_EQ(0, pipe2(errorPipe_, O_CLOEXEC | O_NONBLOCK));
    errorFd_ = errorPipe_[1];
  }
  void TearDown() override {
    close(errorPipe_[0]);
    close(errorPipe_[1]);
  }

  std::string Errors() const {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(errorPipe_[0], buffer, sizeof buffer)) > 0) {
      text.append(buffer, n);
    }
    return text;
  }

  e2e::Sandbox box_;
  int errorPipe_[2] = {-1, -1};
  int errorFd_ = -1;
};

TEST_F(GatewayLogTest, EscapesReportsFailuresOnceAndResumes) {
  int pipeFds[2];
  ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK));
  GatewayLog log(pipeFds[1], errorFd_);
  std::ostream out(&log);
  auto drain = [&] {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
      text.append(buffer, n);
    return e2e::WithoutTimeStamps(text);
  };

  out << "user(\x1b[2J\xff\tx) \n" << std::flush;
  EXPECT_EQ("user(\\x1B[2J\\xFF\\x09x) \n", drain());

  std::string filler(1 << 20, 'f');
  while (write(pipeFds[1], filler.data(), filler.size()) > 0) {
  }
  out << "lost one\n" << std::flush;
  out << "lost two\nand three\n" << std::flush;
  EXPECT_TRUE(log.IsFailing());
  EXPECT_EQ(3u, log.GetLostCount());
  drain();
  out << "back\n" << std::flush;
  EXPECT_FALSE(log.IsFailing());
  EXPECT_EQ(
      "TARPON SERVER 3 log lines lost (Resource temporarily unavailable)\n"
      "back\n",
      drain());
  EXPECT_EQ(
      "TARPON SERVER E0008 : cannot write the log (Resource temporarily "
      "unavailable); trying again at the next session.\n",
      Errors());
  close(pipeFds[0]);
  close(pipeFds[1]);
}

// A file size limit cuts a write short in the middle of a line: the line's
// rest comes first once the file can grow, and nothing is joined to it.
TEST_F(GatewayLogTest, FinishesALineCutShortBeforeAnythingElse) {
  rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  void (*savedHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  const int logFd = open(box_.Path("gateway.log").c_str(),
                         O_WRONLY | O_CREAT | O_APPEND, 0600);
  {
    GatewayLog log(logFd, errorFd_);
    std::ostream out(&log);
    out << "one\n" << std::flush;
    rlimit small = saved;
    small.rlim_cur = 6;  // "one\ntw"
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    out << "two\nthree\n" << std::flush;
    out << "four\n" << std::flush;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
    out << "five\n" << std::flush;
  }
  signal(SIGXFSZ, savedHandler);
  close(logFd);
  EXPECT_EQ("one\ntwo\nTARPON SERVER 2 log lines lost (File too large)\nfive\n",
            e2e::WithoutTimeStamps(box_.Read("gateway.log")));
  EXPECT_EQ(
      "TARPON SERVER E0008 : cannot write the log (File too large); trying "
      "again at the next session.\n",
      Errors());
}

// Only the thread that made the log may use it: a line written from another
// thread (a host conversation's) stops a checking build at once.
TEST_F(GatewayLogTest, AbortsWhenAnotherThreadWrites) {
  if (!kGatewayLogChecksThread) GTEST_SKIP() << "built without thread checks";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        GatewayLog log(errorFd_, errorFd_);
        std::thread writer([&log] {
          std::ostream out(&log);
          out << "from a conversation\n" << std::flush;
        });
        writer.join();
      },
      "thread other than its owner");
}

}  // namespace

namespace {

// -log-format json: one object a line; a line's own time stamp gives its
// time, the lines after it without one (a dump) join its message, and a
// session's lines carry its operation and client. A client's bytes cannot
// end an object or forge a mark.
TEST_F(GatewayLogTest, JsonLinesCarryTheirTimeAndTheirSession) {
  int pipeFds[2];
  ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK));
  {
    GatewayLog log(pipeFds[1], errorFd_);
    log.SetFormat(LogFormat::kJson);
    std::ostream out(&log);
    const std::string stamp = GatewayTimeStamp();
    ASSERT_TRUE(BeginsWithIsoUtcTime(stamp)) << stamp;
    out << stamp << "TARPON SERVER started \n" << std::flush;
    log.BeginOperation("7", "192.0.2.1");
    out << stamp
        << "Session id(7) IP(192.0.2.1) user(A\"\x01"
           "B\x02) "
        << "tarponRc(0) \n"
        << std::flush;
    log.EndOperation();
    out << stamp << "TARPON SERVER ended abnormally\n\nListener dump\n"
        << "trace without a stamp" << std::flush;
  }
  std::string text;
  char buffer[8192];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, n);
  }
  close(pipeFds[0]);
  close(pipeFds[1]);
  const std::string time = text.substr(9, kIsoUtcTimeLength);
  EXPECT_TRUE(BeginsWithIsoUtcTime(time)) << text;
  const std::string head =
      "{\"time\":\"" + time + "\",\"program\":\"tarpons\",\"event\":";
  EXPECT_EQ(head + "\"server\",\"message\":\"TARPON SERVER started \"}\n" +
                head +
                "\"session\",\"operation\":\"7\",\"client\":\"192.0.2.1\","
                "\"message\":\"Session id(7) IP(192.0.2.1) "
                "user(A\\\"\\\\x01B\\\\x02) tarponRc(0) \"}\n" +
                head +
                "\"server\",\"message\":\"TARPON SERVER ended "
                "abnormally\\n\\nListener dump\\ntrace without a stamp\"}\n",
            text);
  // The text format's stamps are back once the log is gone.
  EXPECT_FALSE(BeginsWithIsoUtcTime(GatewayTimeStamp()));
}

}  // namespace
