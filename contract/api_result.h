#ifndef TARPON_CONTRACT_API_RESULT_H_
#define TARPON_CONTRACT_API_RESULT_H_

#include <cstdint>

// The caller's record for the capturing entry points of the engine and of
// the gateway client.
struct ApiResult {
  int32_t returnCode;  // receives the return code
  int32_t textSize;    // size of text; at least 1 when text is given
  char* text;          // receives the captured standard output, or null
};

#endif  // TARPON_CONTRACT_API_RESULT_H_
