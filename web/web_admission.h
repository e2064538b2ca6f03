// tarpon-web's admission: the one place that counts its connections and
// decides who gets in. It keeps the connections open, overall and under
// each source's key (an IPv4 address or an IPv6 /64; "" for a balancer's
// connection before its PROXY header names the client, counted overall
// only), and which of them are idle (no request under way: opening, or
// waiting for the next request).
//
// Caps: at most perSource connections from one source; at most overall in
// all. The overall cap is shared fairly: when it is full, a connection
// from a source with fewer than the source holding the most (by two or
// more, counting the newcomer) displaces an idle connection of that source,
// so that no group of sources can shut another out. A displaced
// connection no longer counts; its owner closes it at once.
//
// No I/O, no clock. The event loop's alone (its owner checks).
#ifndef TARPON_WEB_WEB_ADMISSION_H_
#define TARPON_WEB_WEB_ADMISSION_H_

#include <string>
#include <unordered_map>
#include <unordered_set>

class WebAdmission {
 public:
  // A connection as the admission knows it; the caller's own pointer.
  using PeerId = const void*;
  struct Limits {
    int overall = 256;
    int perSource = 32;
  };
  enum class Verdict {
    kAdmitted,
    kDisplacing,    // admitted once *displace, idle, is closed for it
    kPerSourceCap,  // the source holds perSource already
    kOverallCap,    // full, and nobody holds enough more to give way
  };

  explicit WebAdmission(Limits limits) : limits_(limits) {}

  // Whether a new connection from source may come in; for kDisplacing,
  // *displace is the one to close (Displaced, then close it).
  Verdict Admit(const std::string& source, PeerId* displace) const;
  // Counts an admitted connection under source, idle.
  void Add(PeerId peer, const std::string& source);
  // Counts peer under source from now on; false, counted as before, when
  // source has no room ("" keeps it where it is).
  bool Move(PeerId peer, const std::string& source);
  // A request is under way on peer (false) or not (true).
  void SetIdle(PeerId peer, bool idle);
  // peer was chosen to give way: it counts no more.
  void Displaced(PeerId peer);
  // peer is gone (displaced or not).
  void Remove(PeerId peer);

  int open() const { return open_; }
  int CountOf(const std::string& source) const;

 private:
  struct Peer {
    std::string source;
    bool idle = true;
    bool displaced = false;
  };
  struct Source {
    int count = 0;
    std::unordered_set<PeerId> idle;
  };
  void Uncount(const Peer& peer, PeerId id);
  void Count(Peer* peer, PeerId id);

  Limits limits_;
  int open_ = 0;  // peers counted: not displaced
  std::unordered_map<PeerId, Peer> peers_;
  std::unordered_map<std::string, Source> sources_;
};

#endif  // TARPON_WEB_WEB_ADMISSION_H_
