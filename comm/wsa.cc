#include "comm/wsa.h"

#include "trace/trace.h"

int16_t WSA::started_ = 0;

namespace {

// This platform has no sockets start-up step: it grants the version asked
// for. The version word carries the major number in its low byte.
int platform_startup(uint16_t version, uint16_t* granted) {
  *granted = version;
  return 0;
}

void platform_cleanup() {}

}  // namespace

WSA::WSA(uint8_t major, uint8_t minor) {
  TraceScope scope("WSA::WSA", &startupReturnCode_, TRACE_OFF);
  if (started_ != 0) return;
  requestedVersion_[0] = major;
  requestedVersion_[1] = minor;
  uint16_t version = static_cast<uint16_t>(major | (minor << 8));
  startupReturnCode_ = platform_startup(version, &startupInformation_.version);
  startupInformation_.highVersion = startupInformation_.version;
  obtainedVersion_[0] = static_cast<uint8_t>(startupInformation_.version);
  obtainedVersion_[1] = static_cast<uint8_t>(startupInformation_.version >> 8);
  started_ =
      (startupReturnCode_ == 0 && obtainedVersion_[0] == requestedVersion_[0] &&
       obtainedVersion_[1] == requestedVersion_[1])
          ? 1
          : 0;
}

WSA::~WSA() {
  TraceScope scope("WSA::~WSA", TRACE_OFF);
  if (started_ != 0) {
    platform_cleanup();
    started_ = 0;
  }
}
