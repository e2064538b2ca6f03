# Included by the top-level CMakeLists.txt when TARPON_FUZZ is on, before any
# library is defined: every library is built with libFuzzer's coverage
# instrumentation and with AddressSanitizer and UndefinedBehaviorSanitizer,
# so that a fault in the code under test stops the fuzzer.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR
    "TARPON_FUZZ needs clang: configure with CC=clang CXX=clang++")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                    -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
