// The password-change request and reply: one GDS variable X'1221' each way.
#ifndef TARPON_ENGINE_KSV_REQUEST_H_
#define TARPON_ENGINE_KSV_REQUEST_H_

#include <cstdint>

#include "engine/ccb.h"

// Builds the request from three NUL-terminated values of at most 8
// characters into buffer (38 bytes); *length receives its total length.
// Returns 0.
int build_request(const char* user, const char* oldPassword,
                  const char* newPassword, unsigned char* buffer,
                  uint32_t* length);

// Checks the reply in ccb->replyBuffer (ccb->replyLength bytes), reports the
// outcome and returns 0, 1020, 1024 or 2000 + the host status.
int process_reply(CCB_PTR ccb);

#endif  // TARPON_ENGINE_KSV_REQUEST_H_
