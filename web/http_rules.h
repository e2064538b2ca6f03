// The HTTP rules of tarpon-web that need no connection: decoding a form or
// a query, a request's media type, the cross-site check, the headers every
// answer carries and the plain port's redirect. Pure functions on text (no
// Beast): any thread may call them.
#ifndef TARPON_WEB_HTTP_RULES_H_
#define TARPON_WEB_HTTP_RULES_H_

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Where password managers send people to change a password: the page.
extern const char kChangePasswordPath[];

// The value of each key of an application/x-www-form-urlencoded text (or a
// URL's query) that keys names, through uriparser; the copies it made are
// cleared. False when the text does not decode or would decode to a NUL,
// which would cut a value short. Every value of listKey (when given) goes
// to *list in order, at most listMax of them (false beyond).
bool DecodeForm(std::string_view text,
                std::vector<std::pair<const char*, std::string*>> keys,
                const char* listKey = nullptr,
                std::vector<std::string>* list = nullptr, size_t listMax = 0);

// True when a Content-Type field names wanted (lower case), parameters and
// case aside.
bool MediaTypeIs(const std::string& contentType, const std::string& wanted);

// Another site's page posting here. Sec-Fetch-Site, when sent, must say
// the same origin (or "none": typed by the person); Origin, when sent,
// must name this site (https://host), except "null", which a browser sends
// for a form post of this site's own page under "Referrer-Policy:
// no-referrer" and which only Sec-Fetch-Site can vouch for. A request with
// neither comes from no browser (an API client) and goes on.
bool IsCrossSite(const std::string& fetchSite, const std::string& origin,
                 const std::string& host);

// The header fields every answer carries, errors and redirects included,
// in their order: (name, value).
using HeaderField = std::pair<const char*, const char*>;
const std::vector<HeaderField>& CommonHeaders();

// The plain port's answer to a request for target at host: 308 to the
// same target over HTTPS at httpsPort, 302 to "/" for the well-known
// change-password path, 400 when the Host field is not a bare host name or
// address (nothing else may shape the Location). The host's own port is
// dropped.
struct RedirectAnswer {
  int status;
  std::string location;
};
RedirectAnswer RedirectToHttps(std::string host, std::string target,
                               uint16_t httpsPort);

// An address as text ("-" for a family other than IPv4 and IPv6).
std::string AddressText(const sockaddr_storage& address);

#endif  // TARPON_WEB_HTTP_RULES_H_
