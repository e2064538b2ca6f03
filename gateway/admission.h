// Admission: the one place that decides who the gateway lets in and for how
// long. It owns the counts of connections that have not yet delivered a
// whole request ("startups"), overall and per client address, the random
// early drop of the overall cap, the penalties for addresses whose requests
// keep failing to sign on and the verdicts that feed them, the session
// timeout and the request size (each session keeps its own deadline from
// the timeout, moving it as it goes from phase to phase). The loop asks
// it (Admit) and tells it (the ticket's release, Settle); it keeps no such
// numbers itself.
//
// Time comes from the Clock given at construction. One thread.
#ifndef TARPON_GATEWAY_ADMISSION_H_
#define TARPON_GATEWAY_ADMISSION_H_

#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "comm/clock.h"
#include "contract/thread_owner.h"
#include "gateway/gateway_limits.h"

class Admission {
 public:
  enum class Verdict {
    kAdmitted,
    kPenalised,     // the address is refused for a while after failures
    kPerSourceCap,  // the address holds -persource startups already
    kStartupCap,    // refused by the overall cap's random early drop
  };

  // A startup held by one admitted connection: released when its request is
  // whole (Release) or when the ticket ends, whichever comes first. Moves,
  // never copies.
  class Ticket {
   public:
    Ticket() = default;
    Ticket(Ticket&& other) noexcept;
    Ticket& operator=(Ticket&& other) noexcept;
    ~Ticket() { Release(); }
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;

    bool IsHeld() const { return admission_ != nullptr; }
    void Release();

   private:
    friend class Admission;
    Ticket(Admission* admission, const SourceKey& source)
        : admission_(admission), source_(source) {}
    Admission* admission_ = nullptr;
    SourceKey source_;
  };

  // timeoutSeconds: how long a connection may take to deliver its request
  // (and to take its reply); maxRequestLength: the longest option text.
  Admission(const GatewayLimits& limits, int timeoutSeconds,
            int maxRequestLength, const Clock& clock, uint32_t seed);
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // Decides on a new connection from source. kAdmitted fills *ticket with
  // the startup it now holds.
  Verdict Admit(const SourceKey& source, Ticket* ticket);
  // A connection from a trusted balancer, whose client is not known until
  // its PROXY header: only the overall cap applies until then.
  Verdict AdmitFromBalancer(Ticket* ticket);
  // Why a verdict other than kAdmitted refused, for the log, with the count
  // that the cap met: "too many connections without a request (2048)".
  std::string Describe(Verdict verdict, const SourceKey& source) const;

  // A session from source has ended with the engine's return code (or
  // without a run: hasRun false). Counts the host's "unknown user" and
  // "wrong password" verdicts; the penalty's length in seconds when this
  // one starts a penalty, else 0.
  int Settle(const SourceKey& source, bool hasRun, int returnCode);

  // True for the engine's return codes that count towards a penalty: the
  // host's "unknown user" and "wrong password".
  static bool IsFailedSignOn(int returnCode);

  // The seconds left of source's penalty, or 0.
  int GetPenaltySecondsLeft(const SourceKey& source) const {
    return penalties_.SecondsLeft(source, clock_.NowMs());
  }

  // Forgets what no longer counts; the loop calls it now and then.
  void Prune();
  // The addresses refused for a while now.
  size_t GetPenaltiesInForce() {
    return penalties_.CountInForce(clock_.NowMs());
  }

  int GetTimeoutMs() const { return timeoutMs_; }
  int GetMaxRequestLength() const { return maxRequestLength_; }
  const GatewayLimits& GetLimits() const { return limits_; }
  int GetStartups() const { return startups_; }
  int GetStartupsFrom(const SourceKey& source) const;
  const Clock& GetClock() const { return clock_; }
  // The admission is the loop's, on whichever thread holds the loop: that
  // thread takes it on (checked in the calls that change it).
  void TakeOn() { owner_.TakeOn(); }

  // Keeps the startup caps of limits, before an Admission is made of them,
  // within a descriptor limit (what is left for sessions once the process's
  // own descriptors are set aside). The log line saying so when the caps
  // were lowered, else "".
  static std::string FitToDescriptors(GatewayLimits* limits,
                                      rlim_t descriptorLimit);

 private:
  void ReleaseStartup(const SourceKey& source);

  GatewayLimits limits_;
  const int timeoutMs_;
  const int maxRequestLength_;
  const Clock& clock_;
  StartupGate gate_;
  SourcePenalties penalties_;
  std::unordered_map<SourceKey, int> startupsBySource_;
  int startups_ = 0;
  ThreadOwner owner_{"the admission"};
};

#endif  // TARPON_GATEWAY_ADMISSION_H_
