// The library's one door to the runtime heap.
//
// Every block the library allocates goes through here, so that a test build
// can make a chosen allocation fail and walk each failure path.  Blocks come
// from malloc/calloc/realloc (large ones on Linux from posix_memalign), so a
// host may release records and object lists with free().
#pragma once

#include <cstddef>

namespace img3d::detail {

void* heap_alloc(std::size_t bytes);
void* heap_alloc_zeroed(std::size_t bytes);
void* heap_realloc(void* block, std::size_t bytes);
void heap_free(void* block);

#ifdef IMG3D_FAULT_INJECTION
// Test builds only: the n-th allocation from now (1 = the next one) returns
// null; 0 disarms.  heap_allocations() counts allocation requests made so far.
void heap_fail_at(long n);
long heap_allocations();
#endif

}  // namespace img3d::detail
