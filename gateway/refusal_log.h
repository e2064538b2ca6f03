// What the gateway writes about refused connections, in bounded text.
//
// The first refusal of an address is one line, as ever ("TARPON SERVER
// refused IP(A): <reason>"); further refusals of it are only counted, and
// once an interval has passed since that line (or since the last summary)
// the count is one summary line ("TARPON SERVER refused N connections from
// A in the last S seconds"). An address refused without pause thus writes
// one line at first and then one an interval; one with no refusal for a
// whole interval is forgotten, and its next refusal is a first line again.
//
// At most maxSources addresses are remembered. Refusals of addresses beyond
// them are counted together, without a first line, and summarised as one
// line for "other addresses". So a flood from any number of addresses
// writes at most about 2 * maxSources + 1 lines an interval, and holds
// about 150 bytes an address.
//
// The class writes nothing itself: it returns the lines (without time
// stamp or line end) for the caller to write. Times are steady clock
// milliseconds that never go back from one call to the next. Not thread
// safe.
#ifndef TARPON_GATEWAY_REFUSAL_LOG_H_
#define TARPON_GATEWAY_REFUSAL_LOG_H_

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

// Why a connection was refused, for the counts by reason.
enum class RefusalKind {
  kPenalty,    // the address has a penalty in force
  kPerSource,  // the address holds its share of startups
  kStartups,   // the random early drop of the startups cap
  kTls,        // the TLS session could not be set up
  kKindCount
};

class RefusalLog {
 public:
  static constexpr int64_t kDefaultIntervalMs = 60000;
  static constexpr size_t kDefaultMaxSources = 1000;

  // intervalMs at least 1000, maxSources at least 1.
  explicit RefusalLog(int64_t intervalMs = kDefaultIntervalMs,
                      size_t maxSources = kDefaultMaxSources);

  // Counts one refused connection from address (its text, e.g.
  // "192.0.2.7") for reason (the text of the first line) and returns the
  // lines to write now: the summaries due at nowMs, then the first line
  // when this address is new.
  std::vector<std::string> Refuse(const std::string& address, RefusalKind kind,
                                  const std::string& reason, int64_t nowMs);
  // The summaries due at nowMs; the caller asks at NextDueMs() or on any
  // turn, so that a flood that stops is still summarised.
  std::vector<std::string> TakeDue(int64_t nowMs);
  // Every summary not yet written, due or not; for shutting down.
  std::vector<std::string> TakeAll(int64_t nowMs);
  // When TakeDue will next have a line or forget an address; INT64_MAX
  // when nothing is remembered.
  int64_t NextDueMs() const;

  // For metrics: the refusals counted since construction.
  uint64_t GetCount(RefusalKind kind) const {
    return counts_[static_cast<int>(kind)];
  }
  uint64_t GetTotal() const;
  size_t GetTrackedCount() const { return byAddress_.size(); }

 private:
  struct Source {
    std::string address;
    int64_t sinceMs = 0;     // the first line or the last summary
    uint64_t unwritten = 0;  // refusals since then not written
  };

  // Summarises or forgets the sources whose interval ended by untilMs.
  void Take(int64_t untilMs, int64_t nowMs, std::vector<std::string>* lines);
  void TakeOthers(int64_t nowMs, std::vector<std::string>* lines);
  std::string Summary(const std::string& from, uint64_t count, int64_t sinceMs,
                      int64_t nowMs) const;

  int64_t intervalMs_;
  size_t maxSources_;
  uint64_t counts_[static_cast<int>(RefusalKind::kKindCount)] = {};
  // Oldest sinceMs first: a summary moves its source to the back.
  std::list<Source> sources_;
  std::unordered_map<std::string, std::list<Source>::iterator> byAddress_;
  // The refusals of addresses beyond maxSources.
  uint64_t others_ = 0;
  int64_t othersSinceMs_ = 0;
};

#endif  // TARPON_GATEWAY_REFUSAL_LOG_H_
