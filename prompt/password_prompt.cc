#include "prompt/password_prompt.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "contract/secret.h"
#include "trace/trace.h"

namespace {

// The highest signal number, plus one.
constexpr int kSignalLimit = NSIG;

// Whether sig ends the process by default. Every such signal that can be
// caught restores the terminal first.
bool EndsByDefault(int sig) {
  switch (sig) {
    case SIGHUP:
    case SIGINT:
    case SIGQUIT:
    case SIGILL:
    case SIGTRAP:
    case SIGABRT:
    case SIGBUS:
    case SIGFPE:
    case SIGUSR1:
    case SIGSEGV:
    case SIGUSR2:
    case SIGPIPE:
    case SIGALRM:
    case SIGTERM:
    case SIGXCPU:
    case SIGXFSZ:
    case SIGVTALRM:
    case SIGPROF:
    case SIGSYS:
#ifdef SIGSTKFLT
    case SIGSTKFLT:
#endif
#ifdef SIGIO
    case SIGIO:
#endif
#ifdef SIGPWR
    case SIGPWR:
#endif
      return true;
    default:
      return sig >= SIGRTMIN && sig <= SIGRTMAX;
  }
}

// Whether sig stops the process by default (SIGSTOP cannot be caught).
bool StopsByDefault(int sig) {
  return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// The terminal whose echo is off, for the signal handler. Written only while
// the handlers are not installed.
volatile sig_atomic_t g_terminal = -1;
struct termios g_saved;   // the modes to restore
struct termios g_silent;  // the same without echo
struct sigaction g_previous[kSignalLimit];
bool g_installed[kSignalLimit];

void OnSignal(int sig) {
  int savedErrno = errno;
  int fd = g_terminal;
  if (fd >= 0) tcsetattr(fd, TCSANOW, &g_saved);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  if (StopsByDefault(sig)) {
    // Stop with the echo back on; when continued, silence it again.
    struct sigaction ours;
    sigaction(sig, nullptr, &ours);
    signal(sig, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    sigprocmask(SIG_BLOCK, &only, nullptr);
    sigaction(sig, &ours, nullptr);
    if (fd >= 0) tcsetattr(fd, TCSANOW, &g_silent);
  } else if (sig > 0 && sig < kSignalLimit) {
    // Hand the signal to what the process had before: by default it ends
    // the process here, with the terminal already restored.
    sigaction(sig, &g_previous[sig], nullptr);
    g_installed[sig] = false;
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
  }
  errno = savedErrno;
}

void InstallHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  // Each handler runs with every other one held off; a blocked SIGTTOU also
  // lets a background process restore the terminal's modes.
  sigemptyset(&action.sa_mask);
  for (int sig = 1; sig < kSignalLimit; ++sig) {
    if (EndsByDefault(sig) || StopsByDefault(sig)) {
      sigaddset(&action.sa_mask, sig);
    }
  }
  action.sa_flags = SA_RESTART;
  for (int sig = 1; sig < kSignalLimit; ++sig) {
    g_installed[sig] = false;
    if (!EndsByDefault(sig) && !StopsByDefault(sig)) continue;
    if (sigaction(sig, nullptr, &g_previous[sig]) != 0) continue;
    // A signal the process ignores (nohup, a closed pipe) stays ignored.
    if (g_previous[sig].sa_handler == SIG_IGN) continue;
    g_installed[sig] = sigaction(sig, &action, nullptr) == 0;
  }
}

void RemoveHandlers() {
  for (int sig = 1; sig < kSignalLimit; ++sig) {
    if (g_installed[sig]) sigaction(sig, &g_previous[sig], nullptr);
    g_installed[sig] = false;
  }
}

void WriteText(int fd, const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

// Reads one line from fd. Keeps at most maxLength characters in entry
// (maxLength + 1 bytes); *length counts all characters of the line.
// Returns false when the input ended before any character.
bool ReadLine(int fd, char* entry, int maxLength, int* length) {
  *length = 0;
  bool any = false;
  for (;;) {
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (c == '\n') break;
    if (*length < maxLength) entry[*length] = c;
    if (*length < PASSWORD_PROMPT_MAX_LENGTH + 1) ++*length;
  }
  entry[*length < maxLength ? *length : maxLength] = '\0';
  return any;
}

// Asks once; on PASSWORD_PROMPT_OK entry holds the password.
int Ask(int inFd, int outFd, const char* prompt, char* entry, int maxLength) {
  WriteText(outFd, prompt != nullptr ? prompt : "");
  int length = 0;
  bool any = ReadLine(inFd, entry, maxLength, &length);
  // The Enter key was not echoed either.
  WriteText(outFd, "\n");
  if (!any || length == 0) return PASSWORD_PROMPT_EMPTY;
  if (length > maxLength) return PASSWORD_PROMPT_TOO_LONG;
  return PASSWORD_PROMPT_OK;
}

}  // namespace

int read_password_from_terminal(int inFd, int outFd, char* destination,
                                int maxLength, const char* prompt,
                                const char* verificationPrompt) {
  int rc = PASSWORD_PROMPT_NO_TERMINAL;
  TraceScope scope("read_password_from_terminal()", &rc, TRACE_OFF);
  if (destination == nullptr || maxLength <= 0 || !isatty(inFd)) return rc;
  if (maxLength > PASSWORD_PROMPT_MAX_LENGTH) {
    maxLength = PASSWORD_PROMPT_MAX_LENGTH;
  }
  struct termios saved;
  if (tcgetattr(inFd, &saved) != 0) return rc;
  g_saved = saved;
  g_silent = saved;
  g_silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
  g_terminal = inFd;
  InstallHandlers();
  // Input typed before the echo went off was shown; it is not taken.
  if (tcsetattr(inFd, TCSAFLUSH, &g_silent) != 0) {
    RemoveHandlers();
    g_terminal = -1;
    return rc;
  }

  char first[PASSWORD_PROMPT_MAX_LENGTH + 1];
  char second[PASSWORD_PROMPT_MAX_LENGTH + 1];
  rc = Ask(inFd, outFd, prompt, first, maxLength);
  if (rc == PASSWORD_PROMPT_OK && verificationPrompt != nullptr) {
    rc = Ask(inFd, outFd, verificationPrompt, second, maxLength);
    if (rc == PASSWORD_PROMPT_OK && std::strcmp(first, second) != 0) {
      rc = PASSWORD_PROMPT_MISMATCH;
    }
  }

  tcsetattr(inFd, TCSANOW, &saved);
  RemoveHandlers();
  g_terminal = -1;
  if (rc == PASSWORD_PROMPT_OK) {
    std::snprintf(destination, static_cast<size_t>(maxLength) + 1, "%s", first);
  }
  WipeBytes(first, sizeof first);
  WipeBytes(second, sizeof second);
  return rc;
}

void password_prompt_refusal_text(int result, int maxLength, char* text,
                                  int size) {
  if (text == nullptr || size <= 0) return;
  size_t room = static_cast<size_t>(size);
  switch (result) {
    case PASSWORD_PROMPT_EMPTY:
      std::snprintf(text, room,
                    "No password was entered.\nThe request was not run.\n");
      break;
    case PASSWORD_PROMPT_TOO_LONG:
      std::snprintf(text, room,
                    "The password is longer than %d characters.\n"
                    "The request was not run.\n",
                    maxLength);
      break;
    case PASSWORD_PROMPT_MISMATCH:
      std::snprintf(text, room,
                    "The new password and its verification differ.\n"
                    "The request was not run.\n");
      break;
    default:
      text[0] = '\0';
      break;
  }
}

int prompt_password_on_terminal(char* destination, int maxLength,
                                const char* prompt,
                                const char* verificationPrompt) {
  int rc = PASSWORD_PROMPT_NO_TERMINAL;
  TraceScope scope("prompt_password_on_terminal()", &rc, TRACE_OFF);
  // What the program printed so far comes before the prompt.
  std::cout.flush();
  const char* terminalName = ttyname(STDIN_FILENO);
  int terminal = terminalName != nullptr
                     ? open(terminalName, O_WRONLY | O_NOCTTY | O_CLOEXEC)
                     : -1;
  rc = read_password_from_terminal(
      STDIN_FILENO, terminal >= 0 ? terminal : STDERR_FILENO, destination,
      maxLength, prompt, verificationPrompt);
  if (terminal >= 0) close(terminal);
  if (rc != PASSWORD_PROMPT_OK && rc != PASSWORD_PROMPT_NO_TERMINAL) {
    char text[200];
    password_prompt_refusal_text(rc, maxLength, text, sizeof text);
    std::cout << text << std::flush;
  }
  return rc;
}
