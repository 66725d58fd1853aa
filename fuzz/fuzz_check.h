#ifndef VELDANE_FUZZ_FUZZ_CHECK_H_
#define VELDANE_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

// Aborts with the failed condition: libFuzzer then saves the input, and the
// replay program fails its test.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

#endif  // VELDANE_FUZZ_FUZZ_CHECK_H_
