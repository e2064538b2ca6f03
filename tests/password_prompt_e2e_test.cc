// End-to-end tests of the password prompt: the real tarpon, and tarponrc
// with a gateway, on a pseudo-terminal against an emulated node configured
// in a temporary folder. Every case runs for both programs, which ask the
// same way. The test plays the user: it waits for each prompt, types the
// answer and checks that the terminal never showed what was typed and that
// its echo is back on when the program ends, whichever way it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/e2e_support.h"
#include "tests/support/gateway_support.h"

namespace {

const char kOldPrompt[] = "Old password please ..................:";
const char kNewPrompt[] = "New password please ..................:";
const char kVerifyPrompt[] = "New password again for verification...:";
const char kEnd[] = "\n";  // the engine's closing line feed; then a NUL

// A program on a new pseudo-terminal that is its controlling terminal and
// its standard input, output and error. The test keeps the terminal's own
// end open too, to read its modes after the program has gone.
class TerminalRun {
 public:
  TerminalRun(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    terminal_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0) return;

    std::vector<std::string> argStrings = {e2e::BinDir() + "/" + program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) envStrings.push_back(*e);
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::string terminalName = name;

    pid_ = fork();
    if (pid_ == 0) {
      // A new session whose controlling terminal is the pseudo-terminal, so
      // that Ctrl-C reaches tarpon as SIGINT.
      setsid();
      int fd = open(terminalName.c_str(), O_RDWR);
      if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(126);
      // Signals that dump core by default leave no core file behind.
      rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      dup2(fd, 0);
      dup2(fd, 1);
      dup2(fd, 2);
      if (fd > 2) close(fd);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }

  ~TerminalRun() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (terminal_ >= 0) close(terminal_);
    if (master_ >= 0) close(master_);
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Everything the terminal showed, carriage returns taken out.
  const std::string& screen() const { return screen_; }

  // Reads until text appears on the screen after what was already matched.
  bool WaitFor(const std::string& text, int timeoutMs = 10000) {
    long long deadline = e2e::NowMs() + timeoutMs;
    for (;;) {
      size_t at = screen_.find(text, matched_);
      if (at != std::string::npos) {
        matched_ = at + text.size();
        return true;
      }
      long long left = deadline - e2e::NowMs();
      if (left <= 0 || !ReadSome(static_cast<int>(left))) return false;
    }
  }

  void Type(const std::string& text) {
    ssize_t ignored = write(master_, text.data(), text.size());
    (void)ignored;
  }

  // Whether the terminal echoes what is typed.
  bool Echoes() const {
    termios modes;
    return tcgetattr(terminal_, &modes) == 0 && (modes.c_lflag & ECHO) != 0;
  }

  // Waits for tarpon to end and reads what is left; the wait status, or -1
  // when it did not end in time (it is then killed).
  int Finish(int timeoutMs = 10000) {
    long long deadline = e2e::NowMs() + timeoutMs;
    int status = 0;
    while (e2e::NowMs() < deadline) {
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        reaped_ = true;
        while (ReadSome(50)) {
        }
        return status;
      }
      ReadSome(50);
    }
    return -1;
  }

 private:
  // Reads what the terminal shows within timeoutMs; false when nothing.
  bool ReadSome(int timeoutMs) {
    pollfd fd = {master_, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) <= 0) return false;
    char buffer[1024];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\r') screen_ += buffer[i];
    }
    return true;
  }

  int master_ = -1;
  int terminal_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string screen_;
  size_t matched_ = 0;
};

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The parameter names the program: "tarpon", or "tarponrc" with a gateway
// on a free loopback port.
class PasswordPromptTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(box_.dir().empty());
    box_.Write("sna-node.conf",
               "[node]\n"
               "modes = #BATCH\n"
               "default_local_lu = WKSTN1\n"
               "[local_lu WKSTN1]\n"
               "name = NETA.WKSTN1\n"
               "[partner_lu hosta]\n"
               "name = NETA.KSVHOST\n"
               "[host NETA.KSVHOST]\n"
               "users = users.db\n");
    box_.Write("users.db", "ALICE     SECRET1\n");
    if (!Remote()) return;
    int port = e2e::FreeLoopbackPort();
    ASSERT_GT(port, 0);
    box_.Write("services", "tarponGateway " + std::to_string(port) + "/tcp\n");
    gateway_ =
        e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, "gateway", Env());
    ASSERT_NE(nullptr, gateway_) << box_.Read("gateway.err");
  }

  bool Remote() const { return std::string(GetParam()) == "tarponrc"; }

  std::vector<std::string> Env() const {
    return {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services")};
  }

  // The program on a terminal with the options tarpon would take.
  std::unique_ptr<TerminalRun> Start(std::vector<std::string> args) const {
    if (Remote()) args.insert(args.begin(), "127.0.0.1");
    return std::make_unique<TerminalRun>(GetParam(), args, Env());
  }

  // The whole screen of a run that showed prompts (each with its line end)
  // and then text: tarpon frames its output with a line feed before, and a
  // line feed and a NUL after; tarponrc prints the gateway's answer as is.
  std::string Screen(const std::string& prompts,
                     const std::string& text) const {
    if (Remote()) return prompts + text;
    return "\n" + prompts + text + kEnd + '\0';
  }

  // What a changed password shows; tarponrc shows the gateway's text.
  std::string Changed() const {
    return Remote() ? std::string(e2e::kBanner) + "0000)\n" + e2e::kChanged
                    : "Password changed successfully.\n";
  }

  // How the screen of a run without prompts begins for the engine's report.
  std::string Report(int rc, const std::string& report) const {
    if (!Remote()) return report;
    char code[8];
    std::snprintf(code, sizeof code, "%04d)\n", rc);
    return e2e::kBanner + std::string(code) + report;
  }

  // A change through the example host, without a terminal, to learn which
  // password the host holds now.
  int ChangeWithoutPrompt(const std::string& oldPassword,
                          const std::string& newPassword) {
    return e2e::Run(e2e::BinDir() + "/tarpon",
                    {"-u", "ALICE", "-p", oldPassword, "-np", newPassword, "-s",
                     "hosta"},
                    Env())
        .status;
  }

  e2e::Sandbox box_;
  std::unique_ptr<e2e::Background> gateway_;
};

INSTANTIATE_TEST_SUITE_P(
    Programs, PasswordPromptTest, ::testing::Values("tarpon", "tarponrc"),
    [](const ::testing::TestParamInfo<const char*>& program) {
      return std::string(program.param);
    });

TEST_P(PasswordPromptTest, AsksForBothPasswordsWithoutEchoAndChanges) {
  std::unique_ptr<TerminalRun> started = Start({"-u", "ALICE", "-s", "hosta"});
  TerminalRun& run = *started;
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.WaitFor(kOldPrompt)) << run.screen();
  EXPECT_FALSE(run.Echoes());
  run.Type("SECRET1\n");
  ASSERT_TRUE(run.WaitFor(kNewPrompt)) << run.screen();
  EXPECT_FALSE(run.Echoes());
  run.Type("NEWPW1\n");
  ASSERT_TRUE(run.WaitFor(kVerifyPrompt)) << run.screen();
  run.Type("NEWPW1\n");
  int status = run.Finish();
  EXPECT_EQ(0, ExitStatus(status)) << run.screen();
  EXPECT_EQ(Screen(std::string(kOldPrompt) + "\n" + kNewPrompt + "\n" +
                       kVerifyPrompt + "\n",
                   Changed()),
            run.screen());
  EXPECT_TRUE(run.Echoes());
  // The host took the typed password.
  EXPECT_EQ(0, ChangeWithoutPrompt("NEWPW1", "NEWPW2"));
}

TEST_P(PasswordPromptTest, RefusesAndLeavesTheHostAlone) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> answers;  // one per prompt, in order
    std::string prompts;               // the prompts shown, each on a line
    std::string message;
  };
  const std::string longMessage =
      "The password is longer than 8 characters.\nThe request was not run.\n";
  const std::vector<Case> cases = {
      {"new password too long: no verification asked",
       {"-u", "ALICE", "-p", "SECRET1", "-s", "hosta"},
       {"NINECHARS"},
       std::string(kNewPrompt) + "\n",
       longMessage},
      {"verification differs",
       {"-u", "ALICE", "-p", "SECRET1", "-s", "hosta"},
       {"NEWPW1", "NEWPW2"},
       std::string(kNewPrompt) + "\n" + kVerifyPrompt + "\n",
       "The new password and its verification differ.\n"
       "The request was not run.\n"},
      {"old password too long: the new one is not asked for",
       {"-u", "ALICE", "-np", "NEWPW1", "-s", "hosta"},
       {"SECRET1SECRET1SECRET1"},
       std::string(kOldPrompt) + "\n",
       longMessage},
      {"empty old password",
       {"-u", "ALICE", "-s", "hosta"},
       {""},
       std::string(kOldPrompt) + "\n",
       "No password was entered.\nThe request was not run.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TerminalRun> started = Start(c.args);
    TerminalRun& run = *started;
    ASSERT_TRUE(run.started());
    for (const std::string& answer : c.answers) {
      ASSERT_TRUE(run.WaitFor("...:")) << run.screen();
      run.Type(answer + "\n");
    }
    int status = run.Finish();
    EXPECT_EQ(15, ExitStatus(status)) << run.screen();
    EXPECT_EQ(Screen(c.prompts, c.message), run.screen());
    for (const std::string& answer : c.answers) {
      if (!answer.empty()) {
        EXPECT_EQ(std::string::npos, run.screen().find(answer));
      }
    }
    EXPECT_TRUE(run.Echoes());
  }
  // None of the refused runs reached the host.
  EXPECT_EQ(0, ChangeWithoutPrompt("SECRET1", "NEWPW1"));
}

TEST_P(PasswordPromptTest, EchoComesBackWhenInterrupted) {
  struct Case {
    const char* name;
    bool fromKeyboard;  // Ctrl-C typed, else SIGTERM sent
    int signal;
  };
  const Case cases[] = {
      {"Ctrl-C at the prompt", true, SIGINT},
      {"termination request", false, SIGTERM},
      {"alarm", false, SIGALRM},
      {"user signal 1", false, SIGUSR1},
      {"user signal 2", false, SIGUSR2},
      {"CPU time limit", false, SIGXCPU},
      {"profiling timer", false, SIGPROF},
      {"virtual timer", false, SIGVTALRM},
      {"real-time signal", false, SIGRTMIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TerminalRun> started =
        Start({"-u", "ALICE", "-p", "SECRET1", "-s", "hosta"});
    TerminalRun& run = *started;
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.WaitFor(kNewPrompt)) << run.screen();
    run.Type("NEW");  // half typed
    ASSERT_FALSE(run.Echoes());
    if (c.fromKeyboard) {
      run.Type("\x03");
    } else {
      kill(run.pid(), c.signal);
    }
    int status = run.Finish();
    ASSERT_TRUE(WIFSIGNALED(status)) << status << run.screen();
    EXPECT_EQ(c.signal, WTERMSIG(status));
    EXPECT_TRUE(run.Echoes());
  }
}

TEST_P(PasswordPromptTest, NeverAsksForWhatWouldNotBeSent) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exitStatus;
    const char* report;  // how the engine's text begins
    // Through tarponrc, which cannot tell which options the engine takes
    // (0: not run), the gateway's engine answers: it adds -noterm.
    int remoteStatus;
    const char* remoteReport;
  };
  const Case cases[] = {
      {"-noterm",
       {"-noterm", "-u", "ALICE", "-p", "SECRET1", "-s", "hosta"},
       14,
       "\nERROR 44. ",
       14,
       "\nERROR 44. "},
      {"an argument no option takes",
       {"-u", "ALICE", "-s", "hosta", "-bogus"},
       4,
       "\nERROR 34. ",
       0,
       ""},
      {"a bad value after the missing password",
       {"-u", "ALICE", "-np", "NINECHARS", "-s", "hosta"},
       14,
       "\nERROR 37. ",
       0,
       ""},
      {"the local path",
       {"-u", "ALICE"},
       21,
       "\nERROR 57. ",
       14,
       "\nERROR 44. "},
  };
  for (const Case& c : cases) {
    if (Remote() && c.remoteStatus == 0) continue;
    SCOPED_TRACE(c.name);
    std::unique_ptr<TerminalRun> started = Start(c.args);
    TerminalRun& run = *started;
    ASSERT_TRUE(run.started());
    int status = run.Finish();
    int expected = Remote() ? c.remoteStatus : c.exitStatus;
    EXPECT_EQ(expected, ExitStatus(status)) << run.screen();
    EXPECT_EQ(0u, run.screen().find(
                      Report(expected, Remote() ? c.remoteReport : c.report)))
        << run.screen();
    EXPECT_EQ(std::string::npos, run.screen().find("password please"));
  }
}

}  // namespace
