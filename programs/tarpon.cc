// tarpon: the local client. Changes a password at the host's password
// service over LU 6.2 (or reports the local change as unavailable); all the
// work is the engine's.
#include "engine/tarpon.h"

#include "engine/argument.h"
#include "trace/standard_streams.h"
#include "trace/trace.h"

namespace {

// The process exit status carries only 8 bits, while the engine's codes for
// host verdicts run above 255 (1020, 1024, 2000 + status) and would wrap,
// 1024 even to 0, a failure read as success. Codes that fit pass unchanged;
// 1020 and 1024 exit as 120 and 124, 2000 + s as 200 + s; any other code
// above 254 exits as 255.
int exit_status(int rc) {
  if (rc >= 0 && rc <= 255) return rc;
  if (rc == 1020 || rc == 1024) return rc - 900;
  if (rc > 2000 && rc < 2055) return rc - 1800;
  return 255;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  int rc = 0;
  unsigned int count = argc > 0 ? static_cast<unsigned int>(argc) : 0;
  // Taken out before the engine runs, so the trace covers the whole run.
  int traceRequested =
      Argument(&count, argv, "-ftrace", ARGUMENT_STYLE_FLAG, ARGUMENT_DELETE);
  {
    TraceScope scope("main(argv,argc)", &rc,
                     traceRequested == 1 ? TRACE_ON : TRACE_OFF);
    rc = mainline(static_cast<int>(count), argv);
  }
  return exit_status(rc);
}
