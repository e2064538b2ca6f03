// Support for end-to-end tests of the gateway: a free loopback port named
// through a services file, and a gateway process that lives as long as the
// test's object and is always stopped.
#ifndef TARPON_TESTS_SUPPORT_GATEWAY_SUPPORT_H_
#define TARPON_TESTS_SUPPORT_GATEWAY_SUPPORT_H_

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e_support.h"

namespace e2e {

// A node with one password host, partner LU alias "hosta"; its user
// database is users.db beside the configuration.
inline const char kGatewayNodeConfig[] =
    "[node]\n"
    "modes = #BATCH\n"
    "[partner_lu hosta]\n"
    "name = NETA.KSVHOST\n"
    "[host NETA.KSVHOST]\n"
    "users = users.db\n";

// The same node, its host revoking a user ID after three failed sign-ons in
// a row (the last section is the host's, so the line joins it).
inline std::string RevokingNodeConfig() {
  return std::string(kGatewayNodeConfig) + "revoke_after = 3\n";
}

// The remote client's first line up to the return code, and the engine's
// text for a changed password.
inline const char kBanner[] =
    "TARPON remote server (KSV GATEWAY) successfully invoked. Response "
    "received follows, (remote rc=";
inline const char kChanged[] = "\nPassword changed successfully.\n\n";

// A port that nothing uses at the moment of the call, below the range the
// system hands out to outgoing connections (32768 and up by default), so
// that another program's connection cannot take it before the gateway
// binds it.
inline int FreeLoopbackPort() {
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 200; ++attempt) {
    int port = 20000 + static_cast<int>(random() % 12000);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool free =
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  return -1;
}

// Where a background program's standard streams go: input from /dev/null
// and output and error to files; all three closed; or output and error to a
// pipe whose reading end is closed at once.
enum class Streams { kFiles, kClosed, kDeadPipe };

// A program started in the background; killed and reaped when the object
// ends.
class Background {
 public:
  Background(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, const std::string& outPath,
             const std::string& errPath, Streams streams = Streams::kFiles) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.push_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (streams == Streams::kFiles) {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
      posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    } else if (streams == Streams::kClosed) {
      for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addclose(&actions, fd);
      }
    } else if (pipe2(pipeFds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    }
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(),
                    envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : pipeFds) {
      if (fd >= 0) close(fd);
    }
  }
  ~Background() { Stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool Started() const { return pid_ > 0; }
  // The process id while it runs, -1 after it ended or failed to start.
  pid_t pid() const { return pid_; }

  // Waits, bounded, for the process to end by itself; its exit status, or
  // -1 when it did not end in time (it is then killed).
  int Wait(int timeoutMs) {
    if (Exited(timeoutMs)) return exitStatus_;
    Stop();
    return -1;
  }

  // Waits, bounded, for the process to end by itself, and reaps it: true
  // once it ended (Wait then gives its exit status at once).
  bool Exited(int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    while (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
      }
      if (NowMs() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Sends signal and waits, bounded by waitMs in all, until done(ms) finds
  // its effect within ms. Under ThreadSanitizer a signal that comes just as
  // the program goes back to waiting is now and then lost (its runtime
  // defers signals); while the effect does not show, the signal is sent
  // again, three times at most.
  bool Signal(int signal, const std::function<bool(int ms)>& done,
              int waitMs = 10000) {
    long long deadline = NowMs() + waitMs;
    for (int attempt = 0; attempt < 3 && pid_ > 0; ++attempt) {
      kill(pid_, signal);
      long long left = deadline - NowMs();
      int slice = attempt == 2 || left < 3000 ? static_cast<int>(left) : 3000;
      if (done(slice > 0 ? slice : 0)) return true;
    }
    return false;
  }

  // Sends signal until the process ends, bounded: Signal with Exited.
  bool SignalToEnd(int signal, int waitMs = 10000) {
    return Signal(
        signal, [this](int ms) { return Exited(ms); }, waitMs);
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int exitStatus_ = -1;
};

// A blocking TCP connection from the loopback address source (127.0.0.2
// and upward are loopback addresses too) to port on 127.0.0.1, or -1.
inline int ConnectFrom(const std::string& source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = {};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 &&
      bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

// Sends bytes on fd, unless empty, and reads what comes back until the peer
// closes or nothing comes for waitMs; closes fd.
inline std::string SendAndReadToClose(int fd, const std::string& bytes,
                                      int waitMs = 5000) {
  if (!bytes.empty()) send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string reply;
  char chunk[4096];
  pollfd ready = {fd, POLLIN, 0};
  while (poll(&ready, 1, waitMs) == 1) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    reply.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

// The text that GET path answers at the loopback port, head included.
inline std::string HttpGet(int port, const std::string& path) {
  int fd = ConnectFrom("127.0.0.1", port);
  if (fd < 0) return "";
  return SendAndReadToClose(fd, "GET " + path +
                                    " HTTP/1.1\r\nHost: localhost\r\n"
                                    "Connection: close\r\n\r\n");
}

// Waits, bounded, until something accepts connections on the loopback port.
inline bool WaitForPort(int port, int timeoutMs) {
  long long deadline = NowMs() + timeoutMs;
  do {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool up =
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (NowMs() < deadline);
  return false;
}

// Polls file until it contains text, for at most timeoutMs.
inline bool WaitForText(const Sandbox& box, const std::string& file,
                        const std::string& text, int timeoutMs) {
  long long deadline = NowMs() + timeoutMs;
  while (box.Read(file).find(text) == std::string::npos) {
    if (NowMs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Starts tarpons in the background with "-log <box>/<name>.log" and args,
// in the environment env, its output in <name>.out and <name>.err, and
// waits, bounded by timeoutMs, for the log's "started" line. Null when the
// gateway did not start; its standard error is then in <name>.err.
inline std::unique_ptr<Background> StartGateway(
    const std::string& program, const Sandbox& box, const std::string& name,
    const std::vector<std::string>& env,
    const std::vector<std::string>& args = {}, int timeoutMs = 10000) {
  // Each gateway's counts in a state file of its own in the sandbox.
  std::vector<std::string> all = {"-log", box.Path(name + ".log"),
                                  "-state-file", box.Path(name + ".state")};
  all.insert(all.end(), args.begin(), args.end());
  auto gateway = std::make_unique<Background>(
      program, all, env, box.Path(name + ".out"), box.Path(name + ".err"));
  if (!gateway->Started() ||
      !WaitForText(box, name + ".log", "TARPON SERVER started ", timeoutMs)) {
    return nullptr;
  }
  return gateway;
}

// The open descriptors of a process (entries of /proc/<pid>/fd), or -1
// when it is gone.
inline int OpenDescriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// The log text without its time stamps ("Tue Dec  8 00:36:21 2026 : "),
// which begin every line the gateway starts, also inside a session line
// that a client left unfinished.
inline bool IsTimeStampAt(const std::string& text, size_t at) {
  // "Www Mmm dd hh:mm:ss yyyy : ": a letter, digit or fixed character each.
  static const char kShape[] = "aaa aaa _d dd:dd:dd dddd : ";
  if (text.size() - at < sizeof kShape - 1) return false;
  for (size_t i = 0; i + 1 < sizeof kShape; ++i) {
    char c = text[at + i];
    switch (kShape[i]) {
      case 'a':
        if (!std::isalpha(static_cast<unsigned char>(c))) return false;
        break;
      case 'd':
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        break;
      case '_':
        if (c != ' ' && !std::isdigit(static_cast<unsigned char>(c))) {
          return false;
        }
        break;
      default:
        if (c != kShape[i]) return false;
    }
  }
  return true;
}

inline std::string WithoutTimeStamps(const std::string& log) {
  std::string result;
  for (size_t i = 0; i < log.size(); ++i) {
    if (IsTimeStampAt(log, i)) {
      i += 26;
    } else {
      result += log[i];
    }
  }
  return result;
}

}  // namespace e2e

namespace e2e {

// A Redis server of the test's own on a free loopback port, in box's
// folder; null when redis-server is not installed or does not start.
inline std::unique_ptr<Background> StartRedis(const Sandbox& box, int port) {
  if (access("/usr/bin/redis-server", X_OK) != 0) return nullptr;
  auto redis = std::make_unique<Background>(
      "/usr/bin/redis-server",
      std::vector<std::string>{"--port", std::to_string(port), "--bind",
                               "127.0.0.1", "--save", "", "--appendonly", "no",
                               "--dir", box.dir()},
      std::vector<std::string>{}, box.Path("redis.out"), box.Path("redis.err"));
  if (!redis->Started() || !WaitForPort(port, 10000)) return nullptr;
  return redis;
}

}  // namespace e2e

#endif  // TARPON_TESTS_SUPPORT_GATEWAY_SUPPORT_H_
