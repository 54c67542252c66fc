// The small platform layer (clock and random device) and bounded messages.
// A port to another system swaps the bodies here.
#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "text/text.h"

namespace {

std::atomic<const char *> g_random_device{"/dev/urandom"};

// Per-thread texts live in plain pointers: a thread_local with a destructor
// registers it on first use, and glibc aborts the process when that
// registration cannot allocate. One pthread key releases every slot instead;
// its value is set without allocating, and if that ever fails the thread only
// keeps its texts until it ends.
thread_local char *t_slots[NIMBUS_TLS_COUNT];
thread_local bool t_armed;
pthread_once_t g_key_once = PTHREAD_ONCE_INIT;
pthread_key_t g_key;
bool g_key_made;

void release_slots(void *) {
    for (char *&text : t_slots) {
        std::free(text);
        text = nullptr;
    }
    t_armed = false;
}

void make_key() {
    g_key_made = pthread_key_create(&g_key, release_slots) == 0;
}

void arm_thread() {
    if (t_armed)
        return;
    pthread_once(&g_key_once, make_key);
    // Any non-null value makes the key's destructor run at thread end.
    if (g_key_made && pthread_setspecific(g_key, &t_armed) == 0)
        t_armed = true;
}

} // namespace

char *nimbus_tls_set(nimbus_tls_slot slot, char *fresh) {
    arm_thread();
    std::free(t_slots[slot]);
    t_slots[slot] = fresh;
    return fresh;
}

const char *nimbus_tls_get(nimbus_tls_slot slot) {
    return t_slots[slot];
}

int64_t nimbus_now() {
    return static_cast<int64_t>(std::time(nullptr));
}

int nimbus_random_bytes(void *out, size_t n) {
    if (out == nullptr && n > 0)
        return -1;
    std::FILE *f = std::fopen(g_random_device.load(std::memory_order_relaxed), "rb");
    if (f == nullptr)
        return -1;
    // Unbuffered: read exactly the bytes asked for, not a whole stdio block.
    std::setvbuf(f, nullptr, _IONBF, 0);
    size_t got = n > 0 ? std::fread(out, 1, n, f) : 0;
    std::fclose(f);
    return got == n ? 0 : -1;
}

void nimbus_test_random_device(const char *path) {
    g_random_device.store(path != nullptr ? path : "/dev/urandom", std::memory_order_relaxed);
}

void nimbus_msgf(char *msg, size_t size, const char *fmt, ...) {
    if (msg == nullptr || size == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(msg, size, fmt, ap);
    va_end(ap);
    if (n < 0)
        msg[0] = '\0';
}
