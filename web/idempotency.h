// The answers to changes sent with an Idempotency-Key (the API's header,
// the page's hidden field), kept for a while so that a retry after a lost
// answer gets the first answer again instead of a second change, which
// with the old password would be refused as a wrong one.
//
// Kept in memory only, bounded by count, bytes and age. Neither the key
// nor any password is kept: an entry is found by a hash of the key, and
// holds a hash of the key with the caller's keyed digest of the request it
// was used for (user ID, destination, every password), and the answer as
// sent. Only a verdict the host gave (a change, a
// refusal) is kept; a change that was not sent, or whose fate is unknown
// (no gateway, a timeout), is forgotten so that a retry goes through.
//
// The event loop's alone: no lock.
#ifndef TARPON_WEB_IDEMPOTENCY_H_
#define TARPON_WEB_IDEMPOTENCY_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

// True for 1 to 255 visible ASCII characters.
bool IsIdempotencyKey(const std::string& key);

class IdempotencyStore {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    size_t entries = 4096;
    size_t bytes = 8u << 20;  // answers' bodies together
    std::chrono::seconds age{600};
  };
  struct Answer {
    int status = 0;
    std::string contentType;
    std::string body;
    // A change to several destinations that some did not take: a retry
    // with the key finishes it rather than replaying this answer.
    bool unfinished = false;
  };
  enum class Found {
    kNew,       // recorded as under way: run the change, then Finish
    kReplay,    // *answer is the first answer
    kReused,    // the key was used for another request
    kInFlight,  // the first change with the key is still under way
    kResume,    // *answer is an unfinished first answer: run the change
                // again for what it left, then Finish the same *slot
  };

  explicit IdempotencyStore(Limits limits) : limits_(limits) {}

  // Looks key up for the request whose digest is request. For kNew, *slot
  // names the entry for Finish.
  Found Begin(const std::string& key, const std::string& request,
              Clock::time_point now, std::string* slot, Answer* answer);
  // The change of slot ended: keeps its answer when keep, else forgets
  // the key. A slot pushed out meanwhile (even if its key has begun
  // again) is left out.
  void Finish(const std::string& slot, bool keep, Answer answer,
              Clock::time_point now);

  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string binding;  // hash of the key and the request's digest
    bool done = false;
    Answer answer;
    Clock::time_point since;
    uint64_t serial = 0;
  };
  void Prune(Clock::time_point now);
  void Erase(std::unordered_map<std::string, Entry>::iterator entry);

  Limits limits_;
  std::unordered_map<std::string, Entry> entries_;
  // (serial, slot) oldest first; a serial no entry has any more is stale.
  std::deque<std::pair<uint64_t, std::string>> order_;
  uint64_t serial_ = 0;
  size_t bytes_ = 0;
};

#endif  // TARPON_WEB_IDEMPOTENCY_H_
