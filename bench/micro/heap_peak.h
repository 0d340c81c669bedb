// Peak heap use over one call, for the benchmark programs: this program's
// malloc family wraps glibc's and, while armed, keeps the bytes in use (the
// library's blocks come from the same malloc).  Include it in one source
// file of a program.  IMG3D_BENCH_PEAK is 1 where it works (glibc).
#pragma once

#include <cstddef>

#if defined(__GLIBC__)
#include <malloc.h>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace {
bool g_counting = false;
long long g_in_use = 0;
long long g_peak = 0;

void count(long long delta) {
    g_in_use += delta;
    if (g_in_use > g_peak) g_peak = g_in_use;
}
}  // namespace

extern "C" {
void* malloc(std::size_t bytes) {
    void* p = __libc_malloc(bytes);
    if (g_counting && p) count(static_cast<long long>(malloc_usable_size(p)));
    return p;
}
void* calloc(std::size_t n, std::size_t size) {
    void* p = __libc_calloc(n, size);
    if (g_counting && p) count(static_cast<long long>(malloc_usable_size(p)));
    return p;
}
void* realloc(void* old, std::size_t bytes) {
    const long long before =
        g_counting && old ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void* p = __libc_realloc(old, bytes);
    if (g_counting && (p || bytes == 0))
        count((p ? static_cast<long long>(malloc_usable_size(p)) : 0) - before);
    return p;
}
void free(void* p) {
    if (g_counting && p) count(-static_cast<long long>(malloc_usable_size(p)));
    __libc_free(p);
}
}
#define IMG3D_BENCH_PEAK 1
#endif

namespace bench {

// The peak heap use of call(), in MiB, 0 where it cannot be measured.
template <class Call>
double peak_heap_mib(Call call) {
#if IMG3D_BENCH_PEAK
    g_in_use = g_peak = 0;
    g_counting = true;
    call();
    g_counting = false;
    return static_cast<double>(g_peak) / (1 << 20);
#else
    call();
    return 0;
#endif
}

}  // namespace bench
