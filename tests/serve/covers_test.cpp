// The gateway's cover cache (tools/serve/covers.*): one fetch for callers
// that ask at once, the bound on fetches at once, the byte bound, "none"
// kept for its own short life, failures not kept, a change forgetting a
// fetch under way; and the picture check.
#include "serve/covers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

cli::cover_cache::limits limits(size_t bytes, unsigned fetches = 4) {
    return cli::cover_cache::limits{bytes, fetches, 1h, 100ms, 100ms};
}

cli::cover_answer picture(size_t n) {
    cli::cover_answer a;
    a.status = 200;
    a.type = "image/jpeg";
    a.bytes = std::make_shared<const std::string>(n, 'x');
    return a;
}

cli::cover_answer status(unsigned s) {
    cli::cover_answer a;
    a.status = s;
    return a;
}

TEST(CoverCache, ConcurrentAsksFetchOnce) {
    cli::cover_cache cache(limits(1 << 20));
    std::atomic<int> fetches{0};
    std::vector<std::thread> asks;
    std::atomic<int> ok{0};
    for (int i = 0; i < 20; i++)
        asks.emplace_back([&] {
            cli::cover_answer a = cache.get("small:/a.mp3", [&] {
                fetches++;
                std::this_thread::sleep_for(50ms);
                return picture(1000);
            });
            ok += a.status == 200 && a.bytes && a.bytes->size() == 1000;
        });
    for (auto &t : asks)
        t.join();
    EXPECT_EQ(1, fetches.load());
    EXPECT_EQ(20, ok.load());
}

TEST(CoverCache, FetchesAtOnceAreBounded) {
    cli::cover_cache cache(limits(1 << 20, 2));
    std::atomic<int> now{0}, most{0}, busy{0};
    std::vector<std::thread> asks;
    for (int i = 0; i < 6; i++)
        asks.emplace_back([&, i] {
            cli::cover_answer a = cache.get("small:/" + std::to_string(i), [&] {
                int n = ++now;
                for (int m = most.load(); n > m && !most.compare_exchange_weak(m, n);)
                    ;
                std::this_thread::sleep_for(600ms);
                now--;
                return picture(10);
            });
            busy += a.status == 503;
        });
    for (auto &t : asks)
        t.join();
    EXPECT_EQ(2, most.load());
    // Two fetch; the others find no free fetch within their 100 ms.
    EXPECT_EQ(4, busy.load());
}

TEST(CoverCache, BytesBoundedNoneKeptBrieflyFailuresNot) {
    const size_t cost = 256 + 2 * std::string("small:/0").size() + 1000;
    cli::cover_cache cache(limits(3 * cost));
    for (int i = 0; i < 4; i++)
        cache.get("small:/" + std::to_string(i), [] { return picture(1000); });
    EXPECT_EQ(3u, cache.entries());
    EXPECT_EQ(3 * cost, cache.bytes());
    int calls = 0;
    cache.get("small:/0", [&] { return calls++, picture(1000); }); // the oldest went
    EXPECT_EQ(1, calls);
    cache.get("small:/3", [&] { return calls++, picture(1000); });
    EXPECT_EQ(1, calls);
    // Larger than the whole bound: served, never kept.
    EXPECT_EQ(200u, cache.get("big", [cost] { return picture(3 * cost); }).status);
    EXPECT_EQ(3u, cache.entries());

    for (unsigned s : {404u, 502u, 503u})
        cache.get("s" + std::to_string(s), [&] { return calls++, status(s); });
    calls = 0;
    for (unsigned s : {404u, 502u, 503u})
        EXPECT_EQ(s, cache.get("s" + std::to_string(s), [&] { return calls++, status(s); }).status);
    EXPECT_EQ(2, calls); // 404 kept, the others asked again
    std::this_thread::sleep_for(120ms);
    cache.get("s404", [&] { return calls++, status(404); });
    EXPECT_EQ(3, calls); // past its life

    // A shared budget that refuses: nothing kept; what was kept goes back.
    size_t held = 0;
    bool room = true;
    cli::cover_cache shared(limits(1 << 20));
    shared.share_budget([&](size_t n) { return room && (held += n, true); },
                        [&](size_t n) { held -= n; });
    shared.get("a", [] { return picture(100); });
    EXPECT_EQ(shared.bytes(), held);
    room = false;
    shared.get("b", [] { return picture(100); });
    EXPECT_EQ(1u, shared.entries());
    shared.forget_all();
    EXPECT_EQ(0u, held);

    // A change told while its fetch is under way: that answer is not kept.
    room = true;
    for (bool all : {true, false}) {
        shared.get("c", [&] {
            if (all)
                shared.forget_all();
            else
                shared.forget_if([](const std::string &key) { return key == "c"; });
            return picture(100);
        });
        EXPECT_EQ(0u, shared.entries());
    }
}

TEST(CoverCache, OnlyJpegAndPngArePictures) {
    EXPECT_STREQ("image/jpeg", cli::cover_type(std::string("\xff\xd8\xff\xe0", 4)));
    EXPECT_STREQ("image/png", cli::cover_type(std::string("\x89PNG\r\n\x1a\n", 8)));
    EXPECT_EQ(nullptr, cli::cover_type(std::string("\xff\xd8\xff", 3)));
    EXPECT_EQ(nullptr, cli::cover_type(std::string("\x89PNG\r\n\x1a", 7)));
    EXPECT_EQ(nullptr, cli::cover_type("GIF89a.."));
    EXPECT_EQ(nullptr, cli::cover_type("<svg></svg>"));
}

} // namespace
