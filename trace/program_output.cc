#include "trace/program_output.h"

#include <iostream>

namespace {

// This thread's output stream while a ProgramOutputRedirect lives, else
// null.
__thread std::ostream* thread_output = nullptr;

}  // namespace

std::ostream& program_output() {
  return thread_output != nullptr ? *thread_output : std::cout;
}

ProgramOutputRedirect::ProgramOutputRedirect(std::ostream& stream)
    : saved_(thread_output) {
  thread_output = &stream;
}

ProgramOutputRedirect::~ProgramOutputRedirect() { thread_output = saved_; }

void CopyCapturedText(const std::string& text, char* dest, int32_t size) {
  if (dest == nullptr || size < 1) return;
  size_t count = text.size() < static_cast<size_t>(size - 1)
                     ? text.size()
                     : static_cast<size_t>(size - 1);
  text.copy(dest, count);
  dest[count] = '\0';
}
