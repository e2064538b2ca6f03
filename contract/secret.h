// Wiping a secret: the one way every layer clears a password's bytes (and
// any buffer that held a copy) once done with them. The compiler may not
// leave the stores out, though nothing reads the bytes afterwards.
#ifndef TARPON_CONTRACT_SECRET_H_
#define TARPON_CONTRACT_SECRET_H_

#include <string.h>

#include <cstddef>
#include <string>
#include <vector>

// Overwrites length bytes at data with zeros.
inline void WipeBytes(void* data, size_t length) {
  if (data != nullptr && length > 0) explicit_bzero(data, length);
}

// Overwrites a string's bytes (its whole capacity) with zeros, then empties
// it.
inline void WipeSecret(std::string* text) {
  text->resize(text->capacity());
  WipeBytes(&(*text)[0], text->size());
  text->clear();
}

inline void WipeSecret(std::vector<char>* bytes) {
  WipeBytes(bytes->data(), bytes->size());
  bytes->clear();
}

#endif  // TARPON_CONTRACT_SECRET_H_
