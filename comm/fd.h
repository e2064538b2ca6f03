// A descriptor with one owner. Fd closes what it holds when it ends or is
// given another; it moves and never copies, so a descriptor crosses no
// boundary as a bare number that two places might close.
#ifndef TARPON_COMM_FD_H_
#define TARPON_COMM_FD_H_

#include <unistd.h>

#include <utility>

class Fd {
 public:
  Fd() = default;
  // Takes ownership of fd (a negative value holds nothing).
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Closes what is held and takes fd instead.
  void Reset(int fd = -1) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
  }
  // Gives up ownership without closing; the caller owns the result.
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

#endif  // TARPON_COMM_FD_H_
