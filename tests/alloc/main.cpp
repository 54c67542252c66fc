// The allocation-failure program: every scenario of scenarios.cpp runs for
// N = 1, 2, 3, ... with its Nth allocation failing, until a run completes
// without reaching the failing allocation. Each run happens on a fresh
// thread, so that the library's per-thread strings are released when the
// thread ends; then the token cache and the fake transport's script are
// emptied and no allocation of the run may still be live.
#include <nimbus.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "harness.h"
#include "hooks.h"

namespace harness {
namespace {

endpoints g_env;
char g_out[OUT_SIZE];

// What runs now, for the crash report.
const char *volatile g_cur_scenario = "start-up";
volatile long g_cur_n = 0;

void write_str(const char *s) {
    ssize_t r = write(2, s, std::strlen(s));
    (void)r;
}

void on_crash(int sig) {
    char num[32];
    write_str("\nCRASH: signal ");
    std::snprintf(num, sizeof num, "%d", sig);
    write_str(num);
    write_str(" in scenario \"");
    write_str(g_cur_scenario);
    write_str("\" with allocation ");
    std::snprintf(num, sizeof num, "%ld", g_cur_n);
    write_str(num);
    write_str(" failing (0: none)\n");
    _exit(2);
}

// Runs fn on a fresh thread whose allocations are tracked.
template <class F> void on_thread(F fn) {
    std::thread t([&fn] {
        hooks::track_thread(true);
        fn();
    });
    t.join();
}

// Finds the Graph base and the token endpoint the library uses: the first
// from nimbus_drive_base, the second from the fake transport's record of the
// grant that a listing makes.
void discover() {
    on_thread([] {
        hooks::quiet q;
        const char *settings = R"({"ClientId":"c","ClientSecret":"s","refresh_token":"r"})";
        const char *base = nimbus_drive_base(settings);
        g_env.graph_base = base ? base : "";
        nimbus_fake_reset();
        nimbus_use_fake();
        char out[512];
        nimbus_list(settings, "", out, sizeof out);
        g_env.token_url = nimbus_fake_last_url();
        nimbus_fake_reset();
        nimbus_forget_tokens();
    });
}

struct totals {
    int runs = 0;
    int passed = 0;
    int failed = 0;
};

void show_leak(size_t before) {
    void *blocks[8];
    size_t k = hooks::live_blocks(blocks, 8);
    for (size_t i = 0; i < k; i++) {
        const unsigned char *p = static_cast<const unsigned char *>(blocks[i]);
        char text[41];
        size_t j = 0;
        for (; j < 40; j++) {
            unsigned char c = p[j];
            if (c == 0)
                break;
            text[j] = (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
        }
        text[j] = 0;
        std::fprintf(stderr, "    live block %p: \"%s\"\n", blocks[i], text);
    }
    (void)before;
}

// Runs one scenario over all its allocation points.
void run_scenario(const scenario &s, long only, totals &t) {
    std::map<std::string, int> outcomes;
    long points = -1;
    int failed_runs = 0;
    for (long n = only > 0 ? only : 1;; n++) {
        g_cur_scenario = s.name;
        size_t before = hooks::live();
        run warm(s.name, 0), armed(s.name, n);
        // The unarmed run first: it must give the correct answer (also after
        // the previous N's failure), and it makes this thread's per-thread
        // slots exist before any allocation is made to fail.
        on_thread([&] {
            g_cur_n = 0;
            s.body(warm);
            g_cur_n = n;
            s.body(armed);
        });
        nimbus_forget_tokens();
        nimbus_fake_reset();
        size_t after = hooks::live();
        int faults = warm.failures() + armed.failures();
        if (after != before) {
            std::fprintf(stderr, "FAIL [%s, N=%ld] %zu allocation(s) still live after the run\n",
                         s.name, n, after - before);
            show_leak(before);
            faults++;
        }
        for (const auto &o : armed.outcomes())
            outcomes[o.first] += o.second;
        t.runs++;
        if (faults) {
            failed_runs++;
            t.failed++;
        } else {
            t.passed++;
        }
        if (!armed.fired()) {
            points = armed.counted();
            break;
        }
        if (only > 0)
            break;
        if (n >= 200000) {
            std::fprintf(stderr, "FAIL [%s] does not end after %ld allocation points\n", s.name, n);
            t.failed++;
            break;
        }
    }
    // A last run on a fresh thread, after the final failure.
    g_cur_n = 0;
    run again(s.name, 0);
    on_thread([&] { s.body(again); });
    nimbus_forget_tokens();
    nimbus_fake_reset();
    t.runs++;
    (again.failures() ? t.failed : t.passed)++;

    std::printf("%-48s %5ld allocation points, %d failing run(s)\n", s.name, points, failed_runs);
    for (const auto &o : outcomes)
        std::printf("      %5d x %s\n", o.second, o.first.c_str());
    std::fflush(stdout);
}

} // namespace

const endpoints &env() {
    return g_env;
}

char *out_buffer() {
    return g_out;
}

void clear_out() {
    std::memset(g_out, 0x7f, 64);
    g_out[64] = 0;
}

bool out_untouched() {
    for (int i = 0; i < 64; i++)
        if (static_cast<unsigned char>(g_out[i]) != 0x7f)
            return false;
    return true;
}

void run::arm() {
    armed_ = true;
    marked_ = false;
    if (n_ > 0)
        hooks::arm(n_);
}

void run::disarm() {
    if (!armed_)
        return;
    armed_ = false;
    if (n_ > 0) {
        counted_ = hooks::disarm();
        fired_ = hooks::fired();
    }
}

bool run::fired_since_mark() {
    if (n_ == 0 || marked_)
        return false;
    if (hooks::fired()) {
        marked_ = true;
        return true;
    }
    return false;
}

void run::fail(const char *fmt, ...) {
    hooks::quiet q;
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "FAIL [%s, N=%ld%s] %s\n", scenario_, n_,
                 n_ == 0 ? " (no failure injected)" : "", text);
    failures_++;
}

void run::equal(const char *what, const std::string &got, const std::string &want) {
    if (got != want)
        fail("%s:\n      got  %s\n      want %s", what, got.c_str(), want.c_str());
}

void run::outcome(const char *what, int code, const std::string &message) {
    hooks::quiet q;
    char key[256];
    std::snprintf(key, sizeof key, "%s -> %d %s", what, code,
                  message.empty() ? "" : ("\"" + message.substr(0, 90) + "\"").c_str());
    outcomes_[key]++;
}

void run::request(const char *what, int code, const char *out, const std::string &expected,
                  std::initializer_list<int> allowed, bool fired,
                  const std::vector<std::string> &secrets,
                  const std::vector<std::pair<int, std::string>> &other) {
    hooks::quiet q;
    std::string result = nimbus_result_json();
    std::string error = nimbus_last_error();
    if (code == NIMBUS_OK) {
        if (fired)
            outcome(what, code, "absorbed");
        if (out)
            equal(what, out, expected);
        // A failed copy into the per-thread string is allowed only where an
        // allocation failed, and never when the answer is read from there.
        if (!(fired && out && result.empty()))
            equal(what, result, expected);
        if (!error.empty())
            fail("%s succeeded with the error text \"%s\"", what, error.c_str());
        return;
    }
    outcome(what, code, error);
    if (!fired) {
        fail("%s failed with %d \"%s\" although no allocation failed", what, code, error.c_str());
        return;
    }
    bool ok = false;
    for (int c : allowed)
        ok = ok || (c == code && error.find("out of memory") != std::string::npos);
    for (const auto &o : other)
        ok = ok || (o.first == code && o.second == error);
    if (!ok)
        fail("%s: %d \"%s\" is not how the operation may report that memory ran out", what, code,
             error.c_str());
    if (error.empty())
        fail("%s failed with %d but nimbus_last_error() is empty", what, code);
    published_failure(what, result, error, out, secrets);
}

// A failure publishes no result, shows no secret, and leaves the buffer
// untouched or holding exactly its error object.
void run::published_failure(const char *what, const std::string &result, const std::string &error,
                            const char *out, const std::vector<std::string> &secrets) {
    if (!result.empty())
        fail("%s failed but nimbus_result_json() is \"%s\"", what, result.c_str());
    if (leaks(error, secrets))
        fail("%s: the error text shows a secret: \"%s\"", what, error.c_str());
    if (out && !out_untouched() && out[0] != 0) {
        std::string want = "{\"error\":" + json_str(error) + "}";
        if (out != want)
            fail("%s: output buffer holds \"%s\", expected untouched or %s", what, out,
                 want.c_str());
    }
}

void run::refusal(const char *what, int code, const char *out, int want_code,
                  const std::string &want_message, std::initializer_list<int> allowed, bool fired,
                  const std::vector<std::string> &secrets,
                  const std::vector<std::pair<int, std::string>> &other) {
    hooks::quiet q;
    std::string result = nimbus_result_json();
    std::string error = nimbus_last_error();
    bool exact = code == want_code && error == want_message;
    if (fired && !exact)
        outcome(what, code, error);
    if (!fired && !exact) {
        fail("%s: %d \"%s\", want %d \"%s\"", what, code, error.c_str(), want_code,
             want_message.c_str());
        return;
    }
    if (!exact) {
        bool ok = false;
        for (int c : allowed)
            ok = ok || (c == code && error.find("out of memory") != std::string::npos);
        std::string head = want_message.substr(0, want_message.find(':') + 1);
        ok = ok || (code == want_code && error.compare(0, head.size(), head) == 0);
        for (const auto &o : other)
            ok = ok || (o.first == code && o.second == error);
        ok = ok || (error.empty() && code == want_code);
        if (!ok)
            fail("%s: %d \"%s\" when memory ran out, want %d \"%s\" or out of memory", what, code,
                 error.c_str(), want_code, want_message.c_str());
    }
    // The failing allocation may be the copy that publishes the message:
    // then the error text is empty, and the buffer shows the message.
    if (error.empty() && !(fired && code == want_code))
        fail("%s failed with %d but nimbus_last_error() is empty", what, code);
    if (error.empty())
        error = want_message;
    published_failure(what, result, error, out, secrets);
}

std::string json_str(const std::string &s) {
    std::string r = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            r += "\\\"";
            break;
        case '\\':
            r += "\\\\";
            break;
        case '\n':
            r += "\\n";
            break;
        case '\r':
            r += "\\r";
            break;
        case '\t':
            r += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                r += esc;
            } else {
                r += static_cast<char>(c);
            }
        }
    }
    return r + "\"";
}

bool leaks(const std::string &text, const std::vector<std::string> &secrets) {
    for (const auto &s : secrets)
        if (!s.empty() && text.find(s) != std::string::npos)
            return true;
    return false;
}

} // namespace harness

// A new thread whose first allocations fail: making its per-thread texts
// must never abort the process (a thread_local with a destructor does, when
// glibc cannot allocate the destructor's registration).
void fresh_thread_check(harness::totals &t) {
    for (long n = 1; n <= 3; n++) {
        bool ok = false;
        std::thread([&] {
            hooks::track_thread(true);
            hooks::arm(n);
            const char *r = nimbus_redact("a?pw=secret");
            hooks::disarm();
            hooks::track_thread(false);
            ok = r != nullptr && (*r == '\0' || std::strcmp(r, "a?pw=***") == 0);
        }).join();
        t.runs++;
        if (ok) {
            t.passed++;
        } else {
            t.failed++;
            std::printf("FAIL fresh thread, allocation %ld failing\n", n);
        }
    }
}

int main(int argc, char **argv) {
    using namespace harness;
    for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
        std::signal(sig, on_crash);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // NIMBUS_ALLOC_TRACE=1 prints where each failing allocation was made.
    hooks::trace_failures(std::getenv("NIMBUS_ALLOC_TRACE") != nullptr);
    discover();
    if (env().graph_base.empty() || env().token_url.empty()) {
        std::printf("cannot find the library's endpoints (base \"%s\", token \"%s\")\n",
                    env().graph_base.c_str(), env().token_url.c_str());
        std::printf("0 passed, 1 failed\n");
        return 1;
    }

    totals t;
    if (argc == 1)
        fresh_thread_check(t);
    for (const auto &s : scenarios()) {
        // Optional arguments: a part of a scenario name, and one N to run.
        if (argc > 1 && std::strstr(s.name, argv[1]) == nullptr)
            continue;
        run_scenario(s, argc > 2 ? std::atol(argv[2]) : 0, t);
    }
    std::printf("%d runs\n", t.runs);
    std::printf("%d passed, %d failed\n", t.passed, t.failed);
    return t.failed ? 1 : 0;
}
