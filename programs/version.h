// --version and --help for the programs' mains: checked before anything
// else; --version only when it is the sole argument, so that every other
// command line reaches the program unchanged.
#ifndef TARPON_PROGRAMS_VERSION_H_
#define TARPON_PROGRAMS_VERSION_H_

#include <cstdio>
#include <cstring>

// programs/CMakeLists.txt sets it to the project's version.
#ifndef TARPON_VERSION
#error "TARPON_VERSION is not defined"
#endif

// True when the command line is "program --version".
inline bool IsVersionRequest(int argc, char** argv) {
  return argc == 2 && std::strcmp(argv[1], "--version") == 0;
}

// True when an argument is "--help": the program prints its usage and
// exits 0, needing nothing else (no SNA node, no gateway).
inline bool IsHelpRequest(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) return true;
  }
  return false;
}

// Prints "<program> <version>" on standard output; the exit status: 0, or
// 1 when standard output could not take the line.
inline int PrintVersion(const char* program) {
  bool written = std::printf("%s %s\n", program, TARPON_VERSION) > 0;
  return written && std::fflush(stdout) == 0 ? 0 : 1;
}

#endif  // TARPON_PROGRAMS_VERSION_H_
