// The text of a system error number, safe on any thread (std::strerror
// may share one buffer between threads).
#ifndef TARPON_CONTRACT_ERROR_TEXT_H_
#define TARPON_CONTRACT_ERROR_TEXT_H_

#include <string.h>

#include <string>

namespace error_text_detail {
// strerror_r returns the text (GNU) or 0 after filling the buffer (XSI).
inline const char* Result(const char* text, const char*) { return text; }
inline const char* Result(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}
}  // namespace error_text_detail

inline std::string ErrorText(int error) {
  char buffer[256] = "";
  return error_text_detail::Result(strerror_r(error, buffer, sizeof buffer),
                                   buffer);
}

#endif  // TARPON_CONTRACT_ERROR_TEXT_H_
