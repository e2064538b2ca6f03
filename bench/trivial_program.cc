// trivial_program: a C++ program that starts and exits, built and linked
// like tarpon (the same compiler flags and the C++ run-time library). Its
// wall time is the floor that tarpon's start-up is measured against.
#include <iostream>

int main() {
  std::cout << std::flush;
  return 0;
}
