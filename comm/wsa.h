// WSA starts the platform's sockets service for the process and ends it
// again. Each program constructs one at the start of its main routine (or of
// a gateway call) and destroys it at the end.
//
// The first WSA whose start-up succeeds with the requested version sets a
// class-wide flag; later ones while the flag is set make no start-up call,
// and the first one destroyed while it is set ends the service and clears it.
// On this platform there is no start-up step: start-up always succeeds with
// the requested version and clean-up does nothing beyond the flag.
//
// Single-threaded: the flag is process-wide and unguarded.
#ifndef TARPON_COMM_WSA_H_
#define TARPON_COMM_WSA_H_

#include <cstdint>

class WSA {
 public:
  // Requests sockets version major.minor (the programs ask for 1.1).
  WSA(uint8_t major, uint8_t minor);
  ~WSA();

  WSA(const WSA&) = delete;
  WSA& operator=(const WSA&) = delete;

  // True while some WSA of the process holds the sockets service.
  static bool IsStarted() { return started_ != 0; }

  // The result of this object's start-up call; -1 when it made none because
  // the service was already started.
  int GetStartupReturnCode() const { return startupReturnCode_; }
  uint8_t GetObtainedMajor() const { return obtainedVersion_[0]; }
  uint8_t GetObtainedMinor() const { return obtainedVersion_[1]; }

 private:
  // What the platform's start-up reports.
  struct StartupInformation {
    uint16_t version = 0;
    uint16_t highVersion = 0;
  };

  StartupInformation startupInformation_;
  uint8_t requestedVersion_[2] = {0, 0};
  uint8_t obtainedVersion_[2] = {0, 0};
  int startupReturnCode_ = -1;

  static int16_t started_;
};

#endif  // TARPON_COMM_WSA_H_
