#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "contract/secret.h"
#include "engine/ccb.h"
#include "engine/conversation.h"
#include "engine/cpic_binding.h"
#include "engine/help.h"
#include "engine/local_change.h"
#include "engine/option_line.h"
#include "engine/options.h"
#include "engine/tarpon.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

// The command line built by tarpon(...) holds at most this many characters
// (with its NUL, 200 bytes); run_command_line takes at most this many tokens
// after the program name.
constexpr size_t kCommandLineSize = option_line::kLineSize;
constexpr size_t kMaxTokens = option_line::kMaxWords;

// Ends the engine's output: a line feed and one NUL, which terminates the
// text when standard output is captured.
void end_output() { program_output() << '\n' << '\0' << std::flush; }

// A request refused before mainline runs is framed like any other, so that
// a capturing caller finds the same layout.
int refuse(const char* message) {
  program_output() << '\n' << message;
  end_output();
  return TARPON_RC_BAD_OPTION;
}

}  // namespace

TarponRequest::TarponRequest() = default;

TarponRequest::~TarponRequest() {
  // A request left unfinished: its CPI-C start can only be ended by the
  // thread that made it.
  if (started_ && thread_ == std::this_thread::get_id()) cleanup(ccb_);
  delete ccb_;
}

bool TarponRequest::Begin(int argc, char** argv) {
  // The scanner deletes entries, so it works on a copy of the vector; a
  // missing program name is supplied.
  char programName[] = "tarpon";
  std::vector<char*> arguments;
  arguments.reserve(argc > 0 ? static_cast<size_t>(argc) + 1 : 2);
  if (argc < 1 || argv == nullptr) {
    arguments.push_back(programName);
  } else {
    arguments.assign(argv, argv + argc);
  }
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);

  program_output() << '\n';

  ccb_ = new (std::nothrow) CommunicationsControlBlock();
  if (ccb_ == nullptr || ccb_->constructed != 1) {
    rc_ = TARPON_RC_NO_CONTROL_BLOCK;
    delete ccb_;
    ccb_ = nullptr;
    end_output();
    return false;
  }
  rc_ = initialize(ccb_);
  started_ = rc_ == 0;
  thread_ = std::this_thread::get_id();
  if (rc_ == 0) rc_ = process_input_parameters(count, arguments.data(), ccb_);
  if (rc_ == 0) rc_ = process_input_files(ccb_);
  if (rc_ == 0 && ccb_->localChange == 0) return true;
  if (rc_ == 0) rc_ = change_local_password(ccb_);
  End();
  return false;
}

std::string TarponRequest::GetDestination() const {
  if (ccb_ == nullptr) return std::string();
  if (ccb_->qualifiedPartnerLuName.isSet()) {
    return ccb_->qualifiedPartnerLuName.getUpper();
  }
  return ccb_->partnerLuAlias.get();
}

std::string TarponRequest::GetUser() const {
  if (ccb_ == nullptr) return std::string();
  std::string user(ccb_->user, strnlen(ccb_->user, sizeof ccb_->user));
  for (char& c : user) c = static_cast<char>(std::toupper(c));
  return user;
}

std::string TarponRequest::GetSymbolicDestination() const {
  if (ccb_ == nullptr || !ccb_->symbolicDestination.isSet()) {
    return std::string();
  }
  return ccb_->symbolicDestination.getUpper();
}
std::string TarponRequest::GetNamedDestination() const {
  std::string named = GetServerName();
  if (named.empty()) named = GetSymbolicDestination();
  if (named.empty()) named = GetDestination();
  for (char& c : named) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return named;
}

const char* TarponRequest::GetNewPassword() const {
  return ccb_ == nullptr ? "" : ccb_->newPassword;
}

std::string TarponRequest::GetServerName() const {
  if (ccb_ == nullptr || !ccb_->serverName.isSet()) return std::string();
  return ccb_->serverName.get();
}

void TarponRequest::Refuse(int rc, const std::string& line) {
  if (ccb_ == nullptr) return;
  program_output() << line;
  rc_ = rc;
  End();
}

void TarponRequest::HandOver() {
  if (started_ && thread_ == std::this_thread::get_id()) cleanup(ccb_);
  started_ = false;
  if (ccb_ != nullptr && ccb_->traceSwitchGiven == 1) {
    set_trace_flags(ccb_->savedTraceFlags);
  }
}

int TarponRequest::Finish() {
  if (ccb_ == nullptr) return rc_;
  uint8_t savedTrace = trace_flags;
  if (!started_) {
    // Another thread began the request: CPI-C starts again here, and the
    // side information profile found then is opened again.
    if (ccb_->traceSwitchGiven == 1) set_trace_flags(TRACE_ON);
    rc_ = initialize(ccb_);
    started_ = rc_ == 0;
    thread_ = std::this_thread::get_id();
    if (rc_ == 0 && ccb_->conversationInitialized == 1) {
      rc_ = cminit_internal(ccb_->cpicConversationId,
                            ccb_->symbolicDestination.getPadUpper(),
                            "process_input_files()");
    }
    if (ccb_->traceSwitchGiven == 1) ccb_->savedTraceFlags = savedTrace;
  }
  if (rc_ == 0) {
    rc_ = connect(ccb_);
    if (rc_ == 0) {
      rc_ = conduct_conversation(ccb_);
      disconnect(ccb_);
    }
  }
  End();
  return rc_;
}

void TarponRequest::End() {
  if (started_) cleanup(ccb_);
  started_ = false;
  print_CCB(ccb_);
  write_log_record(ccb_);
  if (ccb_->traceSwitchGiven == 1) set_trace_flags(ccb_->savedTraceFlags);
  delete ccb_;
  ccb_ = nullptr;
  end_output();
}

int mainline(int argc, char** argv) {
  int rc = 0;
  TraceScope scope("mainline(argc,argv)", &rc, TRACE_OFF);
  TarponRequest request;
  if (request.Begin(argc, argv)) request.Finish();
  rc = request.GetReturnCode();
  return rc;
}

bool TarponRequest::Begin(option_line::Words* words) {
  if (words->size() > kMaxTokens) {
    words->clear();
    char message[200];
    std::snprintf(message, sizeof message,
                  "The command line holds more than %d options and values."
                  "\nThe request was not run.\n",
                  static_cast<int>(kMaxTokens));
    rc_ = refuse(message);
    return false;
  }
  char programName[] = "tarponApi";
  char* vector[kMaxTokens + 1] = {nullptr};
  vector[0] = programName;
  for (size_t i = 0; i < words->size(); ++i) {
    vector[i + 1] = &(*(*words)[i].Writable())[0];
  }
  // The control block keeps copies: the words go at once.
  bool more = Begin(static_cast<int>(words->size()) + 1, vector);
  words->clear();
  return more;
}

bool TarponRequest::Begin(const char* commandLine) {
  option_line::Words words = option_line::Split(commandLine);
  return Begin(&words);
}

int run_command_line(const char* commandLine) {
  option_line::Words words = option_line::Split(commandLine);
  return run_option_words(&words);
}

int run_option_words(option_line::Words* words) {
  TarponRequest request;
  if (request.Begin(words)) request.Finish();
  return request.GetReturnCode();
}

int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, const char* options) {
  int rc = 0;
  TraceScope scope("tarpon(user,oldPassword,newPassword,server,options)", &rc,
                   TRACE_OFF);
  // A missing value leaves its switch without a value, which option
  // processing refuses.
  std::string built =
      option_line::Request(user, oldPassword, newPassword, server, options);
  const Secret line(&built);
  bool fits = line.size() <= kCommandLineSize - 1;
  if (!fits) {
    char message[200];
    std::snprintf(message, sizeof message,
                  "The command line is longer than %d characters.\n"
                  "The request was not run.\n",
                  static_cast<int>(kCommandLineSize - 1));
    rc = refuse(message);
    return rc;
  }
  rc = run_command_line(line.c_str());
  return rc;
}

int tarpon(const char* user, const char* oldPassword, const char* newPassword,
           const char* server, ApiResult* result, const char* options) {
  int rc = 0;
  TraceScope scope("tarpon(user,oldPassword,newPassword,server,result,options)",
                   &rc, TRACE_OFF);
  std::string text;
  {
    OutputCapture capture;
    rc = tarpon(user, oldPassword, newPassword, server, options);
    text = capture.Text();
  }
  if (result != nullptr) {
    CopyCapturedText(text, result->text, result->textSize);
    result->returnCode = rc;
  }
  return rc;
}
