// See alloc_hook.h.
#include "support/alloc_hook.h"

#include <atomic>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ALLOC_HOOK 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define ALLOC_HOOK 0
#endif
#endif
#ifndef ALLOC_HOOK
#define ALLOC_HOOK 1
#endif

namespace {

std::atomic<long> g_countdown{-1};
std::atomic<bool> g_failed{false};
std::atomic<long> g_live{0};

[[maybe_unused]] bool fail_now() {
    long n = g_countdown.load(std::memory_order_relaxed);
    if (n < 0)
        return false;
    g_countdown.store(n - 1, std::memory_order_relaxed);
    if (n != 0)
        return false;
    g_failed.store(true, std::memory_order_relaxed);
    return true;
}

} // namespace

bool alloc_hook_available() {
    return ALLOC_HOOK != 0;
}

void alloc_fail_at(long n) {
    g_failed = false;
    g_countdown = n;
}

bool alloc_disarm() {
    g_countdown = -1;
    return g_failed.exchange(false);
}

long alloc_live() {
    return g_live.load();
}

#if ALLOC_HOOK
extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t m);
void *__libc_realloc(void *p, size_t n);
void __libc_free(void *p);

void *malloc(size_t n) {
    if (fail_now())
        return nullptr;
    void *p = __libc_malloc(n);
    if (p)
        g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void *calloc(size_t n, size_t m) {
    if (fail_now())
        return nullptr;
    void *p = __libc_calloc(n, m);
    if (p)
        g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void *realloc(void *p, size_t n) {
    if (fail_now())
        return nullptr;
    void *q = __libc_realloc(p, n);
    if (!p && q)
        g_live.fetch_add(1, std::memory_order_relaxed);
    else if (p && !q && n == 0)
        g_live.fetch_sub(1, std::memory_order_relaxed);
    return q;
}

void free(void *p) {
    if (p)
        g_live.fetch_sub(1, std::memory_order_relaxed);
    __libc_free(p);
}
}
#endif
