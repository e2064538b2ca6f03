#include "web/http_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <uriparser/Uri.h>

#include <cctype>
#include <cstring>

#include "contract/secret.h"

const char kChangePasswordPath[] = "/.well-known/change-password";

namespace {

const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

}  // namespace

bool DecodeForm(std::string_view text,
                std::vector<std::pair<const char*, std::string*>> keys,
                const char* listKey, std::vector<std::string>* list,
                size_t listMax) {
  UriQueryListA* items = nullptr;
  int count = 0;
  if (text.empty()) return true;
  if (text.find('\0') != std::string_view::npos ||
      text.find("%00") != std::string_view::npos) {
    return false;
  }
  if (uriDissectQueryMallocExA(&items, &count, text.data(),
                               text.data() + text.size(), URI_TRUE,
                               URI_BR_DONT_TOUCH) != URI_SUCCESS) {
    return false;
  }
  bool ok = true;
  for (UriQueryListA* item = items; item != nullptr; item = item->next) {
    for (auto& [key, value] : keys) {
      if (item->value != nullptr && std::strcmp(item->key, key) == 0) {
        *value = item->value;
      }
    }
    if (listKey != nullptr && std::strcmp(item->key, listKey) == 0) {
      ok = ok && list->size() < listMax;
      if (ok) list->push_back(item->value != nullptr ? item->value : "");
    }
    if (item->value != nullptr) {
      WipeBytes(const_cast<char*>(item->value), std::strlen(item->value));
    }
  }
  uriFreeQueryListA(items);
  return ok;
}

bool MediaTypeIs(const std::string& contentType, const std::string& wanted) {
  std::string type = contentType.substr(0, contentType.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  for (char& c : type) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return type == wanted;
}

bool IsCrossSite(const std::string& fetchSite, const std::string& origin,
                 const std::string& host) {
  if (!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none") {
    return true;
  }
  if (origin.empty()) return false;
  if (origin == "null") return fetchSite.empty();
  return origin != "https://" + host;
}

const std::vector<HeaderField>& CommonHeaders() {
  static const std::vector<HeaderField> fields = {
      {"Server", "tarpon-web"},
      {"Cache-Control", "no-store"},
      {"Strict-Transport-Security", "max-age=31536000"},
      {"Content-Security-Policy", kContentSecurityPolicy},
      {"Referrer-Policy", "no-referrer"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Permissions-Policy",
       "camera=(), microphone=(), geolocation=(), payment=(), "
       "usb=(), interest-cohort=()"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
  };
  return fields;
}

RedirectAnswer RedirectToHttps(std::string host, std::string target,
                               uint16_t httpsPort) {
  if (host.size() > 255 ||
      host.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                             "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-[]:") !=
          std::string::npos) {
    host.clear();
  }
  size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']') == std::string::npos) {
    host.erase(colon);
  } else if (host.find(']') != std::string::npos) {
    host.erase(host.find(']') + 1);
  }
  if (target.empty() || target[0] != '/') target = "/";
  // A password manager's well-known path goes straight to the page.
  bool wellKnown = target.substr(0, target.find('?')) == kChangePasswordPath;
  if (wellKnown) target = "/";
  int status = host.empty() ? 400 : wellKnown ? 302 : 308;
  return {status,
          "https://" + host +
              (httpsPort == 443 ? "" : ":" + std::to_string(httpsPort)) +
              target};
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  const void* bytes =
      address.ss_family == AF_INET
          ? static_cast<const void*>(
                &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr)
          : &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return "-";
  inet_ntop(address.ss_family, bytes, text, sizeof text);
  return text;
}
