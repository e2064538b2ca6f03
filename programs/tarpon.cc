// tarpon: the local client. Changes a password at the host's password
// service over LU 6.2 (or reports the local change as unavailable); all the
// work is the engine's.
#include "engine/tarpon.h"

#include "engine/argument.h"
#include "engine/help.h"
#include "trace/standard_streams.h"
#include "trace/trace.h"
#include "version.h"

int main(int argc, char** argv) {
  if (IsVersionRequest(argc, argv)) return PrintVersion("tarpon");
  if (IsHelpRequest(argc, argv)) return print_help_without_node();
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
  return tarpon_exit_status(rc);
}
