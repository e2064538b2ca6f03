#include "gateway/admission.h"

#include <utility>

#include "contract/tarpon_rc.h"

namespace {

// The host's verdicts that count towards a penalty: unknown user (status
// 1) and wrong password (status 2).
constexpr int kBadUserCode = TARPON_RC_HOST_STATUS_BASE + 1;
constexpr int kBadPasswordCode = TARPON_RC_HOST_STATUS_BASE + 2;
// Descriptors kept beside the sessions: the standard streams, the log, the
// listener, the loop's own, and the engine's files during a run.
constexpr rlim_t kReservedDescriptors = 64;

}  // namespace

Admission::Ticket::Ticket(Ticket&& other) noexcept
    : admission_(std::exchange(other.admission_, nullptr)),
      source_(other.source_) {}

Admission::Ticket& Admission::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    Release();
    admission_ = std::exchange(other.admission_, nullptr);
    source_ = other.source_;
  }
  return *this;
}

void Admission::Ticket::Release() {
  if (admission_ != nullptr)
    std::exchange(admission_, nullptr)->ReleaseStartup(source_);
}

Admission::Admission(const GatewayLimits& limits, int timeoutSeconds,
                     int maxRequestLength, const Clock& clock, uint32_t seed)
    : limits_(limits),
      timeoutMs_(timeoutSeconds * 1000),
      maxRequestLength_(maxRequestLength),
      clock_(clock),
      gate_(limits, seed),
      penalties_(limits) {}

Admission::Verdict Admission::Admit(const SourceKey& source, Ticket* ticket) {
  owner_.Check();
  if (penalties_.IsPenalised(source, clock_.NowMs())) {
    return Verdict::kPenalised;
  }
  if (GetStartupsFrom(source) >= limits_.perSource) {
    return Verdict::kPerSourceCap;
  }
  if (gate_.Refuses(startups_)) return Verdict::kStartupCap;
  ++startupsBySource_[source];
  ++startups_;
  *ticket = Ticket(this, source);
  return Verdict::kAdmitted;
}

Admission::Verdict Admission::AdmitFromBalancer(Ticket* ticket) {
  owner_.Check();
  if (gate_.Refuses(startups_)) return Verdict::kStartupCap;
  ++startups_;
  *ticket = Ticket(this, SourceKey());
  return Verdict::kAdmitted;
}

std::string Admission::Describe(Verdict verdict,
                                const SourceKey& source) const {
  switch (verdict) {
    case Verdict::kPerSourceCap:
      return "too many connections without a request from this address (" +
             std::to_string(GetStartupsFrom(source)) + ")";
    case Verdict::kStartupCap:
      return "too many connections without a request (" +
             std::to_string(startups_) + ")";
    case Verdict::kPenalised:
      return "refused for a while after failed sign-ons";
    default:
      return "";
  }
}

int Admission::GetStartupsFrom(const SourceKey& source) const {
  auto found = startupsBySource_.find(source);
  return found == startupsBySource_.end() ? 0 : found->second;
}

void Admission::ReleaseStartup(const SourceKey& source) {
  owner_.Check();
  --startups_;
  if (source.empty()) return;  // a balancer's, counted overall only
  auto counted = startupsBySource_.find(source);
  if (counted != startupsBySource_.end() && --counted->second <= 0) {
    startupsBySource_.erase(counted);
  }
}

bool Admission::IsFailedSignOn(int returnCode) {
  return returnCode == kBadUserCode || returnCode == kBadPasswordCode;
}

int Admission::Settle(const SourceKey& source, bool hasRun, int returnCode) {
  owner_.Check();
  if (!hasRun || !IsFailedSignOn(returnCode)) return 0;
  return penalties_.RecordFailure(source, clock_.NowMs());
}

void Admission::Prune() {
  owner_.Check();
  penalties_.Prune(clock_.NowMs());
}

std::string Admission::FitToDescriptors(GatewayLimits* limits,
                                        rlim_t descriptorLimit) {
  if (descriptorLimit == RLIM_INFINITY ||
      static_cast<rlim_t>(limits->startupsFull) + kReservedDescriptors <=
          descriptorLimit) {
    return "";
  }
  int fit = descriptorLimit > 2 * kReservedDescriptors
                ? static_cast<int>(descriptorLimit - kReservedDescriptors)
                : static_cast<int>(descriptorLimit / 2);
  limits->startupsFull = fit;
  if (limits->startupsStart > fit) limits->startupsStart = fit;
  if (limits->perSource > fit) limits->perSource = fit;
  return "TARPON SERVER descriptor limit " + std::to_string(descriptorLimit) +
         ": connections without a request capped at " + std::to_string(fit);
}
