#include "comm/address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "comm/comm_base.h"
#include "comm/gateway_protocol.h"
#include "contract/error_text.h"
#include "trace/regular_file.h"
#include "trace/trace.h"

namespace {

const char kUnknownCode[] = "<unknown reason code>";

const char* const kStateNames[] = {"STATE_OK", "STATE_INIT", "STATE_ERROR"};
const char* const kReasonNames[] = {"REASON_OK", "REASON_GET_HOST_BY_NAME",
                                    "REASON_GET_SERVICE_BY_NAME"};

template <size_t N>
const char* name_of(const char* const (&names)[N], int code) {
  if (code < 0 || static_cast<size_t>(code) >= N) return kUnknownCode;
  return names[code];
}

// A heap copy of text, or null when memory runs out.
char* copy_text(const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = std::strlen(text);
  char* copy = new (std::nothrow) char[length + 1];
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

int system_resolver(const char* name, uint32_t* address) {
  // The reentrant lookup needs scratch space; grow it while the resolver
  // says it is too small, up to a bound.
  std::vector<char> scratch(1024);
  hostent entry;
  hostent* found = nullptr;
  int error = 0;
  for (;;) {
    int rc = gethostbyname_r(name, &entry, scratch.data(), scratch.size(),
                             &found, &error);
    if (rc == ERANGE && scratch.size() < 65536) {
      scratch.resize(scratch.size() * 2);
      continue;
    }
    break;
  }
  if (found == nullptr) return error != 0 ? error : HOST_NOT_FOUND;
  if (found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr) {
    return NO_DATA;
  }
  // Never more than the four bytes of an IPv4 address.
  size_t length = found->h_length < 4 ? found->h_length : 4;
  *address = 0;
  std::memcpy(address, found->h_addr_list[0], length);
  return 0;
}

Address::HostResolver g_resolver = system_resolver;

constexpr size_t kMaxServicesFileBytes = 1024 * 1024;

void services_file_refused(const char* path, const char* why) {
  std::fprintf(stderr, "tarpon comm: TARPON_SERVICES file %s: %s\n", path, why);
  std::fflush(stderr);
}

// Reads the services file at "path" whole. Opened without blocking and
// refused unless a regular file of at most 1 MiB, so that a FIFO or a
// device named there neither hangs nor grows the process; a refusal is
// said once on standard error. A file that cannot be opened names no
// service, silently, as before.
bool read_services_file(const char* path, std::string* text) {
  struct stat status;
  std::string error;
  bool notRegular = false;
  int fd = OpenRegularFile(path, &status, &error, &notRegular);
  if (fd < 0) {
    if (notRegular) services_file_refused(path, "not a regular file");
    return false;
  }
  ReadToEndResult result = ReadToEnd(fd, kMaxServicesFileBytes, text);
  close(fd);
  if (result == ReadToEndResult::kTooLarge) {
    services_file_refused(path, "larger than 1 MiB");
  }
  return result == ReadToEndResult::kOk;
}

// Looks a service up for "tcp" in a file laid out like the system's services
// file: "name port/protocol aliases... # comment". Stores the port in host
// byte order.
bool lookup_service_file(const char* path, const char* name, uint16_t* port) {
  std::string text;
  if (!read_services_file(path, &text)) return false;
  std::istringstream file(text);
  std::string line;
  while (std::getline(file, line)) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string service, portAndProtocol;
    if (!(words >> service >> portAndProtocol)) continue;
    size_t slash = portAndProtocol.find('/');
    if (slash == std::string::npos || slash == 0) continue;
    if (portAndProtocol.compare(slash + 1, std::string::npos, "tcp") != 0) {
      continue;
    }
    std::string digits = portAndProtocol.substr(0, slash);
    if (digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 5) {
      continue;
    }
    unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
    if (value > 65535) continue;
    bool match = service == name;
    std::string alias;
    while (!match && words >> alias) match = alias == name;
    if (match) {
      *port = static_cast<uint16_t>(value);
      return true;
    }
  }
  return false;
}

// The service's port in host byte order from the file named by
// TARPON_SERVICES, then from the system's database, so that the file can
// override a system entry; the gateway's own service, named in neither,
// has its default port.
bool lookup_service(const char* name, uint16_t* port) {
  const char* path = std::getenv("TARPON_SERVICES");
  if (path != nullptr && *path != '\0' &&
      lookup_service_file(path, name, port)) {
    return true;
  }
  servent entry;
  servent* found = nullptr;
  char scratch[4096];
  if (getservbyname_r(name, "tcp", &entry, scratch, sizeof scratch, &found) ==
          0 &&
      found != nullptr) {
    *port = ntohs(static_cast<uint16_t>(found->s_port));
    return true;
  }
  if (std::strcmp(name, GATEWAY_DEFAULT_SERVICE) == 0) {
    *port = GATEWAY_DEFAULT_PORT;
    return true;
  }
  return false;
}

// A service given as a port number, 1 to 65535: no lookup.
bool port_number(const char* text, uint16_t* port) {
  size_t length = std::strlen(text);
  if (length == 0 || length > 5 || std::strspn(text, "0123456789") != length) {
    return false;
  }
  unsigned long value = std::strtoul(text, nullptr, 10);
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// The host text without the brackets of "[::1]"; false for an unmatched
// bracket.
bool strip_brackets(const char* text, std::string* bare) {
  size_t length = std::strlen(text);
  if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {
    bare->assign(text + 1, length - 2);
    return true;
  }
  bare->assign(text);
  return text[0] != '[';
}

}  // namespace

Address::HostResolver Address::SetHostResolver(HostResolver resolver) {
  HostResolver previous = g_resolver;
  g_resolver = resolver != nullptr ? resolver : system_resolver;
  return previous;
}

const char* Address::StateName(int state) {
  return name_of(kStateNames, state);
}

const char* Address::ReasonName(int reason) {
  return name_of(kReasonNames, reason);
}

Address::Address() {
  TraceScope scope("Address::Address()", TRACE_OFF);
  Init();
}

Address::Address(const char* service, const char* host) {
  TraceScope scope("Address::Address(host,service)", &state_, TRACE_OFF);
  Init();
  if (GetServiceByName(service) != CommBase::COMM_OK) {
    state_ = STATE_ERROR;
    return;
  }
  HostStep(host);
}

Address::Address(const char* service, uint32_t address) {
  TraceScope scope("Address::Address(service,address)", &state_, TRACE_OFF);
  Init();
  if (GetServiceByName(service) != CommBase::COMM_OK) {
    state_ = STATE_ERROR;
    return;
  }
  SetAddress(address);
  state_ = STATE_OK;
}

Address::Address(uint16_t port, const char* host) {
  TraceScope scope("Address::Address(port,host)", &state_, TRACE_OFF);
  Init();
  SetPort(port);
  HostStep(host);
}

Address::Address(uint16_t port, uint32_t address) {
  TraceScope scope("Address::Address(port,address)", &state_, TRACE_OFF);
  Init();
  SetPort(port);
  SetAddress(address);
  state_ = STATE_OK;
}

Address::Address(const Address& other) {
  TraceScope scope("Address::Address(const Address&)", TRACE_OFF);
  Copy(other);
}

Address& Address::operator=(const Address& other) {
  TraceScope scope("Address::operator=(const Address&)", TRACE_OFF);
  if (this != &other) Copy(other);
  return *this;
}

Address::~Address() {
  TraceScope scope("Address::~Address", TRACE_OFF);
  delete[] hostName_;
  delete[] serviceName_;
}

// An IPv6 literal needs no lookup. A host that does not resolve is read as
// dotted-decimal text; the failed lookup's reason and resolver code stay in
// the object.
void Address::HostStep(const char* host) {
  if (SetIpv6Literal(host)) {
    delete[] hostName_;
    hostName_ = copy_text(host);
  } else if (GetHostByName(host) != CommBase::COMM_OK) {
    SetIpAddress(host);
  }
  state_ = STATE_OK;
}

// Makes the object IPv6 with the address that text ("::1" or "[::1]")
// names, keeping the port; false, nothing changed, for any other text.
bool Address::SetIpv6Literal(const char* text) {
  std::string bare;
  if (text == nullptr || !strip_brackets(text, &bare)) return false;
  in6_addr converted;
  if (inet_pton(AF_INET6, bare.c_str(), &converted) != 1) return false;
  uint16_t port = GetPort();
  std::memset(&socketAddress_, 0, sizeof socketAddress_);
  socketAddress_.in6.sin6_family = AF_INET6;
  socketAddress_.in6.sin6_port = htons(port);
  socketAddress_.in6.sin6_addr = converted;
  return true;
}

std::vector<Address> Address::Resolve(const char* service, const char* host,
                                      std::string* error, int* reason) {
  TraceScope scope("Address::Resolve(service,host)", TRACE_OFF);
  std::vector<Address> found;
  std::string why;
  int failed = REASON_OK;
  uint16_t port = 0;
  std::string bare;
  addrinfo* list = nullptr;
  if (service == nullptr ||
      !(lookup_service(service, &port) || port_number(service, &port))) {
    failed = REASON_GET_SERVICE_BY_NAME;
    why = std::string("service ") + (service != nullptr ? service : "") +
          " is neither in TARPON_SERVICES nor in the services database";
  } else if (host == nullptr || !strip_brackets(host, &bare)) {
    failed = REASON_GET_HOST_BY_NAME;
    why = std::string("cannot resolve ") + (host != nullptr ? host : "") +
          ": not a host name";
  } else {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int rc = getaddrinfo(bare.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
      failed = REASON_GET_HOST_BY_NAME;
      why = std::string("cannot resolve ") + host + ": " +
            (rc == EAI_SYSTEM ? ErrorText(errno) : gai_strerror(rc));
      list = nullptr;
    }
  }
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Address address;
    std::memcpy(&address.socketAddress_, entry->ai_addr, entry->ai_addrlen);
    address.SetPort(port);
    address.hostName_ = copy_text(host);
    address.serviceName_ = copy_text(service);
    address.state_ = STATE_OK;
    found.push_back(address);
  }
  if (list != nullptr) freeaddrinfo(list);
  if (found.empty() && failed == REASON_OK) {
    failed = REASON_GET_HOST_BY_NAME;
    why = std::string("cannot resolve ") + host + ": no IPv4 or IPv6 address";
  }
  if (error != nullptr) *error = why;
  if (reason != nullptr) *reason = failed;
  return found;
}

void Address::Copy(const Address& other) {
  TraceScope scope("Address::Copy", TRACE_OFF);
  lastApiRc_ = other.lastApiRc_;
  hostLookupRetries_ = other.hostLookupRetries_;
  delete[] hostName_;
  hostName_ = copy_text(other.hostName_);
  delete[] serviceName_;
  serviceName_ = copy_text(other.serviceName_);
  socketAddress_ = other.socketAddress_;
  state_ = other.state_;
  reason_ = other.reason_;
}

void Address::Init() {
  TraceScope scope("Address::Init", TRACE_OFF);
  state_ = STATE_INIT;
  reason_ = REASON_OK;
  lastApiRc_ = 0;
  delete[] hostName_;
  hostName_ = nullptr;
  delete[] serviceName_;
  serviceName_ = nullptr;
  hostLookupRetries_ = 0;
  std::memset(&socketAddress_, 0, sizeof socketAddress_);
  socketAddress_.in4.sin_family = AF_INET;
}

short Address::GetHostByName(const char* name) {
  short result = 0;
  TraceScope scope("Address::GetHostByName", &result, TRACE_OFF);
  uint32_t address = 0;
  int error = HOST_NOT_FOUND;
  if (name != nullptr) {
    error = g_resolver(name, &address);
    while (error == TRY_AGAIN &&
           hostLookupRetries_ < HOST_LOOKUP_RETRY_BUDGET) {
      ++hostLookupRetries_;
      error = g_resolver(name, &address);
    }
  }
  if (error != 0) {
    lastApiRc_ = error;
    reason_ = REASON_GET_HOST_BY_NAME;
    state_ = STATE_ERROR;
    result = CommBase::COMM_FAILED;
    return result;
  }
  MakeIpv4();
  socketAddress_.in4.sin_addr.s_addr = address;
  delete[] hostName_;
  hostName_ = copy_text(name);
  return result;
}

short Address::GetServiceByName(const char* name) {
  short result = 0;
  TraceScope scope("Address::GetServiceByName", &result, TRACE_OFF);
  uint16_t port = 0;
  if (name == nullptr || !lookup_service(name, &port)) {
    state_ = STATE_ERROR;
    reason_ = REASON_GET_SERVICE_BY_NAME;
    result = CommBase::COMM_FAILED;
    return result;
  }
  SetPort(port);
  delete[] serviceName_;
  serviceName_ = copy_text(name);
  return result;
}

int Address::SetPort(uint16_t port) {
  TraceScope scope("Address::SetPort", TRACE_OFF);
  // sin_port and sin6_port share their place in the record; named apart
  // all the same.
  if (GetFamily() == AF_INET6) {
    socketAddress_.in6.sin6_port = htons(port);
  } else {
    socketAddress_.in4.sin_port = htons(port);
  }
  return 0;
}

int Address::SetIpAddress(const char* text) {
  TraceScope scope("Address::SetIpAddress", TRACE_OFF);
  if (SetIpv6Literal(text)) return 0;
  // Like the classic conversion, anything that is not a dotted-decimal
  // address becomes all bits set.
  in_addr converted;
  if (text == nullptr || inet_aton(text, &converted) == 0) {
    converted.s_addr = INADDR_NONE;
  }
  MakeIpv4();
  socketAddress_.in4.sin_addr = converted;
  return 0;
}

int Address::SetAddress(uint32_t address) {
  TraceScope scope("Address::SetAddress", TRACE_OFF);
  MakeIpv4();
  socketAddress_.in4.sin_addr.s_addr = htonl(address);
  return 0;
}

// An IPv6 object becomes IPv4 with address 0 and its port.
void Address::MakeIpv4() {
  if (GetFamily() == AF_INET) return;
  uint16_t port = GetPort();
  std::memset(&socketAddress_, 0, sizeof socketAddress_);
  socketAddress_.in4.sin_family = AF_INET;
  socketAddress_.in4.sin_port = htons(port);
}

socklen_t Address::GetSocketAddressLength() const {
  return GetFamily() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint16_t Address::GetPort() const {
  return ntohs(GetFamily() == AF_INET6 ? socketAddress_.in6.sin6_port
                                       : socketAddress_.in4.sin_port);
}

uint32_t Address::GetAddress() const {
  return GetFamily() == AF_INET6 ? 0
                                 : ntohl(socketAddress_.in4.sin_addr.s_addr);
}

void Address::GetIpAddress(char* out, size_t outSize) const {
  TraceScope scope("Address::GetIpAddress", TRACE_OFF);
  if (out == nullptr || outSize == 0) return;
  const void* bytes =
      GetFamily() == AF_INET6
          ? static_cast<const void*>(&socketAddress_.in6.sin6_addr)
          : static_cast<const void*>(&socketAddress_.in4.sin_addr);
  if (inet_ntop(GetFamily(), bytes, out, static_cast<socklen_t>(outSize)) ==
      nullptr) {
    out[0] = '\0';
  }
}

const char* Address::GetIpAddress() {
  GetIpAddress(addressText_, sizeof addressText_);
  return addressText_;
}

bool Address::IsUsable() const {
  if (state_ != STATE_OK) return false;
  if (GetFamily() == AF_INET6) {
    return !IN6_IS_ADDR_UNSPECIFIED(&socketAddress_.in6.sin6_addr) ||
           socketAddress_.in6.sin6_port != 0;
  }
  return socketAddress_.in4.sin_addr.s_addr != 0 ||
         socketAddress_.in4.sin_port != 0;
}

void Address::Print(std::ostream& os) const {
  os << "Address object state ...............: " << state_ << " ( "
     << StateName(state_) << " ) \n"
     << "Reason for state ...................: " << reason_ << " ( "
     << ReasonName(reason_) << " ) \n"
     << "Last external API rc (TCP/IP) ......: " << lastApiRc_ << "\n"
     << "Host name ..........................: "
     << (hostName_ != nullptr ? hostName_ : "") << "\n"
     << "Service port name ..................: "
     << (serviceName_ != nullptr ? serviceName_ : "") << "\n";
  PrintFamilyLines(os);
}

void Address::PrintFamilyLines(std::ostream& os) const {
  char text[ADDRESS_TEXT_SIZE];
  GetIpAddress(text, sizeof text);
  if (GetFamily() == AF_INET6) {
    const sockaddr_in6& in6 = socketAddress_.in6;
    os << "struct sockaddr_in6 .............:    \n"
       << "   sin6_family .....................: "
       << static_cast<int16_t>(in6.sin6_family) << "\n"
       << "   sin6_port .......................: " << GetPort() << "\n"
       << "   sin6_addr .......................: " << text << "\n"
       << "   sin6_scope_id ...................: " << in6.sin6_scope_id
       << std::endl;
    return;
  }
  const sockaddr_in& in4 = socketAddress_.in4;
  // The record's filler bytes, as text: nothing while they are zero.
  const char* filler = reinterpret_cast<const char*>(in4.sin_zero);
  std::string zero(filler, strnlen(filler, sizeof in4.sin_zero));
  os << "struct sockaddr_in  .............:    \n"
     << "   sin_family ......................: "
     << static_cast<int16_t>(in4.sin_family) << "\n"
     << "   sin_port ........................: "
     << static_cast<uint16_t>(in4.sin_port) << "\n"
     << "   sin_addr.s_addr .................: " << text << "\n"
     << "   sin_zero ........................: " << zero << std::endl;
}

std::ostream& operator<<(std::ostream& os, const Address& address) {
  address.Print(os);
  return os;
}
