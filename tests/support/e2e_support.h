// Support for end-to-end tests: a temporary folder that holds an emulated
// SNA node's configuration and user database, and a runner that starts one
// of the built programs as a process with a bounded wait and captures its
// standard output, standard error and exit status.
#ifndef TARPON_TESTS_SUPPORT_E2E_SUPPORT_H_
#define TARPON_TESTS_SUPPORT_E2E_SUPPORT_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

struct RunResult {
  int status = -1;  // exit status, or -1 when the program did not exit
  std::string out;
  std::string err;
  bool timedOut = false;
};

// The folder of the built programs: TARPON_BIN_DIR, or else programs/ beside
// the folder of this test program (every test program is built one folder
// below the build's top).
inline std::string BinDir() {
  const char* dir = std::getenv("TARPON_BIN_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  std::error_code error;
  std::filesystem::path self =
      std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return ".";
  return (self.parent_path().parent_path() / "programs").string();
}

inline long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// What the program gets as its standard output.
enum class Stdout {
  kCaptured,    // a pipe the test reads (RunResult::out)
  kClosed,      // no descriptor 1 at all
  kReaderGone,  // a pipe whose reading end is already closed
};

// Runs program with args. env entries ("NAME=value") replace or add to the
// test's own environment; a "NAME" entry without "=" removes NAME. The
// program is killed when it runs longer than timeoutMs.
inline RunResult Run(const std::string& program,
                     const std::vector<std::string>& args,
                     const std::vector<std::string>& env, int timeoutMs = 10000,
                     Stdout standardOutput = Stdout::kCaptured) {
  RunResult result;
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const std::string& change : env) {
      if (change.substr(0, change.find('=')) == name) overridden = true;
    }
    if (!overridden) environment.push_back(entry);
  }
  for (const std::string& change : env) {
    if (change.find('=') != std::string::npos) environment.push_back(change);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);

  std::vector<std::string> argStrings;
  argStrings.push_back(program);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  if (standardOutput != Stdout::kCaptured) {
    close(outPipe[0]);
    outPipe[0] = -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (standardOutput == Stdout::kClosed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                            argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawned != 0) {
    if (outPipe[0] >= 0) close(outPipe[0]);
    close(errPipe[0]);
    result.err =
        std::string("cannot start ") + program + ": " + std::strerror(spawned);
    return result;
  }

  long long deadline = NowMs() + timeoutMs;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = outPipe[0] >= 0 ? 2 : 1;
  while (open > 0) {
    long long left = deadline - NowMs();
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (result.timedOut) kill(pid, SIGKILL);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (!result.timedOut && WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  }
  return result;
}

// A fresh temporary folder, removed with everything in it at the end.
class Sandbox {
 public:
  Sandbox() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarpon-e2e-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) dir_ = buffer.data();
  }
  ~Sandbox() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void Write(const std::string& name, const std::string& text) const {
    std::ofstream file(Path(name), std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    chmod(Path(name).c_str(), 0600);  // the host refuses a looser database
  }
  std::string Read(const std::string& name) const {
    std::ifstream file(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file),
                       std::istreambuf_iterator<char>());
  }

 private:
  std::string dir_;
};

}  // namespace e2e

#endif  // TARPON_TESTS_SUPPORT_E2E_SUPPORT_H_
