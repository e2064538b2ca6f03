// The owner's device: after a change made through the page or the API,
// tarpon-web answers with a cookie that names the user ID and its expiry,
// signed with a key of its own (HMAC-SHA-256). A later change for that
// user ID that carries the cookie is vouched for to the gateway, in the
// PROXY header, as the owner's device, whose try strangers cannot use up
// (gateway/account_limit.h).
//
//   tarpon_device=ALICE.1767225600.4f1c...; Path=/; Max-Age=7776000;
//   Secure; HttpOnly; SameSite=Strict
//
// Immutable once made: safe from any thread.
#ifndef TARPON_WEB_DEVICE_COOKIE_H_
#define TARPON_WEB_DEVICE_COOKIE_H_

#include <cstdint>
#include <string>

class DeviceCookies {
 public:
  static constexpr int kDefaultDays = 90;
  static constexpr char kName[] = "tarpon_device";

  // A key of random bytes: cookies good until the process ends.
  DeviceCookies();
  // Reads the key file, or makes it (32 random bytes, mode 0600) when it
  // does not exist; false with the reason in *why.
  bool Load(const std::string& path, std::string* why);
  void SetDays(int days) { days_ = days; }
  int GetDays() const { return days_; }

  // The Set-Cookie value for user (upper-cased), made at nowSeconds.
  std::string Issue(const std::string& user, int64_t nowSeconds) const;
  // Whether the Cookie header holds a cookie of ours for user that has not
  // expired at nowSeconds.
  bool Vouches(const std::string& cookieHeader, const std::string& user,
               int64_t nowSeconds) const;
  // The name that stands for a user ID the host has not recognised, in the
  // audit log: "#" and a keyed hash of it under the same key.
  std::string Hidden(const std::string& user) const;

 private:
  std::string Sign(const std::string& text) const;

  std::string key_;
  int days_ = kDefaultDays;
};

#endif  // TARPON_WEB_DEVICE_COOKIE_H_
