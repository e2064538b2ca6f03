// Wiping a secret: the one way every layer clears a password's bytes (and
// any buffer that held a copy) once done with them. The compiler may not
// leave the stores out, though nothing reads the bytes afterwards.
//
// WipeBytes is the one primitive; WipeSecret and Secret are built on it. A
// Secret owns a password's text and wipes it when destroyed, moved from or
// replaced, so that a buffer that holds a password is wiped by its type
// rather than by a call on every path.
#ifndef TARPON_CONTRACT_SECRET_H_
#define TARPON_CONTRACT_SECRET_H_

#include <string.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
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

// An allocator that wipes every block it frees: a container of secret
// bytes leaves no copy behind when it grows, shrinks or goes.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}  // NOLINT: rebinding
  T* allocate(size_t count) { return std::allocator<T>().allocate(count); }
  void deallocate(T* block, size_t count) {
    WipeBytes(block, count * sizeof(T));
    std::allocator<T>().deallocate(block, count);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const {
    return false;
  }
};

// A string whose every buffer is wiped when freed, and whose own bytes
// (a short string lives inside the object) when it goes.
class WipedString : public std::basic_string<char, std::char_traits<char>,
                                             WipingAllocator<char>> {
 public:
  using Base =
      std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
  using Base::Base;
  WipedString() = default;
  WipedString(const WipedString&) = default;
  WipedString(WipedString&& other) noexcept : Base(std::move(other)) {
    other.WipeInside();
  }
  WipedString& operator=(const WipedString&) = default;
  WipedString& operator=(WipedString&& other) noexcept {
    Base::operator=(std::move(other));
    other.WipeInside();
    return *this;
  }
  ~WipedString() { WipeInside(); }

 private:
  // The bytes the object holds now: its buffer up to its capacity.
  void WipeInside() { WipeBytes(&(*this)[0], capacity()); }
};

// A password's text, move-only. Moving takes the bytes and wipes what the
// source kept (a short string's bytes live inside it and are copied, not
// moved). Text() gives the bytes to read; Writable() a string to fill in
// place (decoders write straight into it, leaving no copy behind).
class Secret {
 public:
  Secret() = default;
  // Takes text's bytes; what text kept is wiped.
  explicit Secret(std::string* text) : text_(std::move(*text)) {
    WipeSecret(text);
  }
  // Takes a temporary's bytes (a text just composed); what it kept is wiped.
  explicit Secret(std::string&& text) : text_(std::move(text)) {
    WipeSecret(&text);
  }
  // A copy of size bytes at data (a caller's buffer it wipes itself).
  Secret(const char* data, size_t size) : text_(data, size) {}
  ~Secret() { Wipe(); }
  Secret(Secret&& other) noexcept : text_(std::move(other.text_)) {
    other.Wipe();
  }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      Wipe();
      text_ = std::move(other.text_);
      other.Wipe();
    }
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  // A second Secret holding the same bytes, for a caller that needs its
  // own (each wipes its copy).
  Secret Copy() const { return Secret(text_.data(), text_.size()); }

  const std::string& Text() const { return text_; }
  std::string* Writable() { return &text_; }
  const char* c_str() const { return text_.c_str(); }
  bool empty() const { return text_.empty(); }
  size_t size() const { return text_.size(); }
  bool operator==(const Secret& other) const { return text_ == other.text_; }
  bool operator!=(const Secret& other) const { return text_ != other.text_; }
  // Wipes the bytes and empties the text.
  void Wipe() { WipeSecret(&text_); }

 private:
  std::string text_;
};

#endif  // TARPON_CONTRACT_SECRET_H_
