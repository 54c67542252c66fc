// Replaces malloc, calloc and realloc of the test program with forwarders to
// the C library that can be told to fail once. Sanitizers bring their own
// allocator, so there the hooks are left out and the tests that need them skip.
#include "alloc_fail.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NIMBUS_NO_ALLOC_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define NIMBUS_NO_ALLOC_HOOK 1
#endif
#endif

namespace {
std::atomic<int> g_countdown{-1};
} // namespace

#ifndef NIMBUS_NO_ALLOC_HOOK

extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t n);
}

namespace {
// True when this allocation is the one to fail.
bool fail_now() {
    int c = g_countdown.load(std::memory_order_relaxed);
    while (c >= 0) {
        if (g_countdown.compare_exchange_weak(c, c - 1, std::memory_order_relaxed))
            return c == 0;
    }
    return false;
}
} // namespace

extern "C" void *malloc(size_t n) {
    return fail_now() ? nullptr : __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
    return fail_now() ? nullptr : __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
    return fail_now() ? nullptr : __libc_realloc(p, n);
}

bool alloc_fail_supported() {
    return true;
}

#else

bool alloc_fail_supported() {
    return false;
}

#endif

void alloc_fail_after(int n) {
    g_countdown.store(n);
}
void alloc_fail_off() {
    g_countdown.store(-1);
}
