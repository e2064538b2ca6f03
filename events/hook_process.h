// Runs one hook: a program of the administrator's, with bytes on its
// standard input and its output (standard output and error together) kept
// as one line for the log. The program runs in a process group of its own
// with the default signal handling and nothing of the gateway's open but
// its three standard streams (its input a socket, its output a pipe); at its
// deadline, or when told to give up, the whole group is killed.
#ifndef TARPON_EVENTS_HOOK_PROCESS_H_
#define TARPON_EVENTS_HOOK_PROCESS_H_

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

// The longest output line kept for the log.
constexpr size_t kHookOutputLineLength = 200;

struct HookResult {
  bool started = false;
  std::string error;       // why it did not start
  int exitStatus = -1;     // its exit status when it exited
  int signal = 0;          // the signal that ended it, else 0
  bool timedOut = false;   // killed at its deadline
  bool cancelled = false;  // killed because the caller gave up
  // The first line of its output that is not blank, cut to
  // kHookOutputLineLength bytes.
  std::string output;
  double seconds = 0;

  bool Succeeded() const { return started && exitStatus == 0; }
  // "exit 3", "killed at its deadline of 30 s", "signal 9", "not run: ...".
  std::string Describe() const;
};

// Runs argv (argv[0] found as the shell would) with input on its standard
// input, at most deadline long; gives up early once *cancel (may be null)
// turns true. Blocks the calling thread until the program has ended and
// has been reaped. The input is written from this process's memory only:
// it appears in no argument and no environment variable.
HookResult RunHook(const std::vector<std::string>& argv,
                   const std::string& input, std::chrono::milliseconds deadline,
                   const std::atomic<bool>* cancel = nullptr);

#endif  // TARPON_EVENTS_HOOK_PROCESS_H_
