#include "web/device_cookie.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

DeviceCookies::DeviceCookies() : key_(kKeyBytes, '\0') {
  RAND_bytes(reinterpret_cast<unsigned char*>(&key_[0]), kKeyBytes);
}

bool DeviceCookies::Load(const std::string& path, std::string* why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool made = fd >= 0 &&
                      write(fd, key_.data(), key_.size()) ==
                          static_cast<ssize_t>(key_.size()) &&
                      fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (made) return true;
    *why = path + ": cannot be made";
    return false;
  }
  if (fd < 0) {
    *why = path + ": " + std::strerror(errno);
    return false;
  }
  std::string key(kKeyBytes, '\0');
  const ssize_t got = read(fd, &key[0], key.size());
  close(fd);
  if (got != static_cast<ssize_t>(kKeyBytes)) {
    *why = path + ": not a key of 32 bytes";
    return false;
  }
  key_ = key;
  return true;
}

std::string DeviceCookies::Sign(const std::string& text) const {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest,
       &length);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < kSignatureHex / 2 && i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
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
