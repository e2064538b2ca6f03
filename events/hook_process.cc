#include "events/hook_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "comm/fd.h"
#include "events/event.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The output kept to find its first line in; the rest is read and dropped.
constexpr size_t kOutputKept = 4096;
// How often a wait looks at the cancel flag.
constexpr int kSliceMs = 50;

// A child process and the two pipes to it.
struct Child {
  pid_t pid = -1;
  Fd input;   // its standard input, ours to write
  Fd output;  // its standard output and error, ours to read
  Fd exited;  // readable once it ended (a pidfd), when the kernel has them
};

bool Spawn(const std::vector<std::string>& args, Child* child,
           std::string* error) {
  // Its input is a socket, written with MSG_NOSIGNAL: a hook that does not
  // read it all gives EPIPE, never a SIGPIPE for the gateway.
  int in[2], out[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  Fd inRead(in[0]);
  child->input.Reset(in[1]);
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  child->output.Reset(out[0]);
  Fd outWrite(out[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inRead.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
    sigaddset(&defaults, s);
  }
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK |
                                            POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETPGROUP);
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int rc = posix_spawnp(&child->pid, argv[0], &actions, &attributes,
                        argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    *error = std::strerror(rc);
    child->pid = -1;
    return false;
  }
  fcntl(child->input.get(), F_SETFL, O_NONBLOCK);
  fcntl(child->output.get(), F_SETFL, O_NONBLOCK);
  child->exited.Reset(static_cast<int>(syscall(SYS_pidfd_open, child->pid, 0)));
  return true;
}

// Writes what the child takes of input from *written on; closes its input
// once all is written or it takes no more.
void Feed(Child* child, const std::string& input, size_t* written) {
  while (*written < input.size()) {
    ssize_t n = send(child->input.get(), input.data() + *written,
                     input.size() - *written, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) break;
    *written += static_cast<size_t>(n);
  }
  child->input.Reset();
}

// Reads what the child wrote, keeping the first kOutputKept bytes.
void Drain(Child* child, std::string* kept) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(child->output.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      child->output.Reset();
      return;
    }
    size_t room = kOutputKept - std::min(kept->size(), kOutputKept);
    kept->append(buffer, std::min(room, static_cast<size_t>(n)));
  }
}

// True once the child has ended and was reaped, its status in *status.
bool Reaped(const Child& child, int* status) {
  pid_t rc;
  do {
    rc = waitpid(child.pid, status, WNOHANG);
  } while (rc < 0 && errno == EINTR);
  // Reaped by someone else: its status is lost, which counts as a failure.
  if (rc < 0) *status = 255 << 8;
  return rc == child.pid || rc < 0;
}

// Waits up to waitMs for the child's pipes or its end.
void WaitForChild(const Child& child, int waitMs) {
  pollfd fds[3];
  nfds_t count = 0;
  if (child.input) fds[count++] = {child.input.get(), POLLOUT, 0};
  if (child.output) fds[count++] = {child.output.get(), POLLIN, 0};
  if (child.exited) fds[count++] = {child.exited.get(), POLLIN, 0};
  // Without a pidfd, the end is looked for at every slice.
  if (!child.exited && waitMs > kSliceMs / 5) waitMs = kSliceMs / 5;
  poll(fds, count, waitMs);
}

}  // namespace

std::string HookResult::Describe() const {
  if (!started) return "not run: " + error;
  if (timedOut) return "killed at its deadline";
  if (cancelled) return "killed: the gateway is stopping";
  if (signal != 0) return "ended by signal " + std::to_string(signal);
  return "exit " + std::to_string(exitStatus);
}

HookResult RunHook(const std::vector<std::string>& argv,
                   const std::string& input, std::chrono::milliseconds deadline,
                   const std::atomic<bool>* cancel) {
  HookResult result;
  const auto start = Clock::now();
  const auto end = start + deadline;
  Child child;
  if (argv.empty() || !Spawn(argv, &child, &result.error)) {
    if (argv.empty()) result.error = "no program";
    return result;
  }
  result.started = true;
  size_t written = 0;
  std::string kept;
  int status = 0;
  for (;;) {
    if (child.input) Feed(&child, input, &written);
    if (child.output) Drain(&child, &kept);
    if (Reaped(child, &status)) break;
    const auto now = Clock::now();
    const bool late = now >= end;
    if (late || (cancel != nullptr && cancel->load())) {
      (late ? result.timedOut : result.cancelled) = true;
      kill(-child.pid, SIGKILL);
      kill(child.pid, SIGKILL);
      while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    WaitForChild(
        child, static_cast<int>(std::min<int64_t>(left.count() + 1, kSliceMs)));
  }
  if (child.output) Drain(&child, &kept);
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (WIFEXITED(status) && !result.timedOut && !result.cancelled) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  result.output = OneLine(kept, kHookOutputLineLength);
  return result;
}
