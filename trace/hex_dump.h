#ifndef TARPON_TRACE_HEX_DUMP_H_
#define TARPON_TRACE_HEX_DUMP_H_

#include <cstdint>

// Writes "length" bytes to standard output as rows of sixteen upper-case hex
// bytes in four groups of four, each row headed by its offset ("10 : ...").
// The first row continues the caller's line; every later row starts with
// "indent" blanks. Nothing is flushed and no final line end is written
// unless the length is a multiple of 16. The output is assembled in a
// growing buffer, so any length is safe.
// Returns 0, or HEX_DUMP_BAD_INDENT (nothing written) when indent is 0 or
// less.
constexpr int HEX_DUMP_BAD_INDENT = 18;
int print_hex(const unsigned char* data, int32_t length, int32_t indent);

#endif  // TARPON_TRACE_HEX_DUMP_H_
