// What the gateway allows a network: caps on connections that have not yet
// delivered a whole request ("startups"), overall with random early drop
// and per client address, and penalties for addresses whose requests keep
// getting the host's "bad password" or "unknown user" verdict.
#ifndef TARPON_GATEWAY_GATEWAY_LIMITS_H_
#define TARPON_GATEWAY_GATEWAY_LIMITS_H_

#include <cstddef>
#include <cstdint>
#include <list>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gateway/hold_policy.h"

// A client's source as the caps and penalties count it: an IPv4 address,
// or an IPv6 address's prefix (comm/net_block.h SourcePrefixKey).
using SourceKey = std::string;

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
// The hold rule of limits' penalties.
HoldPolicy PenaltyPolicy(const GatewayLimits& limits);

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
// clock milliseconds and never go back from one call to the next.
//
// An address is penalised by the hold rule of gateway/hold_policy.h:
// penaltyCount failures, each within penaltyWindow seconds of the one
// before, start a penalty. The table holds at most a bound of records; at the
// bound a new address takes the place of the least recently active record (its
// last failure or the end of its last penalty) that has no penalty in
// force, or, when every record has one, of the record whose penalty ends
// first. So a new guesser is always counted, and a running penalty is
// never lost while there is anything else to drop. A failure costs O(1),
// O(log n) when it starts a penalty.
class SourcePenalties {
 public:
  // The records kept by default: with about 200 bytes a record, 20 MB.
  static constexpr size_t kDefaultMaxTracked = 100000;

  // Keeps at most maxTracked records (at least 1).
  explicit SourcePenalties(const GatewayLimits& limits,
                           size_t maxTracked = kDefaultMaxTracked);
  // Counts a failed verdict; the penalty's length in seconds when this one
  // starts a penalty, else 0.
  int RecordFailure(const SourceKey& source, int64_t nowMs);
  // True while the address is refused.
  bool IsPenalised(const SourceKey& source, int64_t nowMs) const;
  // The whole seconds left of source's penalty, or 0.
  int SecondsLeft(const SourceKey& source, int64_t nowMs) const;
  // Forgets addresses with nothing left to remember: no failure within the
  // window and no penalty within the longest penalty.
  void Prune(int64_t nowMs);
  size_t GetTrackedCount() const { return records_.size(); }
  size_t GetMaxTracked() const { return maxTracked_; }

  // For metrics: the penalties started since construction, and those in
  // force at nowMs (amortised O(1)).
  uint64_t GetPenaltiesStarted() const { return started_; }
  size_t CountInForce(int64_t nowMs);

 private:
  struct Record {
    HoldState hold;
    // Where the record stands in idle_, when its penalty is not in force.
    bool idle = true;
    std::list<SourceKey>::iterator idlePosition;
  };

  void StartPenalty(const SourceKey& source, Record* record);
  // Moves the records whose penalty has ended by nowMs to idle_.
  void EndPenalties(int64_t nowMs);
  // Drops one record to make room for a new address.
  void MakeRoom();
  void MakeIdle(const SourceKey& source, Record* record);

  HoldPolicy policy_;
  size_t maxTracked_;
  uint64_t started_ = 0;
  std::unordered_map<SourceKey, Record> records_;
  // Records without a penalty in force, least recently active first: a
  // failure moves its record to the back, and so does the end of a
  // penalty, which EndPenalties sees before any later failure.
  std::list<SourceKey> idle_;
  // Records with a penalty in force, by the penalty's end.
  std::set<std::pair<int64_t, SourceKey>> inForce_;
};

#endif  // TARPON_GATEWAY_GATEWAY_LIMITS_H_
