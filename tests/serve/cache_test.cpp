// The gateway's folder cache: what it keeps, what it pushes out first, and
// that its users on many threads see whole listings only.
#include "serve/cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using cli::folder_cache;
using cli::folder_listing;
using cli::folder_row;

// A listing of n rows named TAG0, TAG1...
std::shared_ptr<const folder_listing> listing(size_t n, const std::string &tag = "x") {
    auto l = std::make_shared<folder_listing>();
    for (size_t i = 0; i < n; i++) {
        std::string name = tag + std::to_string(i), id = "ID" + std::to_string(i);
        nimbus_entry e{};
        e.name = name.c_str();
        e.id = id.c_str();
        e.size = static_cast<int64_t>(i);
        EXPECT_TRUE(l->add(e));
    }
    EXPECT_TRUE(l->finish([](std::string_view a, std::string_view b) { return a < b; }));
    return l;
}

TEST(FolderCache, KeepsUpToTheBoundAndPushesOutTheLeastRecentlyUsed) {
    size_t each = listing(10)->bytes();
    folder_cache c(3 * each, std::chrono::minutes(2));
    c.store("/a", listing(10));
    c.store("/b", listing(10));
    c.store("/c", listing(10));
    EXPECT_EQ(c.bytes(), 3 * each); // at the bound: all three kept
    EXPECT_EQ(c.folders(), 3u);
    ASSERT_TRUE(c.find("/a"));  // /a is now the most recently used
    c.store("/d", listing(10)); // one past the bound: /b goes
    EXPECT_EQ(c.folders(), 3u);
    EXPECT_FALSE(c.find("/b"));
    EXPECT_TRUE(c.find("/a") && c.find("/c") && c.find("/d"));
    EXPECT_LE(c.bytes(), 3 * each);

    // Storing a folder again replaces it, counted once.
    c.store("/a", listing(10, "y"));
    EXPECT_EQ(c.bytes(), 3 * each);
    EXPECT_EQ(c.find("/a")->row(0).name, "y0");

    // A folder larger than the whole bound is never kept, and pushes nothing out.
    c.store("/huge", listing(4000));
    EXPECT_FALSE(c.find("/huge"));
    EXPECT_EQ(c.folders(), 3u);
}

TEST(FolderCache, ForgetsAfterItsLifetimeAndWhenTold) {
    folder_cache c(1 << 20, std::chrono::milliseconds(50));
    c.store("", listing(3));
    c.store("/a", listing(3));
    EXPECT_TRUE(c.find(""));
    c.forget("/a"); // the change feed's hook
    EXPECT_FALSE(c.find("/a"));
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_FALSE(c.find("")); // past its lifetime: listed again
    EXPECT_EQ(c.folders(), 0u);
    EXPECT_EQ(c.bytes(), 0u);
    c.store("/b", listing(3));
    c.forget_all();
    EXPECT_EQ(c.folders(), 0u);
    EXPECT_EQ(c.bytes(), 0u);
}

TEST(FolderCache, ManyThreadsShareItAndReadersKeepWhatTheyHold) {
    size_t each = listing(20)->bytes();
    folder_cache c(4 * each, std::chrono::minutes(2));
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&c, &torn, t] {
            for (int i = 0; i < 2000; i++) {
                std::string folder = "/f" + std::to_string((i + t) % 9);
                if (auto l = c.find(folder)) {
                    if (l->size() != 20 || l->row(19).name != "x19")
                        torn = true;
                } else {
                    c.store(folder, listing(20));
                }
                if (i % 500 == 0)
                    c.forget(folder);
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_FALSE(torn);
    EXPECT_LE(c.bytes(), 4 * each);
    EXPECT_LE(c.folders(), 4u);
}

} // namespace
