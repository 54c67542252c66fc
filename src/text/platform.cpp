// The small platform layer (clock and random device) and bounded messages.
// A port to another system swaps the bodies here.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "text/text.h"

namespace {

std::atomic<const char *> g_random_device{"/dev/urandom"};

} // namespace

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
