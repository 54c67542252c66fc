// Requests from several threads at once: each thread reads its own answers,
// through the fake transport and through a thread-safe host transport given
// to the handler record. Meant to run under ThreadSanitizer too.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct ThreadsTest : FakeTest {};

constexpr int kThreads = 6;
constexpr int kRounds = 40;

std::string folder_url(int t) {
    return kGraph + "/me/drive/root:/F" + std::to_string(t) + ":/children?$top=200";
}
std::string item_url(int t) {
    return kGraph + "/me/drive/items/X" + std::to_string(t);
}
std::string expected_list(int t) {
    std::string f = "/F" + std::to_string(t);
    return items_json(
        {entry("t" + std::to_string(t) + ".mp3", f + "/t" + std::to_string(t) + ".mp3", false, t, 0,
               "I" + std::to_string(t), f)});
}
std::string expected_locator(int t) {
    return "{\"url\":\"https://dl/" + std::to_string(t) + "\",\"id\":\"X" + std::to_string(t) +
           "\",\"name\":\"s" + std::to_string(t) + "\",\"size\":-1,\"range\":true}";
}
std::string item_body(int t) {
    return "{\"id\":\"X" + std::to_string(t) + "\",\"name\":\"s" + std::to_string(t) +
           "\",\"@content.downloadUrl\":\"https://dl/" + std::to_string(t) + "\"}";
}
std::string list_page(int t) {
    return page({item("I" + std::to_string(t), "t" + std::to_string(t) + ".mp3", t)});
}

// Runs list, stream, validate and a failing list on thread t, checking the
// thread's own per-thread strings after each; returns the number of mismatches.
template <class Call> int exercise(int t, Call call) {
    int bad = 0;
    std::string s = settings("\"ID\":\"k\"");
    std::string entry = "\"X" + std::to_string(t) + "\"";
    std::string folder = "/F" + std::to_string(t);
    for (int r = 0; r < kRounds; r++) {
        std::vector<char> out(8192);
        switch ((r + t) % 4) {
        case 0:
            bad += call(0, s.c_str(), folder.c_str(), out.data()) != NIMBUS_OK;
            bad += out[0] && expected_list(t) != out.data();
            bad += expected_list(t) != nimbus_result_json();
            bad += *nimbus_last_error() != '\0';
            break;
        case 1:
            bad += call(1, s.c_str(), entry.c_str(), out.data()) != NIMBUS_OK;
            bad += expected_locator(t) != nimbus_result_json();
            break;
        case 2:
            bad += call(2, s.c_str(), nullptr, out.data()) != NIMBUS_OK;
            bad += std::strcmp("{\"RuntimeType\":\"ONEDRIVE\"}", nimbus_result_json()) != 0;
            break;
        default: {
            std::string missing = "/Missing" + std::to_string(t);
            bad += call(0, s.c_str(), missing.c_str(), out.data()) != NIMBUS_E_NOT_FOUND;
            std::string want = "children: " + kGraph + "/me/drive/root:" + missing +
                               ":/children?$top=200 answered HTTP 404";
            bad += std::string(nimbus_last_error()).rfind(want, 0) != 0;
            bad += *nimbus_result_json() != '\0';
        }
        }
    }
    return bad;
}

void script_all() {
    script_token();
    script_get(first_page(kRoot), 200, page({}));
    for (int t = 0; t < kThreads; t++) {
        script_get(folder_url(t), 200, list_page(t));
        script_get(item_url(t), 200, item_body(t));
    }
}

TEST_F(ThreadsTest, FlatExportsOnManyThreads) {
    script_all();
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t, &bad] {
            bad += exercise(t, [](int op, const char *s, const char *arg, char *out) {
                if (op == 0)
                    return nimbus_list(s, arg, nullptr, 0);
                if (op == 1)
                    return nimbus_stream_url(s, arg, out, 8192);
                return nimbus_validate(s, out, 8192);
            });
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(0, bad.load());
    // Several threads may grant at once before the first token is cached.
    EXPECT_LE(1, grants());
    EXPECT_GE(kThreads, grants());
}

// A host transport of its own: answers from a fixed table, counts under a lock.
struct table_io {
    std::mutex mu;
    int calls = 0;
    std::vector<std::pair<std::string, std::string>> routes;

    static int get(void *ctx, const char *url, char **body, int32_t *status, char **) {
        auto *self = static_cast<table_io *>(ctx);
        std::string u = url;
        size_t m = u.find("#NIMBUS-BEARER:");
        if (m == std::string::npos || u.substr(m + 15) != "at-host")
            return -1; // every Graph request carries the bearer token
        u.resize(m);
        {
            std::lock_guard<std::mutex> g(self->mu);
            self->calls++;
        }
        for (const auto &r : self->routes)
            if (r.first == u) {
                *status = 200;
                *body = static_cast<char *>(std::malloc(r.second.size() + 1));
                std::memcpy(*body, r.second.c_str(), r.second.size() + 1);
                return 0;
            }
        *status = 404;
        *body = strdup("");
        return 0;
    }
    static int post(void *ctx, const char *, const char *, const char *, char **answer,
                    int32_t *status, char **) {
        auto *self = static_cast<table_io *>(ctx);
        {
            std::lock_guard<std::mutex> g(self->mu);
            self->calls++;
        }
        *status = 200;
        *answer = strdup(token_answer("at-host").c_str());
        return 0;
    }
    static void release(void *, void *text) { std::free(text); }
};

TEST_F(ThreadsTest, HandlerRecordWithHostTransport) {
    table_io host;
    host.routes.emplace_back(first_page(kRoot), page({}));
    for (int t = 0; t < kThreads; t++) {
        host.routes.emplace_back(folder_url(t), list_page(t));
        host.routes.emplace_back(item_url(t), item_body(t));
    }
    const nimbus_io io = {&host, table_io::get, table_io::post, table_io::release};
    const nimbus_handler *h = hvtab_get();
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            bad += exercise(t, [&](int op, const char *s, const char *arg, char *out) {
                if (op == 0)
                    return h->list(&io, s, arg, out, 8192);
                if (op == 1)
                    return h->stream_url(&io, s, arg, out, 8192);
                return h->validate(&io, s, out, 8192);
            });
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, nullptr));
    EXPECT_LE(kThreads * kRounds, host.calls);
}

TEST_F(ThreadsTest, PerThreadStringsReleasedAtThreadEnd) {
    script_all();
    const std::string big(1 << 20, 'a');
    auto heap = [] {
        struct mallinfo2 mi = mallinfo2();
        return mi.uordblks + mi.hblkhd;
    };
    // Warm up this thread's and the library's lazily made state.
    nimbus_redact(big.c_str());
    nimbus_redact("");
    size_t before = heap();
    for (int round = 0; round < 3; round++) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++)
            threads.emplace_back([&big] {
                // About 2 MiB of scratch, 1 MiB of result and an error per thread.
                nimbus_redact(big.c_str());
                nimbus_publish(NIMBUS_E_FAILED, big.c_str(), nullptr);
                nimbus_publish(NIMBUS_OK, nullptr, big.c_str());
                nimbus_list(settings().c_str(), "/F0", nullptr, 0);
            });
        for (auto &th : threads)
            th.join();
    }
    size_t after = heap();
    // Twelve threads each held over 3 MiB; what stays is small change.
    EXPECT_LT(after, before + (1u << 20)) << before << " -> " << after;
}

} // namespace
