// A secret key kept in a file of its own: read when the file is there,
// else made of random bytes and written with mode 0600 (and synced), so
// that what is keyed with it outlives a restart.
#ifndef TARPON_COMM_KEY_FILE_H_
#define TARPON_COMM_KEY_FILE_H_

#include <cstddef>
#include <string>

// Fills *key with the size bytes of the file at path, or makes the file
// from size random bytes; false with the reason in *why (*key unchanged).
bool LoadOrMakeKeyFile(const std::string& path, size_t size, std::string* key,
                       std::string* why);

// The first bytes of HMAC-SHA-256 of text under key, in lower-case hex.
std::string HmacHex(const std::string& key, const std::string& text,
                    size_t bytes);

// size random bytes.
std::string RandomKey(size_t size);

#endif  // TARPON_COMM_KEY_FILE_H_
