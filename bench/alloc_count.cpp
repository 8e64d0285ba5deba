// Replaced allocator entry points that forward to the C library's own and
// count. Single-threaded benchmarks: a relaxed atomic keeps it exact anyway.
#include "alloc_count.h"

#include <stddef.h>

#include <atomic>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
}

namespace {
std::atomic<uint64_t> allocations{0};
}

extern "C" void *malloc(size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

extern "C" void *realloc(void *pointer, size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(pointer, size);
}

uint64_t kep::bench::AllocationCount() { return allocations.load(std::memory_order_relaxed); }
