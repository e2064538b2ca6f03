// What the gateway allows a network: caps on connections that have not yet
// delivered a whole request ("startups"), overall with random early drop
// and per client address, and penalties for addresses whose requests keep
// getting the host's "bad password" or "unknown user" verdict.
#ifndef TARPON_GATEWAY_GATEWAY_LIMITS_H_
#define TARPON_GATEWAY_GATEWAY_LIMITS_H_

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>

struct GatewayLimits {
  // From startupsStart startups on, a new connection is refused with
  // startupsRate percent probability, rising linearly to 100 percent at
  // startupsFull. An idle startup costs a descriptor and about 2 kB, so a
  // few thousand are affordable; 2048 keeps a thousand idle connections
  // far from any refusal.
  int startupsStart = 2048;
  int startupsRate = 30;
  int startupsFull = 4096;
  // Startups one client address may hold: an attacker needs 205 addresses
  // to reach startupsStart, while an honest client's connection is a
  // startup only for the moment its request is on the way.
  int perSource = 10;
  // penaltyCount failed verdicts from one address within penaltyWindow
  // seconds refuse it for penaltySeconds, doubling with every further
  // penalty up to penaltyMaxSeconds. The count is never below 3, so that a
  // user who mistypes twice is never refused. penaltyCount 0: no penalties.
  int penaltyCount = 5;
  int penaltyWindow = 60;
  int penaltySeconds = 30;
  int penaltyMaxSeconds = 600;
};

// Parse the values of -maxstartups ("start:rate:full", or "full" alone,
// which refuses only at full), -persource ("n") and -penalties
// ("count:window:seconds:max" or "off") into limits; false, with limits
// unchanged, for any other text.
bool ParseMaxStartups(const char* text, GatewayLimits* limits);
bool ParsePerSource(const char* text, GatewayLimits* limits);
bool ParsePenalties(const char* text, GatewayLimits* limits);

// The random early drop of the startups cap.
class StartupGate {
 public:
  StartupGate(const GatewayLimits& limits, uint32_t seed);
  // True when a new connection is to be refused while startups are held.
  bool Refuses(int startups);

 private:
  int start_;
  int rate_;
  int full_;
  std::mt19937 random_;
};

// The penalties, per IPv4 address in network byte order. Times are steady
// clock milliseconds.
class SourcePenalties {
 public:
  explicit SourcePenalties(const GatewayLimits& limits);
  // Counts a failed verdict; the penalty's length in seconds when this one
  // starts a penalty, else 0.
  int RecordFailure(uint32_t source, int64_t nowMs);
  // True while the address is refused.
  bool IsPenalised(uint32_t source, int64_t nowMs) const;
  // Forgets addresses with nothing left to remember.
  void Prune(int64_t nowMs);
  size_t GetTrackedCount() const { return sources_.size(); }

 private:
  struct Record {
    int failures = 0;
    int64_t windowStartMs = 0;
    int64_t penaltyEndMs = 0;
    int lastPenaltySeconds = 0;
  };
  GatewayLimits limits_;
  std::unordered_map<uint32_t, Record> sources_;
};

#endif  // TARPON_GATEWAY_GATEWAY_LIMITS_H_
