#include "gateway/engine_runner.h"

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "comm/gateway_protocol.h"
#include "contract/option_line.h"
#include "contract/secret.h"
#include "engine/option_line.h"
#include "trace/trace.h"

namespace {

// The longest request, the gateway's own options and the terminator fill
// at most the request buffer, which the engine's command line holds.
static_assert(GATEWAY_MAX_REQUEST_LENGTH + option_line::kGatewayOptionsLength <
                  GATEWAY_REQUEST_BUFFER_SIZE,
              "a request with the gateway's options overflows its buffer");
static_assert(GATEWAY_REQUEST_BUFFER_SIZE <= option_line::kLineSize,
              "the request buffer exceeds the engine's command line");

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
  std::string line = options + option_line::kGatewayOptions;
  std::vector<std::string> words = option_line::Split(line.c_str());
  WipeSecret(&line);
  // A request may not change the gateway's own logging: its trace switch
  // counts only when the gateway itself traces.
  if (!tracing()) option_line::RemoveSwitch(&words, "ftrace");
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
  run.returnCode = run_option_words(&words);
  std::cout.rdbuf(savedOut);
  run.text = captured.str();
  run.text.resize(std::strlen(run.text.c_str()));
  return run;
}
