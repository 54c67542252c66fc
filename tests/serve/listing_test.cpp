// The gateway's packed listings: rows read back as they were given, what a
// row costs, and the budget every listing alive draws from.
#include "serve/cache.h"
#include "serve/listing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

using cli::folder_listing;
using cli::folder_row;
using cli::listing_budget;

bool by_bytes(std::string_view a, std::string_view b) {
    return a < b;
}

// A file of ordinary names, as the service lists it: a 34-character item id.
struct file_entry {
    explicit file_entry(size_t i, bool media = false) {
        char text[80];
        std::snprintf(text, sizeof text, "%06zu Some Artist - A Rather Long Song Title.flac", i);
        name = text;
        std::snprintf(text, sizeof text, "01BYE5RZ6QN3ZWBTUFOFD3GSPGOH%06zu", i);
        id = text;
        e.name = name.c_str();
        e.id = id.c_str();
        e.size = 30000000 + static_cast<int64_t>(i);
        e.mtime_ms = 1709622489000;
        if (media) {
            e.mime_type = "audio/flac";
            e.title = "A Rather Long Song Title";
            e.artist = "Some Artist";
            e.album = "An Album Called Something";
            e.track = 7;
            e.year = 2024;
            e.duration_ms = 241000;
        }
    }
    std::string name, id;
    nimbus_entry e{};
};

TEST(FolderListing, ReadsBackEveryFieldInDisplayOrder) {
    folder_listing l;
    std::string big(70000, 'n'); // larger than a chunk: a chunk of its own
    nimbus_entry a{};
    a.name = "b.flac";
    a.id = "ID-A";
    a.size = -1;
    a.mtime_ms = -5;
    a.mime_type = "audio/flac";
    a.title = "T";
    a.artist = "Ar";
    a.album = "Al";
    a.track = -3;
    a.year = 2024;
    a.width = 1920;
    a.height = 1080;
    a.duration_ms = INT64_MAX;
    nimbus_entry d{};
    d.name = "z";
    d.folder = 1;
    d.size = 0;
    nimbus_entry n{};
    n.name = big.c_str();
    ASSERT_TRUE(l.add(a) && l.add(d) && l.add(n));
    ASSERT_TRUE(l.finish(by_bytes));
    ASSERT_EQ(l.size(), 3u);
    folder_row r = l.row(0);
    EXPECT_TRUE(!r.folder && r.name == "b.flac" && r.id == "ID-A" && r.size == -1 &&
                r.mtime_ms == -5 && r.mime == "audio/flac" && r.title == "T" && r.artist == "Ar" &&
                r.album == "Al" && r.track == -3 && r.year == 2024 && r.width == 1920 &&
                r.height == 1080 && r.duration_ms == INT64_MAX);
    r = l.row(1);
    EXPECT_TRUE(r.folder && r.name == "z" && r.id.empty() && r.size == 0 && r.mime.empty() &&
                r.title.empty() && r.track == 0 && r.duration_ms == 0);
    EXPECT_EQ(l.row(2).name, big);
    EXPECT_EQ(l.order(), (std::vector<uint32_t>{1, 0, 2})); // the folder first, then names
}

TEST(FolderListing, PacksARowIntoAFewBytes) {
    // What 100 000 rows cost, texts, references and display order together.
    for (bool media : {false, true}) {
        folder_listing l;
        for (size_t i = 0; i < 100000; i++)
            ASSERT_TRUE(l.add(file_entry(i, media).e));
        ASSERT_TRUE(l.finish(by_bytes));
        double per_row = static_cast<double>(l.bytes()) / 100000;
        std::printf("%s: %.1f bytes per row\n", media ? "media facets" : "ordinary names", per_row);
        EXPECT_LE(per_row, media ? 200 : 120);
    }
}

TEST(ListingBudget, TakesUpToTheBoundAndAsksTheKeptFoldersToGiveWay) {
    listing_budget b(1000);
    EXPECT_TRUE(b.take(1000)); // at the bound
    EXPECT_FALSE(b.take(1));   // one past
    b.give(1000);
    EXPECT_EQ(b.used(), 0u);
    EXPECT_FALSE(b.take(1001));

    // Kept listings draw from the budget too, and give way to one in flight.
    listing_budget shared(6 << 20);
    cli::folder_cache kept(shared.max(), std::chrono::minutes(2));
    shared.on_short([&kept](size_t n) { return kept.give_way(n); });
    auto fill = [&shared](size_t rows) {
        auto l = std::make_shared<folder_listing>(&shared);
        for (size_t i = 0; i < rows; i++)
            if (!l->add(file_entry(i).e))
                return std::shared_ptr<folder_listing>();
        EXPECT_TRUE(l->finish(by_bytes));
        return l;
    };
    kept.store("/a", fill(20000));
    kept.store("/b", fill(20000));
    ASSERT_EQ(kept.folders(), 2u);
    EXPECT_EQ(shared.used(), kept.bytes());
    auto in_flight = fill(30000); // needs room only the kept folders can make
    ASSERT_TRUE(in_flight);
    EXPECT_LT(kept.folders(), 2u);
    EXPECT_LE(shared.used(), shared.max());

    // A reader holding a kept folder keeps its bytes charged after the
    // cache lets it go: then the budget is gone for others.
    {
        std::shared_ptr<const folder_listing> held = kept.find("/b");
        ASSERT_TRUE(held); // /a went first
        auto second = std::make_shared<folder_listing>(&shared);
        bool stopped = false;
        for (size_t i = 0; i < 60000 && !stopped; i++)
            stopped = !second->add(file_entry(i).e);
        EXPECT_TRUE(stopped);
        EXPECT_EQ(second->fault(), cli::listing_busy);
    }
    in_flight.reset();
    kept.forget_all();
    EXPECT_EQ(shared.used(), 0u); // everything given back

    // Alone, a folder larger than the whole budget stops as too large.
    auto alone = std::make_shared<folder_listing>(&shared);
    size_t added = 0;
    while (alone->add(file_entry(added).e))
        added++;
    EXPECT_EQ(alone->fault(), cli::listing_too_large);
    EXPECT_GT(added, 40000u);
    EXPECT_LE(alone->bytes(), shared.max());
    alone.reset();
    EXPECT_EQ(shared.used(), 0u);
}

TEST(ListingBudget, ThreadsListingAtOnceNeverPassTheBound) {
    listing_budget b(2 << 20);
    std::atomic<size_t> peak{0};
    std::atomic<int> stopped{0}, finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&] {
            for (int round = 0; round < 5; round++) {
                folder_listing l(&b);
                bool ok = true;
                for (size_t i = 0; i < 8000 && ok; i++) {
                    ok = l.add(file_entry(i).e);
                    size_t now = b.used(), seen = peak.load();
                    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                    }
                }
                if (ok && l.finish(by_bytes))
                    finished++;
                else
                    stopped++;
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_LE(peak.load(), b.max());
    EXPECT_EQ(b.used(), 0u);
    EXPECT_EQ(finished + stopped, 40);
    EXPECT_GT(finished.load(), 0);

    // Two listings that together need more than the budget: the older is
    // listed, the younger gives way, whichever runs short first.
    listing_budget pair(4 << 20);
    folder_listing older(&pair), younger(&pair);
    size_t i = 0;
    for (; i < 20000; i++)
        ASSERT_TRUE(older.add(file_entry(i).e));
    std::thread second([&] {
        for (size_t k = 0; k < 30000; k++)
            if (!younger.add(file_entry(k).e))
                return;
    });
    bool ok = true;
    for (; i < 30000 && ok; i++)
        ok = older.add(file_entry(i).e);
    second.join();
    EXPECT_TRUE(ok && older.finish(by_bytes));
    EXPECT_EQ(younger.fault(), cli::listing_busy);
}

} // namespace
