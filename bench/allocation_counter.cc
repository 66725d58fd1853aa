#include "bench/allocation_counter.h"

#include <errno.h>
#include <execinfo.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

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
bool gTracing = false;
bool gInTrace = false;
AllocationCount gCount;

void noteAllocation(size_t size) {
  if (!gCounting) return;
  ++gCount.calls;
  gCount.bytes += size;
  if (!gTracing || gInTrace) return;
  gInTrace = true;  // backtrace() itself may allocate on its first call
  void* frames[24];
  const int depth = backtrace(frames, 24);
  static const char kHeader[] = "--- allocation\n";
  [[maybe_unused]] ssize_t written = write(STDERR_FILENO, kHeader, sizeof kHeader - 1);
  backtrace_symbols_fd(frames + 1, depth - 1, STDERR_FILENO);
  gInTrace = false;
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

void setTracing(bool on) {
  if (on) {
    // Loads what backtrace() needs before anything is counted.
    void* frames[2];
    backtrace(frames, 2);
  }
  gTracing = on;
}

}  // namespace AllocationCounter

PauseCounting::PauseCounting() : wasCounting_(gCounting) { gCounting = false; }

PauseCounting::~PauseCounting() { gCounting = wasCounting_; }

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
