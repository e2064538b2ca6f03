// Runs one gateway request through the password-change engine, in-process:
// the client's option text with " -log -noterm" appended, standard output
// captured as the reply's text, and the engine's log record and trace lines
// captured as the session's log text. The engine is not re-entrant: one
// run at a time in the process, and nothing else may write to standard
// output meanwhile. Other threads' log lines are not captured.
#ifndef TARPON_GATEWAY_ENGINE_RUNNER_H_
#define TARPON_GATEWAY_ENGINE_RUNNER_H_

#include <string>
#include <vector>

// The request buffer that the option text and " -log -noterm" share;
// GATEWAY_MAX_REQUEST_LENGTH (comm/gateway_protocol.h) bounds what is
// received into it.
constexpr int GATEWAY_REQUEST_BUFFER_SIZE = 100;

struct EngineRun {
  int returnCode = 0;
  // What the engine wrote on standard output, up to its first NUL.
  std::string text;
  // What the engine wrote on the log stream meanwhile.
  std::string logText;
  // Lines of the gateway's own about the run, each logged on its own after
  // the session's line (without time stamp or line end).
  std::vector<std::string> notes;
  // Not run: the client's source is under a penalty that another gateway
  // started; the session is closed without an answer, as a penalised
  // address's connection is, and logText says why.
  bool refused = false;
};

// Runs options (the request's text, at most GATEWAY_MAX_REQUEST_LENGTH
// characters). A "-ftrace" in it counts only while the gateway traces.
EngineRun RunGatewayRequest(const std::string& options);

#endif  // TARPON_GATEWAY_ENGINE_RUNNER_H_
