// Counts the heap allocations of the benchmark process: malloc, calloc and
// realloc are replaced in the benchmark binary (operator new goes through
// malloc), so allocations made by kep and by the platform libraries count too.
#pragma once

#include <stdint.h>

namespace kep::bench {

// Allocations made so far by this process.
uint64_t AllocationCount();

}  // namespace kep::bench
