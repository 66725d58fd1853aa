#include "bench/allocation_counter.h"

#include <errno.h>
#include <malloc.h>
#include <stdlib.h>

#include <cstddef>

// glibc's allocator under its own names.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace veldane::bench {
namespace {

// One benchmark thread: plain flags and counters suffice.
bool gCounting = false;
AllocationCount gCount;

void noteAllocation(size_t size) {
  if (!gCounting) return;
  ++gCount.calls;
  gCount.bytes += size;
}

}  // namespace

namespace AllocationCounter {

void start() {
  gCount = {};
  gCounting = true;
}

AllocationCount stop() {
  gCounting = false;
  return gCount;
}

}  // namespace AllocationCounter

}  // namespace veldane::bench

using veldane::bench::noteAllocation;

extern "C" {

void* malloc(size_t size) noexcept {
  noteAllocation(size);
  return __libc_malloc(size);
}

void free(void* pointer) noexcept { __libc_free(pointer); }

void* calloc(size_t count, size_t size) noexcept {
  noteAllocation(count * size);
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
  noteAllocation(size);
  return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
  noteAllocation(size);
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  noteAllocation(size);
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  noteAllocation(size);
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}

}  // extern "C"
