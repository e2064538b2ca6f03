// A NetBlockList is a list of addresses and CIDR blocks of both families,
// such as the balancers a gateway trusts to send a PROXY header, read from
// text like "127.0.0.1,10.0.0.0/8,::1,2001:db8::/32".
//
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d), in the list or asked
// about, counts as the IPv4 address it maps, so a dual-stack listener's
// peers match IPv4 blocks. An IPv6 block matches IPv6 addresses only.
//
// Copyable; const calls may run on many threads at once.
#ifndef TARPON_COMM_NET_BLOCK_H_
#define TARPON_COMM_NET_BLOCK_H_

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

class NetBlockList {
 public:
  // Replaces the list with the one "text" names and returns true; on a
  // fault keeps the list as it was, stores a reason in "*error" (for
  // example: bad address "10.0.0.256") and returns false.
  // Entries are separated by a comma, blanks (spaces, tabs), or a comma with
  // blanks around it; blanks may lead and trail. An entry is an address as
  // inet_pton reads it, or an address, "/" and a prefix length (decimal,
  // no sign or leading zero, at most 32 or 128) whose host bits are zero.
  // Blank text is an empty list; an empty entry ("a,,b", a leading or
  // trailing comma) is refused.
  bool Parse(const std::string& text, std::string* error);

  // True when an AF_INET or AF_INET6 address lies in one of the blocks.
  bool Contains(const sockaddr_storage& address) const;
  bool IsEmpty() const { return blocks_.empty(); }

 private:
  struct Block {
    int family;         // AF_INET or AF_INET6
    uint8_t bytes[16];  // an IPv4 address in the first 4
    int prefixLength;
  };
  static bool ParseEntry(const std::string& entry, Block* block,
                         std::string* error);

  std::vector<Block> blocks_;
};

// A key that names a client's source for counting, comparable and fit for
// the log: an IPv4 address (IPv4-mapped ones too) whole, "198.51.100.7";
// an IPv6 address cut to its first ipv6PrefixLength bits (0 to 128, others
// clamped), "2001:db8:1:2::/64", since one IPv6 client commonly holds a
// whole /64. Empty for another family.
std::string SourcePrefixKey(const sockaddr_storage& address,
                            int ipv6PrefixLength = 64);

#endif  // TARPON_COMM_NET_BLOCK_H_
