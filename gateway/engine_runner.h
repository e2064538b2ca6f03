// Runs one gateway request through the password-change engine, in-process:
// the client's option text with " -log -noterm" appended, the engine's
// text kept as the reply's text, and its log record and trace lines kept as
// the session's log text. Requests run at once in several threads; each
// keeps only its own text.
#ifndef TARPON_GATEWAY_ENGINE_RUNNER_H_
#define TARPON_GATEWAY_ENGINE_RUNNER_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "contract/option_line.h"
#include "contract/secret.h"
#include "engine/tarpon.h"

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
// characters) on this thread. A "-ftrace" in it counts only while the
// gateway traces.
EngineRun RunGatewayRequest(const std::string& options);

// The same in two steps: Begin on one thread processes the options and,
// unless the request needs a host conversation, answers it; Converse, on
// any thread, holds the conversation. The request is read once, by Begin:
// what it found (the user ID, the destination, and, when asked for, the
// new password) is kept for the run's caller.
class GatewayEngineRun {
 public:
  // keepNewPassword: Begin keeps the new password (TakeNewPassword).
  // probe: the options are processed as for a change, with passwords of
  // the gateway's own and no new-password check, and Begin's true is
  // answered with EndProbe, never with Converse; options the engine
  // refuses end with GATEWAY_RC_PROBE_REFUSED and the engine's text.
  explicit GatewayEngineRun(const std::string& options,
                            bool keepNewPassword = false, bool probe = false);
  GatewayEngineRun(const GatewayEngineRun&) = delete;
  GatewayEngineRun& operator=(const GatewayEngineRun&) = delete;
  // True when Converse must follow.
  bool Begin();
  // On Begin's thread, before Converse runs on another.
  void HandOver();
  // The partner LU a conversation goes to (see TarponRequest).
  std::string GetDestination() const { return request_.GetDestination(); }
  // The user ID and the symbolic destination (see TarponRequest).
  std::string GetUser() const { return request_.GetUser(); }
  std::string GetSymbolicDestination() const {
    return request_.GetSymbolicDestination();
  }
  // The destination as the request named it (see TarponRequest).
  std::string GetNamedDestination() const {
    return request_.GetNamedDestination();
  }
  // After a Begin that returned true, when asked for: the new password.
  Secret TakeNewPassword() { return std::move(newPassword_); }
  void Converse();
  // After a probe's Begin returned true: ends the run without a
  // conversation, with code and text.
  void EndProbe(int code, const std::string& text);
  // What the run wrote, once it ended.
  EngineRun Take();

 private:
  option_line::Words words_;  // the request's words, emptied by Begin
  bool probe_;
  TarponRequest request_;
  const bool keepNewPassword_;
  Secret newPassword_;
  EngineRun run_;
};

#endif  // TARPON_GATEWAY_ENGINE_RUNNER_H_
