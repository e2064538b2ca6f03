// The engine's public return codes and the exit status they map to,
// shared by the engine, the gateway and the remote client.
#ifndef TARPON_CONTRACT_TARPON_RC_H_
#define TARPON_CONTRACT_TARPON_RC_H_

// The engine's return codes. Every entry point of engine/tarpon.h returns
// one of them; tarpon exits with it (mapped into 8 bits) and the gateway
// sends it back.
//   OK                   the password was changed
//   INFORMATION          help or product information printed, or arguments
//                        that no option took
//   NODE_NOT_STARTED     the SNA node did not start
//   BAD_OPTION           a bad, missing or conflicting option, or a value
//                        too long
//   NO_PASSWORD          a password missing and not asked for, or the typed
//                        entry refused
//   SNA_CALL_FAILED      a CPI-C or APPC call failed
//   NO_CONTROL_BLOCK     the control block could not be set up
//   CONVERSION_FAILED    ASCII to EBCDIC conversion failed
//   LOCAL_UNAVAILABLE    the local password change is not available
//   ACCOUNT_HELD         the gateway held the change back without asking
//                        the host: this user ID has had too many failed
//                        sign-ons at this destination lately (the text is
//                        AccountHeldText of contract/account_held.h)
//   NEW_PASSWORD_COMMON  the gateway refused the new password without
//                        asking the host: it is on a list of common
//                        passwords, or a run or a sequence (AAAAAAAA,
//                        12345678, QWERTYUI)
//   NEW_PASSWORD_CONTEXT the gateway refused the new password without
//                        asking the host: it contains the user ID, a name
//                        of the destination or of the service, or a word
//                        the site does not allow
//   HOST_FORMAT_ERROR    the host refused the request as badly formatted
//   HOST_REPLY_UNUSABLE  the host's reply was unusable
//   HOST_STATUS_BASE     plus the host's status s: the host refused the
//                        change (2001 unknown user, 2002 wrong password...)
constexpr int TARPON_RC_OK = 0;
constexpr int TARPON_RC_INFORMATION = 4;
constexpr int TARPON_RC_NODE_NOT_STARTED = 8;
constexpr int TARPON_RC_BAD_OPTION = 14;
constexpr int TARPON_RC_NO_PASSWORD = 15;
constexpr int TARPON_RC_SNA_CALL_FAILED = 17;
constexpr int TARPON_RC_NO_CONTROL_BLOCK = 18;
constexpr int TARPON_RC_CONVERSION_FAILED = 19;
constexpr int TARPON_RC_LOCAL_UNAVAILABLE = 21;
constexpr int TARPON_RC_ACCOUNT_HELD = 30;
constexpr int TARPON_RC_NEW_PASSWORD_COMMON = 31;
constexpr int TARPON_RC_NEW_PASSWORD_CONTEXT = 32;
constexpr int TARPON_RC_HOST_FORMAT_ERROR = 1020;
constexpr int TARPON_RC_HOST_REPLY_UNUSABLE = 1024;
constexpr int TARPON_RC_HOST_STATUS_BASE = 2000;

// The process exit status for an engine return code. An exit status carries
// only 8 bits, while the codes for host verdicts run above 255 and would
// wrap, 1024 even to 0, a failure read as success. Codes 0 to 255 pass
// unchanged; HOST_FORMAT_ERROR exits as 120, HOST_REPLY_UNUSABLE as 124,
// HOST_STATUS_BASE + s as 200 + s (s from 1 to 54); any other code as 255.
constexpr int tarpon_exit_status(int rc) {
  constexpr int kLargest = 255;
  constexpr int kHostStatusExitBase = 200;
  constexpr int kLargestHostStatus = kLargest - kHostStatusExitBase - 1;
  if (rc >= 0 && rc <= kLargest) return rc;
  if (rc == TARPON_RC_HOST_FORMAT_ERROR) return 120;
  if (rc == TARPON_RC_HOST_REPLY_UNUSABLE) return 124;
  int status = rc - TARPON_RC_HOST_STATUS_BASE;
  if (status >= 1 && status <= kLargestHostStatus) {
    return kHostStatusExitBase + status;
  }
  return kLargest;
}

#endif  // TARPON_CONTRACT_TARPON_RC_H_
