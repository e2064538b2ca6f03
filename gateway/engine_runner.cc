#include "gateway/engine_runner.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "comm/gateway_protocol.h"
#include "contract/option_line.h"
#include "engine/tarpon.h"
#include "gateway/new_password_gate.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

// The longest request, the gateway's own options and the terminator fill
// at most the request buffer, which the engine's command line holds.
static_assert(GATEWAY_MAX_REQUEST_LENGTH + option_line::kGatewayOptionsLength <
                  GATEWAY_REQUEST_BUFFER_SIZE,
              "a request with the gateway's options overflows its buffer");
static_assert(GATEWAY_REQUEST_BUFFER_SIZE <= option_line::kLineSize,
              "the request buffer exceeds the engine's command line");

// Points this thread's output and log at one run's texts while it lives.
class RunStreams {
 public:
  explicit RunStreams(EngineRun* run)
      : output_(&run->text), log_(&run->logText) {}

 private:
  OutputToString output_;
  TraceLogToString log_;
};

}  // namespace

// A probe's passwords: they pass the option processing and go nowhere.
const char kProbePasswords[] = " -p PROBE -np PROBE";
static_assert(GATEWAY_MAX_REQUEST_LENGTH + sizeof kProbePasswords +
                      option_line::kGatewayOptionsLength <
                  option_line::kLineSize,
              "a probe's request overflows the engine's command line");

GatewayEngineRun::GatewayEngineRun(const std::string& options,
                                   bool keepNewPassword, bool probe)
    : probe_(probe), keepNewPassword_(keepNewPassword) {
  Secret line;
  line.Writable()->reserve(options.size() + sizeof kProbePasswords +
                           option_line::kGatewayOptionsLength);
  line.Writable()->append(options);
  if (probe) line.Writable()->append(kProbePasswords);
  line.Writable()->append(option_line::kGatewayOptions);
  words_ = option_line::Split(line.c_str());
  // A request may not change the gateway's own logging: its trace switch
  // counts only when the gateway itself traces.
  if (!tracing()) option_line::RemoveSwitch(&words_, "ftrace");
}

namespace {

// The names a request's destination goes by: the server name it gave, and
// the partner LU's, its network's name and the LU's own apart.
std::vector<std::string> DestinationNames(const TarponRequest& request) {
  std::vector<std::string> names = {request.GetServerName()};
  std::string destination = request.GetDestination();
  names.push_back(destination);
  size_t dot = destination.find('.');
  if (dot != std::string::npos) {
    names.push_back(destination.substr(0, dot));
    names.push_back(destination.substr(dot + 1));
  }
  return names;
}

}  // namespace

bool GatewayEngineRun::Begin() {
  RunStreams streams(&run_);
  if (request_.Begin(&words_)) {
    if (probe_) return true;
    // A new password the gateway refuses never reaches the host: the
    // request ends here, without a conversation.
    const char* given = request_.GetNewPassword();
    Secret newPassword(given, std::strlen(given));
    NewPasswordRefusal refusal = CheckNewPassword(
        request_.GetUser(), newPassword.Text(), DestinationNames(request_));
    if (refusal.code == 0) {
      if (keepNewPassword_) newPassword_ = std::move(newPassword);
      return true;
    }
    request_.Refuse(refusal.code, refusal.line);
    run_.notes.push_back(refusal.line);
  }
  // A probe's options the engine refused: the request's own fault, told
  // apart from a gateway that knows no probe.
  run_.returnCode =
      probe_ ? GATEWAY_RC_PROBE_REFUSED : request_.GetReturnCode();
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

void GatewayEngineRun::EndProbe(int code, const std::string& text) {
  RunStreams streams(&run_);
  request_.Refuse(code, text);
  run_.returnCode = request_.GetReturnCode();
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
