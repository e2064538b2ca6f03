#include "trace/hex_dump.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "trace/trace.h"

int print_hex(const unsigned char* data, int32_t length, int32_t indent) {
  int rc = 0;
  TraceScope scope("print_hex()", &rc, TRACE_OFF);
  if (indent <= 0) {
    rc = 18;
    return rc;
  }
  const std::string indentation(static_cast<size_t>(indent), ' ');
  std::string text;
  char scratch[100];
  for (int32_t i = 0; i < length; ++i) {
    int column = i % 16;
    if (column == 0) {
      uint16_t row = static_cast<uint16_t>(i - column);
      std::snprintf(scratch, sizeof scratch, "%2.2X : ", row);
      text += scratch;
    }
    std::snprintf(scratch, sizeof scratch, "%2.2X", data[i]);
    text += scratch;
    if (column == 3 || column == 7 || column == 11) text += ' ';
    if (column == 15) {
      text += '\n';
      text += indentation;
    }
  }
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  return rc;
}
