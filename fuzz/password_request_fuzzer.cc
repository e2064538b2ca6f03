// The emulated host's request parser on fuzzed bytes: the conversation
// hands it whatever a partner sent (up to 4096 bytes). A request it accepts
// must hold what the host relies on afterwards.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "sna/password_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Parse from an exact-size copy so that a read past the end is caught
  // even for inputs that libFuzzer keeps in a larger block.
  unsigned char* bytes = new unsigned char[size];
  for (size_t i = 0; i < size; ++i) bytes[i] = data[i];
  sna::PasswordRequest request;
  uint16_t code = sna::ParsePasswordRequest(bytes, size, &request);
  delete[] bytes;

  switch (code) {
    case sna::kFormatOk:
    case sna::kFormatMissingField:
    case sna::kFormatFieldNotAllowed:
    case sna::kFormatDuplicateField:
    case sna::kFormatUnknownId:
    case sna::kFormatBadFieldLength:
    case sna::kFormatLengthMismatch:
    case sna::kFormatBadRequestId:
      break;
    default:
      FUZZ_CHECK(!"a formatting error code that the parser does not define");
  }
  if (code != sna::kFormatOk) return 0;

  // An accepted request balances and carries 1 to 8 bytes in each field.
  FUZZ_CHECK(size >= 8 && size <= 0xFFFF);
  FUZZ_CHECK(((data[0] << 8) | data[1]) == static_cast<int>(size));
  FUZZ_CHECK(((data[2] << 8) | data[3]) == 0x1221);
  FUZZ_CHECK(request.request_id == sna::kSignOnAndChange ||
             request.request_id == sna::kSignOnOnly);
  FUZZ_CHECK(!request.user.empty() && request.user.size() <= 8);
  FUZZ_CHECK(!request.current_password.empty() &&
             request.current_password.size() <= 8);
  FUZZ_CHECK(request.has_new_password ==
             (request.request_id == sna::kSignOnAndChange));
  if (request.has_new_password) {
    FUZZ_CHECK(!request.new_password.empty() &&
               request.new_password.size() <= 8);
  } else {
    FUZZ_CHECK(request.new_password.empty());
  }
  return 0;
}
