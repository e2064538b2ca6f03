#ifndef TARPON_TESTS_STUB_SNA_STUB_SNA_H_
#define TARPON_TESTS_STUB_SNA_STUB_SNA_H_

// What the stub's CPI-C start-up answers; the emulated node never does.
constexpr int kStubStartupCode = 4242;

#endif  // TARPON_TESTS_STUB_SNA_STUB_SNA_H_
