#include "comm/comm_base.h"

#include <cstddef>

#include "trace/trace.h"

namespace {

const char kUnknownCode[] = "<unknown reason code>";

const char* const kStateNames[] = {
    "STATE_GOOD",      "STATE_INTERRUPT", "STATE_RESET",
    "STATE_INIT",      "STATE_LISTENING", "STATE_BOUND",
    "STATE_DATA",      "STATE_ERROR",     "STATE_CONNECTION_CLOSED",
    "STATE_ALLOCATED",
};

const char* const kReasonNames[] = {
    "REASON_OK",
    "REASON_INIT_FAILED",
    "REASON_SOCKET_FAILED",
    "REASON_INVALID_SOCKET",
    "REASON_INVALID_ADDRESS",
    "REASON_BIND_FAILED",
    "REASON_LISTENER_BIND_FAILED",
    "REASON_CONNECT_FAILED",
    "REASON_LISTEN_FAILED",
    "REASON_SELECT_FAILED",
    "REASON_ACCEPT_FAILED",
    "REASON_SET_SOCKET_OPTION_NODELAY_FAILED",
    "REASON_SET_SOCKET_OPTION_KEEPALIVE_FAILED",
    "REASON_SET_SOCKET_OPTION_REUSEADDR_FAILED",
    "REASON_SEND_FAILED",
    "REASON_RECEIVE_TIMED_OUT",
    "REASON_TLS_FAILED",
};

template <size_t N>
const char* name_of(const char* const (&names)[N], int code) {
  if (code < 0 || static_cast<size_t>(code) >= N) return kUnknownCode;
  return names[code];
}

}  // namespace

CommBase::CommBase() : state_(-2), reason_(-2), lastApiRc_(-2) {
  TraceScope scope("CommBase:CommBase", TRACE_OFF);
}

CommBase::~CommBase() { TraceScope scope("CommBase::~CommBase", TRACE_OFF); }

const char* CommBase::StateName(int state) {
  return name_of(kStateNames, state);
}

const char* CommBase::ReasonName(int reason) {
  return name_of(kReasonNames, reason);
}
