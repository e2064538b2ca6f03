// Start-up guard every program calls first in main.
#ifndef TARPON_TRACE_STANDARD_STREAMS_H_
#define TARPON_TRACE_STANDARD_STREAMS_H_

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no socket or file opened later takes one of their numbers (a socket as
// descriptor 1 would receive the engine's diagnostics). Then ignores
// SIGPIPE: a reader of standard output or error that went away makes the
// write fail instead of ending the process. Returns false when a closed
// descriptor could not be opened.
bool PrepareStandardStreams();

#endif  // TARPON_TRACE_STANDARD_STREAMS_H_
