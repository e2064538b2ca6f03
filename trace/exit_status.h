// The process exit status for an engine return code. An exit status holds
// only 8 bits, and the codes for host verdicts (1020, 1024, 2000 + status)
// would wrap, 1024 even to 0, a failure read as success. So they are mapped:
// 1020 exits as 120, 1024 as 124, 2000 + s (s from 1 to 54) as 200 + s, and any
// other code outside 0 to 255 as 255. tarpon and tarponrc both exit through it,
// so that scripts see one set of statuses from either client.
#ifndef TARPON_TRACE_EXIT_STATUS_H_
#define TARPON_TRACE_EXIT_STATUS_H_

inline int tarpon_exit_status(int returnCode) {
  if (returnCode >= 0 && returnCode <= 255) return returnCode;
  if (returnCode == 1020 || returnCode == 1024) return returnCode - 900;
  if (returnCode > 2000 && returnCode < 2055) return returnCode - 1800;
  return 255;
}

#endif  // TARPON_TRACE_EXIT_STATUS_H_
