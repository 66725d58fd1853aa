#ifndef VELDANE_BENCH_ALLOCATION_COUNTER_H_
#define VELDANE_BENCH_ALLOCATION_COUNTER_H_

#include <cstdint>

namespace veldane::bench {

// Counts the heap allocations of the whole process (malloc, calloc, realloc
// and the aligned forms, so operator new and the C libraries too) while
// counting is on. Linked into a benchmark, it replaces glibc's malloc entry
// points and forwards to glibc's own allocator.
struct AllocationCount {
  uint64_t calls = 0;
  uint64_t bytes = 0;
};

namespace AllocationCounter {

void start();
AllocationCount stop();

}  // namespace AllocationCounter

}  // namespace veldane::bench

#endif  // VELDANE_BENCH_ALLOCATION_COUNTER_H_
