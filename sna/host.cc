#include "sna/host.h"

#include <cstdio>

#include "sna/password_request.h"
#include "sna/user_db.h"

namespace sna {

namespace {

std::string Reply(uint8_t status, uint16_t format_error) {
  unsigned char bytes[kMaxReplyLength];
  size_t length = BuildPasswordReply(status, format_error, bytes);
  return std::string(reinterpret_cast<char*>(bytes), length);
}

// Decides one request against the user's record (null when the user is
// unknown), changing the record as the decision requires. Returns the
// status.
uint8_t Decide(const HostConfig& host, const PasswordRequest& request,
               UserRecord* record) {
  if (record == nullptr) return kStatusBadUser;
  if (record->revoked) return kStatusSecurityFailure;
  auto fold = [&](const std::string& text) {
    return host.mixed_case_passwords ? text : UpperCase(text);
  };
  if (fold(request.current_password) != fold(record->password)) {
    if (record->failures < kMaxFailures) ++record->failures;
    if (host.revoke_after > 0 && record->failures >= host.revoke_after) {
      record->revoked = true;
    }
    record->changed = true;
    return kStatusBadPassword;
  }
  // A right password ends a row of failures, whatever follows.
  if (record->failures != 0) {
    record->failures = 0;
    record->changed = true;
  }
  if (request.request_id == kSignOnOnly && record->expired) {
    return kStatusExpired;
  }
  if (request.request_id == kSignOnAndChange) {
    std::string new_password = fold(request.new_password);
    bool refused =
        new_password.size() < static_cast<size_t>(host.min_password_length) ||
        new_password.size() > kMaxPasswordLength ||
        !AcceptablePasswordText(new_password, host.mixed_case_passwords) ||
        new_password == fold(record->password);
    size_t kept = static_cast<size_t>(host.password_history);
    for (size_t i = 0; i < record->history.size() && i < kept; ++i) {
      if (new_password == fold(record->history[i])) refused = true;
    }
    if (refused) return kStatusNewPasswordRefused;
    record->history.insert(record->history.begin(), fold(record->password));
    if (record->history.size() > kept) record->history.resize(kept);
    record->password = new_password;
    record->expired = false;
    record->changed = true;
  }
  return host.persistent_signon ? kStatusOk : kStatusOkNoPersistentSignon;
}

}  // namespace

bool AcceptablePasswordText(const std::string& password, bool mixed_case) {
  for (char c : password) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
              c == '#' || c == '$' || (mixed_case && c >= 'a' && c <= 'z');
    if (!ok) return false;
  }
  return true;
}

std::string AnswerPasswordRequest(const HostConfig& host,
                                  const unsigned char* request, size_t length) {
  PasswordRequest parsed;
  uint16_t format_error = ParsePasswordRequest(request, length, &parsed);
  if (format_error != kFormatOk) return Reply(kStatusFormatError, format_error);
  uint8_t status = kStatusSecurityFailure;
  std::string error;
  int rc = UpdateUserRecord(
      host.users, parsed.user,
      [&](UserRecord* record) {
        status = Decide(host, parsed, record);
        return record != nullptr && record->changed;
      },
      &error);
  if (rc != 0) {
    // The decision cannot stand when the database could not be read or the
    // change could not be kept.
    std::fprintf(stderr, "tarpon sna node: %s\n", error.c_str());
    std::fflush(stderr);
    status = kStatusSecurityFailure;
  }
  return Reply(status, 0);
}

}  // namespace sna
