#include "comm/key_file.h"

#include <fcntl.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "contract/secret.h"

std::string HmacHex(const std::string& key, const std::string& text,
                    size_t bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest,
       &length);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < bytes && i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string RandomKey(size_t size) {
  std::string key(size, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(&key[0]), static_cast<int>(size));
  return key;
}

bool LoadOrMakeKeyFile(const std::string& path, size_t size, std::string* key,
                       std::string* why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    const Secret made(RandomKey(size));
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool written = fd >= 0 &&
                         write(fd, made.Text().data(), made.size()) ==
                             static_cast<ssize_t>(made.size()) &&
                         fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!written) {
      if (fd >= 0) unlink(path.c_str());
      *why = path + ": cannot be made";
      return false;
    }
    WipeSecret(key);
    *key = made.Text();
    return true;
  }
  if (fd < 0) {
    *why = path + ": " + std::strerror(errno);
    return false;
  }
  Secret read_(std::string(size + 1, '\0'));
  const ssize_t got = read(fd, &(*read_.Writable())[0], read_.size());
  close(fd);
  if (got != static_cast<ssize_t>(size)) {
    *why = path + ": not a key of " + std::to_string(size) + " bytes";
    return false;
  }
  read_.Writable()->resize(size);
  WipeSecret(key);
  *key = read_.Text();
  return true;
}
