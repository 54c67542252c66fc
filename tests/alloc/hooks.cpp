// Replaces the malloc family of the process with forwarders to the C
// library's own entry points (__libc_malloc and friends). The executable
// defines these names, so the shared library and yyjson bind to them too.
//
// Nothing here may allocate through the hooked functions: the bookkeeping
// table is taken from __libc_calloc and guarded by a spin lock.
#include "hooks.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <execinfo.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t n);
void __libc_free(void *p);
void *__libc_memalign(size_t align, size_t n);
}

namespace {

thread_local bool t_track;

std::atomic<bool> g_armed{false};
std::atomic<long> g_countdown{0};
std::atomic<long> g_counted{0};
std::atomic<bool> g_fired{false};

// Open-addressing set of the live tracked pointers: 0 is a free slot, 1 a
// deleted one.
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
uintptr_t *g_tab;
size_t g_cap, g_used, g_dead;

constexpr uintptr_t FREE_SLOT = 0, DEAD_SLOT = 1;

struct spin {
    spin() {
        while (g_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~spin() { g_lock.clear(std::memory_order_release); }
};

size_t home(uintptr_t p, size_t cap) {
    return static_cast<size_t>(((p >> 4) * 0x9E3779B97F4A7C15ull) >> 17) & (cap - 1);
}

void place(uintptr_t *tab, size_t cap, uintptr_t p) {
    size_t i = home(p, cap);
    while (tab[i] != FREE_SLOT && tab[i] != DEAD_SLOT)
        i = (i + 1) & (cap - 1);
    tab[i] = p;
}

// Rebuilds the table (with the lock held) when it is missing or more than
// half full, counting deleted slots.
bool make_room() {
    if (g_tab && (g_used + g_dead + 1) * 2 <= g_cap)
        return true;
    size_t cap = g_cap ? g_cap : (size_t{1} << 16);
    while ((g_used + 1) * 4 > cap)
        cap *= 2;
    auto *tab = static_cast<uintptr_t *>(__libc_calloc(cap, sizeof(uintptr_t)));
    if (!tab)
        return false;
    for (size_t i = 0; i < g_cap; i++)
        if (g_tab[i] != FREE_SLOT && g_tab[i] != DEAD_SLOT)
            place(tab, cap, g_tab[i]);
    __libc_free(g_tab);
    g_tab = tab;
    g_cap = cap;
    g_dead = 0;
    return true;
}

void remember(void *ptr) {
    if (!ptr)
        return;
    spin s;
    if (!make_room())
        std::abort();
    place(g_tab, g_cap, reinterpret_cast<uintptr_t>(ptr));
    g_used++;
}

// Forgets ptr; true when it was a tracked allocation.
bool forget(void *ptr) {
    auto p = reinterpret_cast<uintptr_t>(ptr);
    spin s;
    if (!g_tab)
        return false;
    for (size_t i = home(p, g_cap);; i = (i + 1) & (g_cap - 1)) {
        if (g_tab[i] == FREE_SLOT)
            return false;
        if (g_tab[i] == p) {
            g_tab[i] = DEAD_SLOT;
            g_used--;
            g_dead++;
            return true;
        }
    }
}

std::atomic<bool> g_trace{false};

// Counts one allocation of a tracked thread; true when it is the one to fail.
bool fail_now() {
    if (!t_track || !g_armed.load(std::memory_order_acquire))
        return false;
    g_counted.fetch_add(1);
    if (g_countdown.fetch_sub(1) == 1) {
        g_fired.store(true);
        if (g_trace.load()) {
            void *frames[24];
            int n = backtrace(frames, 24);
            backtrace_symbols_fd(frames, n, 2);
        }
        return true;
    }
    return false;
}

void *aligned(size_t align, size_t n) {
    if (fail_now())
        return nullptr;
    void *p = __libc_memalign(align, n);
    if (t_track)
        remember(p);
    return p;
}

} // namespace

extern "C" {

void *malloc(size_t n) noexcept {
    if (fail_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = __libc_malloc(n);
    if (t_track)
        remember(p);
    return p;
}

void *calloc(size_t n, size_t size) noexcept {
    if (fail_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = __libc_calloc(n, size);
    if (t_track)
        remember(p);
    return p;
}

void free(void *p) noexcept {
    if (!p)
        return;
    forget(p);
    __libc_free(p);
}

void *realloc(void *p, size_t n) noexcept {
    if (!p)
        return malloc(n);
    if (n == 0) {
        free(p);
        return nullptr;
    }
    if (fail_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    bool tracked = forget(p);
    void *q = __libc_realloc(p, n);
    if (!q) {
        if (tracked)
            remember(p);
        return nullptr;
    }
    if (tracked || t_track)
        remember(q);
    return q;
}

void *reallocarray(void *p, size_t n, size_t size) noexcept {
    size_t total;
    if (__builtin_mul_overflow(n, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(p, total);
}

void *memalign(size_t align, size_t n) noexcept {
    void *p = aligned(align, n);
    if (!p)
        errno = ENOMEM;
    return p;
}

void *aligned_alloc(size_t align, size_t n) noexcept {
    return memalign(align, n);
}

int posix_memalign(void **out, size_t align, size_t n) noexcept {
    if (align < sizeof(void *) || (align & (align - 1)) != 0)
        return EINVAL;
    void *p = aligned(align, n);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(size_t n) noexcept {
    return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), n);
}

} // extern "C"

namespace hooks {

void track_thread(bool on) {
    t_track = on;
}

void trace_failures(bool on) {
    if (on) {
        // The first call loads the unwinder, which allocates: not later.
        void *frames[2];
        backtrace(frames, 2);
    }
    g_trace.store(on);
}

void arm(long n) {
    g_counted.store(0);
    g_fired.store(false);
    g_countdown.store(n);
    g_armed.store(true, std::memory_order_release);
}

long disarm() {
    g_armed.store(false, std::memory_order_release);
    g_countdown.store(0);
    return g_counted.load();
}

bool fired() {
    return g_fired.load();
}

size_t live() {
    spin s;
    return g_used;
}

size_t live_blocks(void **out, size_t max) {
    spin s;
    size_t k = 0;
    for (size_t i = 0; i < g_cap && k < max; i++)
        if (g_tab[i] != FREE_SLOT && g_tab[i] != DEAD_SLOT)
            out[k++] = reinterpret_cast<void *>(g_tab[i]);
    return k;
}

quiet::quiet() : was_(t_track) {
    t_track = false;
}
quiet::~quiet() {
    t_track = was_;
}

} // namespace hooks
