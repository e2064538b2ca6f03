#include "gateway/engine_runner.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "comm/gateway_protocol.h"
#include "engine/tarpon.h"
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

}  // namespace

EngineRun RunGatewayRequest(const std::string& options) {
  // A request may not change the gateway's own logging: its trace switch
  // counts only when the gateway itself traces.
  std::string allowed = tracing() || options.find("ftrace") == std::string::npos
                            ? options
                            : WithoutTraceSwitch(options);
  char request[GATEWAY_REQUEST_BUFFER_SIZE];
  std::snprintf(request, sizeof request, "%s%s", allowed.c_str(),
                kEngineOptions);
  EngineRun run;
  // The engine's log record and trace lines go to the session, on this
  // thread only: the loop's own lines meanwhile stay in the log.
  AppendingBuffer sessionLogBuffer(&run.logText);
  std::ostream sessionLog(&sessionLogBuffer);
  TraceLogRedirect redirect(sessionLog);
  // One capture buffer serves every run: the engine runs one at a time.
  static std::stringbuf captured;
  captured.str(std::string());
  std::streambuf* savedOut = std::cout.rdbuf(&captured);
  run.returnCode = run_command_line(request);
  std::cout.rdbuf(savedOut);
  run.text = captured.str();
  run.text.resize(std::strlen(run.text.c_str()));
  return run;
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
