// Address holds one TCP endpoint, IPv4 or IPv6: a port and an address in
// the platform's socket address record of its family, the host and service
// names it was resolved from, and its own state and reason codes. A new
// object is IPv4; SetIpAddress with IPv6 text (or a constructor given such
// a host) makes it IPv6, SetAddress makes it IPv4 again; the port stays.
//
// Constructors never fail: they leave the object in STATE_OK or STATE_ERROR
// (the default constructor in STATE_INIT) and callers test IsUsable().
// A host name that does not resolve falls back to reading the text as a
// dotted-decimal address, so a wrong name shows up later as 255.255.255.255.
// An IPv6 literal host ("::1", or bracketed "[::1]") is taken as it is,
// without a lookup. Resolve() finds every address of a name, both families.
//
// Service names are looked up for protocol "tcp" in the file named by the
// environment variable TARPON_SERVICES (same format as the system's file),
// when it is set, and then in the system's services database, so that the
// file wins over a system entry of the same name. The gateway's service
// ("tarponGateway"), when neither names it, has GATEWAY_DEFAULT_PORT
// (comm/gateway_protocol.h); any other name missing from both fails.
//
// The object owns its name copies; copying makes new ones.
#ifndef TARPON_COMM_ADDRESS_H_
#define TARPON_COMM_ADDRESS_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

class Address {
 public:
  // State codes.
  static constexpr int STATE_OK = 0;     // resolved
  static constexpr int STATE_INIT = 1;   // not yet resolved
  static constexpr int STATE_ERROR = 2;  // a lookup failed

  // Reason codes.
  static constexpr int REASON_OK = 0;
  static constexpr int REASON_GET_HOST_BY_NAME = 1;
  static constexpr int REASON_GET_SERVICE_BY_NAME = 2;

  // How many times one object retries a host lookup that fails with the
  // resolver's temporary-failure code, over the object's whole life.
  static constexpr uint16_t HOST_LOOKUP_RETRY_BUDGET = 7;

  Address();
  // Service name first, then a host name or dotted-decimal text.
  Address(const char* service, const char* host);
  // Service name and an IPv4 address in host byte order (INADDR_ANY for any
  // local address; pass a typed value, a bare 0 is ambiguous).
  Address(const char* service, uint32_t address);
  Address(uint16_t port, const char* host);
  Address(uint16_t port, uint32_t address);
  Address(const Address& other);
  Address& operator=(const Address& other);
  virtual ~Address();

  // Takes over the other's codes, names (as new copies) and socket address;
  // the address text is not copied.
  void Copy(const Address& other);
  // Back to STATE_INIT with no names, a zero address and a fresh retry budget.
  void Init();

  // 0 when found, 8 when not (STATE_ERROR, and for a host the resolver's
  // code as last external API rc).
  short GetHostByName(const char* name);
  short GetServiceByName(const char* name);

  // Every address of host for service, in the order the system's resolver
  // prefers (getaddrinfo: IPv6 and IPv4, names with AAAA and A records,
  // literals such as "::1", "[::1]" and "127.0.0.1"), each in STATE_OK with
  // the host and service names. The service is looked up as the
  // constructors do (TARPON_SERVICES first), else taken as a port number
  // (1 to 65535) when it is one. An empty list when nothing is
  // found; then *error (may be null) holds one sentence naming the cause
  // and *reason (may be null) REASON_GET_SERVICE_BY_NAME or
  // REASON_GET_HOST_BY_NAME.
  static std::vector<Address> Resolve(const char* service, const char* host,
                                      std::string* error,
                                      int* reason = nullptr);

  // Port and address in host byte order; all return 0. SetPort keeps the
  // family; SetAddress makes the object IPv4.
  int SetPort(uint16_t port);
  // IPv6 text ("::1", also bracketed "[::1]") makes the object IPv6; any
  // other text is read as dotted-decimal IPv4, and one that is not gives
  // 255.255.255.255. The port stays.
  int SetIpAddress(const char* text);
  int SetAddress(uint32_t address);

  // Writes the address in its standard text form (dotted-decimal, or IPv6
  // as inet_ntop writes it) with its terminator into out, which holds
  // outSize bytes (ADDRESS_TEXT_SIZE always suffice, 16 for IPv4); an empty
  // text if it does not fit.
  void GetIpAddress(char* out, size_t outSize) const;
  // The same text, kept in the object until the next call.
  const char* GetIpAddress();
  static constexpr size_t ADDRESS_TEXT_SIZE = INET6_ADDRSTRLEN;

  // AF_INET or AF_INET6.
  int GetFamily() const { return socketAddress_.any.ss_family; }

  // The socket address record for the socket calls.
  // It holds sizeof(sockaddr_storage) bytes, so that accept may fill it
  // with a peer of either family.
  const sockaddr* GetSocketAddress() const {
    return reinterpret_cast<const sockaddr*>(&socketAddress_);
  }
  sockaddr* GetSocketAddress() {
    return reinterpret_cast<sockaddr*>(&socketAddress_);
  }
  // The length of the record of this object's family.
  socklen_t GetSocketAddressLength() const;

  // Usable when STATE_OK and the address or the port is non-zero.
  bool IsUsable() const;

  int GetState() const { return state_; }
  int GetReason() const { return reason_; }
  int GetLastApiRc() const { return lastApiRc_; }
  uint16_t GetHostLookupRetries() const { return hostLookupRetries_; }
  const char* GetHostName() const { return hostName_; }
  const char* GetServiceName() const { return serviceName_; }
  uint16_t GetPort() const;
  // The IPv4 address; 0 for an IPv6 object.
  uint32_t GetAddress() const;

  // Printable names by value; "<unknown reason code>" out of range.
  static const char* StateName(int state);
  static const char* ReasonName(int reason);
  const char* GetStateName() const { return StateName(state_); }
  const char* GetReasonName() const { return ReasonName(reason_); }

  // The ten-line formatted dump. IPv4 shows the sockaddr_in record
  // (sin_port as the record holds it, in network byte order); IPv6 shows
  // "struct sockaddr_in6" with sin6_family, sin6_port (in host byte order,
  // as people write it), sin6_addr in its standard text form and
  // sin6_scope_id.
  void Print(std::ostream& os) const;

  // The host resolver: returns 0 and stores the first IPv4 address (network
  // byte order) when the name is found, else the resolver's error code
  // (TRY_AGAIN for a temporary failure). Tests install their own; nullptr
  // restores the system's. Returns the previous one.
  using HostResolver = int (*)(const char* name, uint32_t* address);
  static HostResolver SetHostResolver(HostResolver resolver);

 private:
  void HostStep(const char* host);
  bool SetIpv6Literal(const char* text);
  void MakeIpv4();
  void PrintFamilyLines(std::ostream& os) const;

  int state_ = STATE_INIT;
  int reason_ = REASON_OK;
  char* hostName_ = nullptr;
  char* serviceName_ = nullptr;
  uint16_t hostLookupRetries_ = 0;
  int lastApiRc_ = 0;
  union {
    sockaddr_in in4;
    sockaddr_in6 in6;
    sockaddr_storage any;
  } socketAddress_ = {};
  char addressText_[ADDRESS_TEXT_SIZE] = {};
};

std::ostream& operator<<(std::ostream& os, const Address& address);

#endif  // TARPON_COMM_ADDRESS_H_
