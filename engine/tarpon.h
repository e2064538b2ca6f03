// The engine's programmatic interface. Requests may run at once in several
// threads: each writes its text to its own thread's program_output()
// (trace/program_output.h), its log record and trace lines to its own
// thread's trace_log(), and keeps its state in its own control block.
#ifndef TARPON_ENGINE_TARPON_H_
#define TARPON_ENGINE_TARPON_H_

#include <string>
#include <thread>
#include <vector>

#include "contract/api_result.h"
#include "contract/option_line.h"
#include "contract/tarpon_rc.h"

class CommunicationsControlBlock;

// One request in two steps, for a caller that holds host conversations on
// threads of their own: Begin processes the options and, when the request
// needs no host conversation (help, a refused option, the local path),
// runs it to its end. Otherwise Finish holds the conversation. Each step
// writes to the program_output() and trace_log() of the thread that runs
// it; a request handed to another thread between the steps is handed over
// first (HandOver, on Begin's thread).
class TarponRequest {
 public:
  TarponRequest();
  ~TarponRequest();
  TarponRequest(const TarponRequest&) = delete;
  TarponRequest& operator=(const TarponRequest&) = delete;

  // argv as mainline takes it, or a command line split at white space.
  // True when Finish must follow.
  bool Begin(int argc, char** argv);
  bool Begin(const char* commandLine);
  // Words of an option line (contract/option_line.h), the program name not
  // among them; more than option_line::kMaxWords are refused. The words
  // are emptied (and so wiped) before it returns.
  bool Begin(option_line::Words* words);
  // After a Begin that returned true: the partner LU the conversation goes
  // to, its qualified name upper-cased or its alias.
  std::string GetDestination() const;
  // After a Begin that returned true: the user ID, upper-cased as the host
  // compares it, and the symbolic destination the request named
  // (upper-cased; "" when none).
  std::string GetUser() const;
  std::string GetSymbolicDestination() const;
  // After a Begin that returned true: the destination as the request named
  // it, upper-cased: the server name (-s), else the symbolic destination
  // (-sd), else the partner LU (-plu).
  std::string GetNamedDestination() const;
  // After a Begin that returned true: the new password and the server
  // name (-s, "" without one) as the options gave them. The password is
  // the request's own buffer, wiped when the request ends.
  const char* GetNewPassword() const;
  std::string GetServerName() const;
  // After a Begin that returned true, in place of Finish: ends the request
  // without a conversation, line as its text and rc as its code.
  void Refuse(int rc, const std::string& line);
  // Ends what Begin started on this thread, so that Finish may run on
  // another.
  void HandOver();
  // Holds the conversation and ends the request; returns its code.
  int Finish();
  int GetReturnCode() const { return rc_; }

 private:
  void End();

  CommunicationsControlBlock* ccb_ = nullptr;
  int rc_ = 0;
  bool started_ = false;  // CPI-C started on thread_
  std::thread::id thread_;
};

// Runs "-u user -p oldPassword -np newPassword [-s server] [options]" and
// returns the engine return code (0 = password changed). user, oldPassword
// and newPassword are required; server and options may be null. "-s server"
// is left out when options contain "-local".
int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, const char* options);

// The same, capturing standard output into result->text (at most
// textSize - 1 characters, always terminated) and storing the code in
// result->returnCode.
int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, ApiResult* result, const char* options);

// Splits commandLine at white space into an argument vector and runs it.
int run_command_line(const char* commandLine);

// The engine's main routine; argv[0] is not interpreted, argv is not changed.
int mainline(int argc, char** argv);

#endif  // TARPON_ENGINE_TARPON_H_
