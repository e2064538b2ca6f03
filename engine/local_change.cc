#include "engine/local_change.h"

#include "engine/status.h"
#include "engine/tarpon.h"
#include "trace/trace.h"

const char* const PASSWORD_EXIT_VARIABLE = "TARPON_PASSWORD_EXIT";
const char* const PASSWORD_EXIT_PROGRAM = " tarponcp";

namespace {

constexpr int kExitFunctionNotSupported = 16;

}  // namespace

int change_local_password(CCB_PTR) {
  // The exit path reports its result as a 16-bit code.
  short result = 0;
  TraceScope scope("change_local_password(CCB_PTR)", &result, TRACE_OFF);
  report_status("change_local_password(CCB_PTR)", KSV_PRODUCT_BANNER,
                STATUS_EXIT_RETURN_CODE, static_cast<const char*>(nullptr),
                kExitFunctionNotSupported);
  result = TARPON_RC_LOCAL_UNAVAILABLE;
  return result;
}
