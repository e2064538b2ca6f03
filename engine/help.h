// The help texts, the control-block dump and the log record.
#ifndef TARPON_ENGINE_HELP_H_
#define TARPON_ENGINE_HELP_H_

#include <cstdint>

#include "engine/ccb.h"

// shortOnly 1: the short usage; 0: the short usage and the full page.
void print_program_man_page(uint8_t shortOnly);

// --help: the short usage, then the switches and settings it leaves out,
// on standard output, without the SNA node. The exit status: 0, or 1 when
// standard output could not take the text.
int print_help_without_node();

// The labelled dump of the block on standard output, when ccb->verbose.
void print_CCB(CCB_PTR ccb);

// "user(...) @host(...) " on the log stream, no line end, when ccb is not
// null and ccb->logRequested.
void write_log_record(CCB_PTR ccb);

#endif  // TARPON_ENGINE_HELP_H_
