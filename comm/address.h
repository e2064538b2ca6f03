// Address holds one IPv4 TCP endpoint: a port and an address in the
// platform's socket address record, the host and service names it was
// resolved from, and its own state and reason codes.
//
// Constructors never fail: they leave the object in STATE_OK or STATE_ERROR
// (the default constructor in STATE_INIT) and callers test IsUsable().
// A host name that does not resolve falls back to reading the text as a
// dotted-decimal address, so a wrong name shows up later as 255.255.255.255.
//
// Service names are looked up for protocol "tcp" in the file named by the
// environment variable TARPON_SERVICES (same format as the system's file),
// when it is set, and then in the system's services database, so that the
// file wins over a system entry of the same name.
//
// The object owns its name copies; copying makes new ones.
#ifndef TARPON_COMM_ADDRESS_H_
#define TARPON_COMM_ADDRESS_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>

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

  // Port and address in host byte order; all return 0.
  int SetPort(uint16_t port);
  // A text that is not a dotted-decimal address gives 255.255.255.255.
  int SetIpAddress(const char* text);
  int SetAddress(uint32_t address);

  // Writes the dotted-decimal address with its terminator into out, which
  // holds outSize bytes (16 always suffice); an empty text if it does not fit.
  void GetIpAddress(char* out, size_t outSize);
  // The dotted-decimal address, kept in the object until the next call.
  const char* GetIpAddress();

  // The socket address record for the socket calls.
  const sockaddr* GetSocketAddress() const {
    return reinterpret_cast<const sockaddr*>(&socketAddress_);
  }
  sockaddr* GetSocketAddress() {
    return reinterpret_cast<sockaddr*>(&socketAddress_);
  }
  static socklen_t GetSocketAddressLength() { return sizeof(sockaddr_in); }

  // Usable when STATE_OK and the address or the port is non-zero.
  bool IsUsable() const;

  int GetState() const { return state_; }
  int GetReason() const { return reason_; }
  int GetLastApiRc() const { return lastApiRc_; }
  uint16_t GetHostLookupRetries() const { return hostLookupRetries_; }
  const char* GetHostName() const { return hostName_; }
  const char* GetServiceName() const { return serviceName_; }
  uint16_t GetPort() const { return ntohs(socketAddress_.sin_port); }
  uint32_t GetAddress() const { return ntohl(socketAddress_.sin_addr.s_addr); }

  // Printable names by value; "<unknown reason code>" out of range.
  static const char* StateName(int state);
  static const char* ReasonName(int reason);
  const char* GetStateName() const { return StateName(state_); }
  const char* GetReasonName() const { return ReasonName(reason_); }

  // The ten-line formatted dump.
  void Print(std::ostream& os) const;

  // The host resolver: returns 0 and stores the first IPv4 address (network
  // byte order) when the name is found, else the resolver's error code
  // (TRY_AGAIN for a temporary failure). Tests install their own; nullptr
  // restores the system's. Returns the previous one.
  using HostResolver = int (*)(const char* name, uint32_t* address);
  static HostResolver SetHostResolver(HostResolver resolver);

 private:
  void HostStep(const char* host);

  int state_ = STATE_INIT;
  int reason_ = REASON_OK;
  char* hostName_ = nullptr;
  char* serviceName_ = nullptr;
  uint16_t hostLookupRetries_ = 0;
  int lastApiRc_ = 0;
  sockaddr_in socketAddress_ = {};
  char addressText_[16] = {};
};

std::ostream& operator<<(std::ostream& os, const Address& address);

#endif  // TARPON_COMM_ADDRESS_H_
