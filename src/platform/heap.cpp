#include "platform/heap.h"

#include <cstdlib>

namespace img3d::detail {

#ifdef IMG3D_FAULT_INJECTION
namespace {
long g_countdown = 0;
long g_allocations = 0;

bool should_fail() {
    ++g_allocations;
    if (g_countdown > 0 && --g_countdown == 0) return true;
    return false;
}
}  // namespace

void heap_fail_at(long n) { g_countdown = n; }
long heap_allocations() { return g_allocations; }
#else
namespace {
constexpr bool should_fail() { return false; }
}  // namespace
#endif

void* heap_alloc(std::size_t bytes) {
    if (should_fail()) return nullptr;
    return std::malloc(bytes);
}

void* heap_alloc_zeroed(std::size_t bytes) {
    if (should_fail()) return nullptr;
    return std::calloc(bytes, 1);
}

void* heap_realloc(void* block, std::size_t bytes) {
    if (should_fail()) return nullptr;
    return std::realloc(block, bytes);
}

void heap_free(void* block) { std::free(block); }

}  // namespace img3d::detail
