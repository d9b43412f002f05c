// A count of every malloc/calloc/realloc in the program (operator new included, which goes
// through malloc), for benchmarks that report allocations per unit of work. Include it in one
// file of a benchmark program only: it defines the allocator's entry points. Under
// AddressSanitizer, whose allocator the count would bypass, it counts nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define VILMO_COUNT_ALLOCATIONS 0
#else
#define VILMO_COUNT_ALLOCATIONS 1
#endif

namespace bench_allocations {
inline std::uint64_t count = 0;
}  // namespace bench_allocations

#if VILMO_COUNT_ALLOCATIONS
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* malloc(std::size_t size) {
  ++bench_allocations::count;
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  ++bench_allocations::count;
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
  ++bench_allocations::count;
  return __libc_realloc(pointer, size);
}
}
#endif
