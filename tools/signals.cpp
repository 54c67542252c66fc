// The interrupted flag and the self-pipe that wakes every sleeping thread
// when a signal or a stop comes.
#include "signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace cli {
namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_waits_stopped{false};
int g_wake[2] = {-1, -1}; // self-pipe: readable once Ctrl-C was pressed or a wait stopped
std::once_flag g_wake_once;

void open_wake_pipe() {
    std::call_once(g_wake_once, [] {
        if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0)
            g_wake[0] = g_wake[1] = -1;
    });
}

// Async-signal-safe: a write.
void wake_sleepers() {
    if (g_wake[1] >= 0) {
        char c = 1;
        ssize_t n = write(g_wake[1], &c, 1);
        (void)n;
    }
}

extern "C" void on_interrupt(int) {
    int saved = errno;
    g_interrupted.store(true);
    wake_sleepers();
    errno = saved;
}

} // namespace

void catch_interrupt() {
    static std::once_flag once;
    std::call_once(once, [] {
        open_wake_pipe(); // before the handler may write to it
        struct sigaction sa {};
        sa.sa_handler = on_interrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND | SA_RESTART; // a second signal ends the process
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    });
}

bool interrupted() {
    return g_interrupted.load();
}

void stop_waits() {
    open_wake_pipe();
    g_waits_stopped.store(true);
    wake_sleepers();
}

void interrupt_transfers() {
    open_wake_pipe();
    g_interrupted.store(true);
    wake_sleepers();
}

void ignore_broken_pipes() {
    signal(SIGPIPE, SIG_IGN);
}

bool sleep_unless_interrupted(std::chrono::steady_clock::duration d) {
    using clock = std::chrono::steady_clock;
    open_wake_pipe();
    clock::time_point end = clock::now() + d;
    for (;;) {
        if (g_interrupted.load() || g_waits_stopped.load())
            return false;
        clock::duration left = end - clock::now();
        if (left <= clock::duration::zero())
            return true;
        long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
        if (g_wake[0] >= 0) {
            // The byte stays in the pipe, so every waiting thread wakes.
            pollfd p{g_wake[0], POLLIN, 0};
            poll(&p, 1, static_cast<int>(ms < 100 ? ms : 100));
        } else {
            poll(nullptr, 0, static_cast<int>(ms < 100 ? ms : 100));
        }
    }
}

} // namespace cli
