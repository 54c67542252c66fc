// The transport under real threads: the fake's routes scripted, requested and
// inspected from several threads at once, and the selection switched while
// other threads read and use it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "text/text.h"
#include "transport/transport.h"

namespace {

constexpr int THREADS = 4;
constexpr int ROUNDS = 300;
constexpr int ROUTES = 8;

std::string route_url(int t, int r) {
    return "https://t" + std::to_string(t) + "/r" + std::to_string(r);
}

TEST(TransportThreads, FakeScriptedRequestedAndInspected) {
    nimbus_fake_reset();
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};

    auto worker = [&](int t) {
        while (!go.load())
            std::this_thread::yield();
        const nimbus_io *fake = nimbus_io_fake();
        std::string post_url = "https://t" + std::to_string(t) + "/token";
        if (nimbus_fake_set("POST", post_url.c_str(), 200, "{}") != NIMBUS_OK)
            failures++;
        char msg[NIMBUS_MSG_SIZE];
        for (int i = 0; i < ROUNDS; i++) {
            std::string url = route_url(t, i % ROUTES);
            std::string body = "t" + std::to_string(t) + "-" + std::to_string(i);
            if (nimbus_fake_set("GET", url.c_str(), 200 + t, body.c_str()) != NIMBUS_OK)
                failures++;

            // Every other request goes through the exchange with a token.
            nimbus_resp resp{};
            if (i % 2) {
                if (nimbus_http(fake, url.c_str(), nullptr, nullptr, "tok", &resp, msg,
                                sizeof msg) != 0)
                    failures++;
            } else {
                char *b = nullptr, *e = nullptr;
                int32_t st = 0;
                if (fake->get(fake->ctx, url.c_str(), &b, &st, &e) != 0 || e)
                    failures++;
                resp.status = st;
                resp.body = b; // the fake's texts come from malloc
            }
            if (resp.status != 200 + t || !resp.body || body != resp.body)
                failures++;
            nimbus_resp_free(&resp);

            std::string form = "n=" + std::to_string(i);
            if (nimbus_http(fake, post_url.c_str(), form.c_str(), nullptr, nullptr, &resp, msg,
                            sizeof msg) != 0 ||
                resp.status != 200)
                failures++;
            nimbus_resp_free(&resp);
            // Only this thread posts here, so the last body is its own.
            if (form != nimbus_fake_last_body(post_url.c_str()))
                failures++;

            // Some thread's URL, never with a marker or token.
            const char *last = nimbus_fake_last_url();
            if (std::strncmp(last, "https://t", 9) != 0 || std::strchr(last, '#'))
                failures++;
            // The text stays this thread's while others inspect.
            std::string copy = last;
            std::this_thread::yield();
            if (copy != last)
                failures++;
            (void)nimbus_fake_calls(nullptr, nullptr);
            (void)nimbus_fake_calls("GET", url.c_str());
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back(worker, t);
    go = true;
    for (auto &th : threads)
        th.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(nimbus_fake_calls(nullptr, nullptr), THREADS * ROUNDS * 2);
    for (int t = 0; t < THREADS; t++) {
        for (int r = 0; r < ROUTES; r++)
            EXPECT_EQ(nimbus_fake_calls("GET", route_url(t, r).c_str()),
                      ROUNDS / ROUTES + (r < ROUNDS % ROUTES));
        std::string post_url = "https://t" + std::to_string(t) + "/token";
        EXPECT_EQ(nimbus_fake_calls(nullptr, post_url.c_str()), ROUNDS);
    }
    nimbus_fake_reset();
}

TEST(TransportThreads, ResetWhileRequesting) {
    nimbus_fake_reset();
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::thread resetter([&] {
        while (ready.load() < 3)
            std::this_thread::yield();
        for (int i = 0; i < 200; i++) {
            nimbus_fake_reset();
            std::this_thread::yield();
        }
        stop = true;
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; t++) {
        workers.emplace_back([&, t] {
            const nimbus_io *fake = nimbus_io_fake();
            std::string url = route_url(t, 0);
            char msg[NIMBUS_MSG_SIZE];
            ready++;
            while (!stop.load()) {
                nimbus_fake_set("GET", url.c_str(), 200, "ok");
                nimbus_resp resp{};
                if (nimbus_http(fake, url.c_str(), nullptr, nullptr, "tok", &resp, msg,
                                sizeof msg) != 0)
                    failures++;
                // Either the route or, just after a reset, the 404.
                else if (!(resp.status == 200 && std::strcmp(resp.body, "ok") == 0) &&
                         resp.status != 404)
                    failures++;
                nimbus_resp_free(&resp);
                (void)nimbus_fake_last_url();
                (void)nimbus_fake_last_body(url.c_str());
            }
        });
    }
    resetter.join();
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(failures.load(), 0);
    nimbus_fake_reset();
}

// Two host tables whose callbacks check that they are paired with their own
// context: a torn copy of the selection would pair one table's callback with
// the other's context.
struct host_ctx {
    const char *name;
    std::atomic<int> calls{0};
    std::atomic<int> mismatches{0};
};
host_ctx g_ctx_a{"a"};
host_ctx g_ctx_b{"b"};

template <host_ctx *Own> int host_get(void *ctx, const char *, char **body, int32_t *st, char **) {
    if (ctx != Own)
        Own->mismatches++;
    Own->calls++;
    *body = nimbus_strdup(Own->name);
    *st = 200;
    return 0;
}
template <host_ctx *Own>
int host_post(void *ctx, const char *, const char *, const char *, char **body, int32_t *st,
              char **) {
    return host_get<Own>(ctx, nullptr, body, st, nullptr);
}
template <host_ctx *Own> void host_free(void *ctx, void *p) {
    if (ctx != Own)
        Own->mismatches++;
    std::free(p);
}

TEST(TransportThreads, SelectionSwitchedWhileRead) {
    nimbus_fake_reset();
    ASSERT_EQ(nimbus_fake_set("GET", "https://sel/x", 200, "fake"), NIMBUS_OK);
    const nimbus_io table_a{&g_ctx_a, host_get<&g_ctx_a>, host_post<&g_ctx_a>, host_free<&g_ctx_a>};
    // B has no free callback: its texts go back to free().
    const nimbus_io table_b{&g_ctx_b, host_get<&g_ctx_b>, host_post<&g_ctx_b>, nullptr};
    const nimbus_io broken{&g_ctx_b, host_get<&g_ctx_b>, nullptr, nullptr};

    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::atomic<int> seen[4] = {}; // none, a, b, fake

    std::thread switcher([&] {
        // Switch only while every reader is running.
        while (ready.load() < 3)
            std::this_thread::yield();
        for (int i = 0; i < 2000; i++) {
            int rc = NIMBUS_OK;
            switch (i % 5) {
            case 0:
                rc = nimbus_set_io(&table_a);
                break;
            case 1:
                rc = nimbus_use_fake();
                break;
            case 2: {
                // A table that dies right after it is installed.
                nimbus_io local = table_b;
                rc = nimbus_set_io(&local);
                std::memset(&local, 0, sizeof local);
                break;
            }
            case 3:
                rc = nimbus_set_io(nullptr);
                break;
            case 4:
                if (nimbus_set_io(&broken) != NIMBUS_E_INVALID ||
                    nimbus_use_curl() != NIMBUS_E_UNSUPPORTED)
                    failures++;
                break;
            }
            if (rc != NIMBUS_OK)
                failures++;
            if (i % 64 == 0)
                std::this_thread::yield();
        }
        stop = true;
    });

    std::vector<std::thread> readers;
    for (int t = 0; t < 3; t++) {
        readers.emplace_back([&] {
            char msg[NIMBUS_MSG_SIZE];
            ready++;
            while (!stop.load()) {
                nimbus_io io;
                std::memset(&io, 0xAB, sizeof io);
                if (nimbus_io_current(&io) == 0) {
                    if (io.ctx || io.get || io.post || io.free)
                        failures++;
                    seen[0]++;
                    continue;
                }
                nimbus_resp resp{};
                if (nimbus_http(&io, "https://sel/x", nullptr, nullptr, "tok", &resp, msg,
                                sizeof msg) != 0) {
                    failures++;
                    continue;
                }
                if (io.ctx == &g_ctx_a && std::strcmp(resp.body, "a") == 0 && io.free)
                    seen[1]++;
                else if (io.ctx == &g_ctx_b && std::strcmp(resp.body, "b") == 0 && !io.free)
                    seen[2]++;
                else if (io.get == nimbus_io_fake()->get && std::strcmp(resp.body, "fake") == 0)
                    seen[3]++;
                else
                    failures++;
                nimbus_resp_free(&resp);
            }
        });
    }
    switcher.join();
    for (auto &r : readers)
        r.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(g_ctx_a.mismatches.load(), 0);
    EXPECT_EQ(g_ctx_b.mismatches.load(), 0);
    // The last switch left no transport selected.
    nimbus_io io;
    EXPECT_EQ(nimbus_io_current(&io), 0);
    nimbus_fake_reset();
}

} // namespace
