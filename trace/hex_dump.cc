#include "trace/hex_dump.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

constexpr int32_t kBytesPerRow = 16;
constexpr int32_t kBytesPerGroup = 4;

}  // namespace

int print_hex(const unsigned char* data, int32_t length, int32_t indent) {
  int rc = 0;
  TraceScope scope("print_hex()", &rc, TRACE_OFF);
  if (indent <= 0) {
    rc = HEX_DUMP_BAD_INDENT;
    return rc;
  }
  const std::string indentation(static_cast<size_t>(indent), ' ');
  std::string text;
  char scratch[100];
  for (int32_t i = 0; i < length; ++i) {
    int32_t column = i % kBytesPerRow;
    if (column == 0) {
      uint16_t row = static_cast<uint16_t>(i - column);
      std::snprintf(scratch, sizeof scratch, "%2.2X : ", row);
      text += scratch;
    }
    std::snprintf(scratch, sizeof scratch, "%2.2X", data[i]);
    text += scratch;
    const bool lastOfRow = column == kBytesPerRow - 1;
    if (!lastOfRow && column % kBytesPerGroup == kBytesPerGroup - 1) {
      text += ' ';
    }
    if (lastOfRow) {
      text += '\n';
      text += indentation;
    }
  }
  program_output().write(text.data(),
                         static_cast<std::streamsize>(text.size()));
  return rc;
}
