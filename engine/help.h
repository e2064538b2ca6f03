// The help texts, the control-block dump and the log record.
#ifndef TARPON_ENGINE_HELP_H_
#define TARPON_ENGINE_HELP_H_

#include <cstdint>

#include "engine/ccb.h"

// shortOnly 1: the short usage; 0: the short usage and the full page.
void print_program_man_page(uint8_t shortOnly);

// The labelled dump of the block on standard output, when ccb->verbose.
void print_CCB(CCB_PTR ccb);

// "user(...) @host(...) " on the log stream, no line end, when ccb is not
// null and ccb->logRequested.
void write_log_record(CCB_PTR ccb);

#endif  // TARPON_ENGINE_HELP_H_
