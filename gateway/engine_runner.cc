#include "gateway/engine_runner.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <utility>

#include "comm/gateway_protocol.h"
#include "engine/tarpon.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

const char kEngineOptions[] = " -log -noterm";

// A stream buffer that appends what is written to a string.
class AppendingBuffer : public std::streambuf {
 public:
  explicit AppendingBuffer(std::string* text) : text_(text) {}

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) text_->push_back(static_cast<char>(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* data, std::streamsize length) override {
    text_->append(data, static_cast<size_t>(length));
    return length;
  }

 private:
  std::string* text_;
};

// Points this thread's output and log at one run's texts while it lives.
class RunStreams {
 public:
  explicit RunStreams(EngineRun* run)
      : textBuffer_(&run->text),
        logBuffer_(&run->logText),
        text_(&textBuffer_),
        log_(&logBuffer_),
        output_(text_),
        trace_(log_) {}

 private:
  AppendingBuffer textBuffer_;
  AppendingBuffer logBuffer_;
  std::ostream text_;
  std::ostream log_;
  ProgramOutputRedirect output_;
  TraceLogRedirect trace_;
};

}  // namespace

GatewayEngineRun::GatewayEngineRun(const std::string& options) {
  // A request may not change the gateway's own logging: its trace switch
  // counts only when the gateway itself traces.
  std::string allowed = tracing() || options.find("ftrace") == std::string::npos
                            ? options
                            : WithoutTraceSwitch(options);
  char request[GATEWAY_REQUEST_BUFFER_SIZE];
  std::snprintf(request, sizeof request, "%s%s", allowed.c_str(),
                kEngineOptions);
  request_text_ = request;
}

bool GatewayEngineRun::Begin() {
  RunStreams streams(&run_);
  if (request_.Begin(request_text_.c_str())) return true;
  run_.returnCode = request_.GetReturnCode();
  return false;
}

void GatewayEngineRun::HandOver() {
  RunStreams streams(&run_);
  request_.HandOver();
}

void GatewayEngineRun::Converse() {
  RunStreams streams(&run_);
  run_.returnCode = request_.Finish();
}

EngineRun GatewayEngineRun::Take() {
  // The reply's text ends at the engine's closing NUL.
  run_.text.resize(std::strlen(run_.text.c_str()));
  return std::move(run_);
}

EngineRun RunGatewayRequest(const std::string& options) {
  GatewayEngineRun run(options);
  if (run.Begin()) run.Converse();
  return run.Take();
}

std::string WithoutTraceSwitch(const std::string& request) {
  std::string result;
  size_t at = 0;
  while (at < request.size()) {
    size_t begin = at;
    while (at < request.size() &&
           !std::isspace(static_cast<unsigned char>(request[at]))) {
      ++at;
    }
    std::string word = request.substr(begin, at - begin);
    if (!IsSwitch(word.c_str(), "ftrace")) result += word;
    while (at < request.size() &&
           std::isspace(static_cast<unsigned char>(request[at]))) {
      result += request[at++];
    }
  }
  return result;
}
