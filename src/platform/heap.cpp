#include "platform/heap.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

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

namespace {

// Large blocks (the records and object lists of noisy volumes, working
// arrays, volumes) are asked for transparent huge pages where the kernel
// gives them on request, as numpy does for its arrays: touching fresh memory
// costs a page fault per 4 KiB page otherwise, which on virtual machines can
// cost more than the work done in the block.  Advice only: nothing changes
// where it is not taken.
void prefer_large_pages(void* block, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kLarge = std::size_t{4} << 20;
    if (block == nullptr || bytes < kLarge) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t begin = (start + page - 1) / page * page;
    const std::uintptr_t end = (start + bytes) / page * page;
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace

void* heap_alloc(std::size_t bytes) {
    if (should_fail()) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // A large block starts on a huge page's boundary: the kernel backs only
    // whole aligned 2 MiB stretches with one, and a block's first writes,
    // which would otherwise land before the first boundary, then fault in
    // all at once rather than in small pages.
    constexpr std::size_t kLarge = std::size_t{4} << 20, kHugePage = std::size_t{2} << 20;
    if (bytes >= kLarge) {
        void* aligned = nullptr;
        if (::posix_memalign(&aligned, kHugePage, bytes) != 0) return nullptr;
        prefer_large_pages(aligned, bytes);
        return aligned;
    }
#endif
    void* block = std::malloc(bytes);
    prefer_large_pages(block, bytes);
    return block;
}

void* heap_alloc_zeroed(std::size_t bytes) {
    if (should_fail()) return nullptr;
    void* block = std::calloc(bytes, 1);
    prefer_large_pages(block, bytes);
    return block;
}

void* heap_realloc(void* block, std::size_t bytes) {
    if (should_fail()) return nullptr;
    void* grown = std::realloc(block, bytes);
    prefer_large_pages(grown, bytes);
    return grown;
}

void heap_free(void* block) { std::free(block); }

}  // namespace img3d::detail
