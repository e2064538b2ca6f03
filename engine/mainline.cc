#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "contract/secret.h"
#include "engine/ccb.h"
#include "engine/conversation.h"
#include "engine/help.h"
#include "engine/local_change.h"
#include "engine/option_line.h"
#include "engine/options.h"
#include "engine/tarpon.h"
#include "trace/stdout_capture.h"
#include "trace/trace.h"

namespace {

// The command line built by tarpon(...) holds at most this many characters
// (with its NUL, 200 bytes); run_command_line takes at most this many tokens
// after the program name.
constexpr size_t kCommandLineSize = option_line::kLineSize;
constexpr size_t kMaxTokens = option_line::kMaxWords;

// Ends the engine's output: a line feed and one NUL, which terminates the
// text when standard output is captured.
void end_output() { std::cout << '\n' << '\0' << std::flush; }

// A request refused before mainline runs is framed like any other, so that
// a capturing caller finds the same layout.
int refuse(const char* message) {
  std::cout << '\n' << message;
  end_output();
  return TARPON_RC_BAD_OPTION;
}

}  // namespace

int mainline(int argc, char** argv) {
  int rc = 0;
  TraceScope scope("mainline(argc,argv)", &rc, TRACE_OFF);

  // The scanner deletes entries, so it works on a copy of the vector; a
  // missing program name is supplied.
  static char programName[] = "tarpon";
  std::vector<char*> arguments;
  arguments.reserve(argc > 0 ? static_cast<size_t>(argc) + 1 : 2);
  if (argc < 1 || argv == nullptr) {
    arguments.push_back(programName);
  } else {
    arguments.assign(argv, argv + argc);
  }
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);

  std::cout << '\n';

  CCB_PTR ccb = new (std::nothrow) CommunicationsControlBlock();
  bool constructed = ccb != nullptr && ccb->constructed == 1;
  if (!constructed) {
    rc = TARPON_RC_NO_CONTROL_BLOCK;
  } else {
    rc = initialize(ccb);
    bool started = rc == 0;
    if (rc == 0) rc = process_input_parameters(count, arguments.data(), ccb);
    if (rc == 0) rc = process_input_files(ccb);
    if (rc == 0) {
      if (ccb->localChange == 0) {
        rc = connect(ccb);
        if (rc == 0) {
          rc = conduct_conversation(ccb);
          disconnect(ccb);
        }
      } else {
        rc = change_local_password(ccb);
      }
    }
    if (started) cleanup(ccb);
    print_CCB(ccb);
    write_log_record(ccb);
    if (ccb->traceSwitchGiven == 1) set_trace_flags(ccb->savedTraceFlags);
  }
  delete ccb;

  end_output();
  return rc;
}

int run_command_line(const char* commandLine) {
  std::vector<std::string> words = option_line::Split(commandLine);
  return run_option_words(&words);
}

int run_option_words(std::vector<std::string>* words) {
  if (words->size() > kMaxTokens) {
    for (std::string& word : *words) WipeSecret(&word);
    char message[200];
    std::snprintf(message, sizeof message,
                  "The command line holds more than %d options and values."
                  "\nThe request was not run.\n",
                  static_cast<int>(kMaxTokens));
    return refuse(message);
  }
  static char programName[] = "tarponApi";
  char* vector[kMaxTokens + 1] = {nullptr};
  vector[0] = programName;
  for (size_t i = 0; i < words->size(); ++i) vector[i + 1] = &(*words)[i][0];
  int rc = mainline(static_cast<int>(words->size()) + 1, vector);
  for (std::string& word : *words) WipeSecret(&word);
  return rc;
}

int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, const char* options) {
  int rc = 0;
  TraceScope scope("tarpon(user,oldPassword,newPassword,server,options)", &rc,
                   TRACE_OFF);
  // A missing value leaves its switch without a value, which option
  // processing refuses.
  std::string line =
      option_line::Request(user, oldPassword, newPassword, server, options);
  bool fits = line.size() <= kCommandLineSize - 1;
  if (!fits) {
    char message[200];
    std::snprintf(message, sizeof message,
                  "The command line is longer than %d characters.\n"
                  "The request was not run.\n",
                  static_cast<int>(kCommandLineSize - 1));
    WipeSecret(&line);
    rc = refuse(message);
    return rc;
  }
  rc = run_command_line(line.c_str());
  WipeSecret(&line);
  return rc;
}

int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, ApiResult* result, const char* options) {
  int rc = 0;
  TraceScope scope("tarpon(user,oldPassword,newPassword,server,result,options)",
                   &rc, TRACE_OFF);
  std::string text;
  {
    StdoutCapture capture;
    rc = tarpon(user, oldPassword, newPassword, server, options);
    text = capture.Text();
  }
  if (result != nullptr) {
    CopyCapturedText(text, result->text, result->textSize);
    result->returnCode = rc;
  }
  return rc;
}
