#include "web/device_cookie.h"

#include <openssl/crypto.h>

#include <cctype>
#include <cstdlib>

#include "comm/key_file.h"

namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kSignatureHex = 32;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(c));
  return text;
}

// The value of the cookie name in a Cookie header, or "".
std::string CookieValue(const std::string& header, const std::string& name) {
  size_t at = 0;
  while (at < header.size()) {
    while (at < header.size() && (header[at] == ' ' || header[at] == ';')) {
      ++at;
    }
    const size_t end = header.find(';', at);
    const std::string pair = header.substr(
        at, end == std::string::npos ? std::string::npos : end - at);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) {
      return pair.substr(name.size() + 1);
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return std::string();
}

}  // namespace

constexpr char DeviceCookies::kName[];

DeviceCookies::DeviceCookies() : key_(RandomKey(kKeyBytes)) {}

bool DeviceCookies::Load(const std::string& path, std::string* why) {
  return LoadOrMakeKeyFile(path, kKeyBytes, &key_, why);
}

std::string DeviceCookies::Sign(const std::string& text) const {
  return HmacHex(key_, text, kSignatureHex / 2);
}

std::string DeviceCookies::Issue(const std::string& user,
                                 int64_t nowSeconds) const {
  const int64_t seconds = static_cast<int64_t>(days_) * 86400;
  const std::string text =
      Upper(user) + "." + std::to_string(nowSeconds + seconds);
  return std::string(kName) + "=" + text + "." + Sign(text) +
         "; Path=/; Max-Age=" + std::to_string(seconds) +
         "; Secure; HttpOnly; SameSite=Strict";
}

bool DeviceCookies::Vouches(const std::string& cookieHeader,
                            const std::string& user, int64_t nowSeconds) const {
  const std::string value = CookieValue(cookieHeader, kName);
  const size_t dot = value.rfind('.');
  if (value.empty() || dot == std::string::npos ||
      value.size() - dot - 1 != kSignatureHex) {
    return false;
  }
  const std::string text = value.substr(0, dot);
  const std::string signature = Sign(text);
  if (CRYPTO_memcmp(signature.data(), value.data() + dot + 1, kSignatureHex) !=
      0) {
    return false;
  }
  const size_t split = text.rfind('.');
  if (split == std::string::npos || text.substr(0, split) != Upper(user)) {
    return false;
  }
  const int64_t expires = std::strtoll(text.c_str() + split + 1, nullptr, 10);
  return expires > nowSeconds;
}

std::string DeviceCookies::Hidden(const std::string& user) const {
  return "#" + Sign("user:" + Upper(user));
}
