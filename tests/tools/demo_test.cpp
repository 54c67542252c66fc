// The demo drive answers a drive handle the way the service does: search
// pages, the change feed and its cursors, the drive's facts, and errors
// shaped as the service's for what it does not hold.
#include "demo/demo.h"

#include <gtest/gtest.h>
#include <nimbus.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

struct found {
    std::vector<std::string> paths;
    std::set<std::string> ids;
    std::string duration_of; // "title artist album track duration" of the first audio
};

int take(void *ctx, const nimbus_entry *e) {
    auto *f = static_cast<found *>(ctx);
    f->paths.push_back(e->path ? e->path : "");
    f->ids.insert(e->id);
    if (f->duration_of.empty() && e->title)
        f->duration_of = std::string(e->title) + "|" + (e->artist ? e->artist : "") + "|" +
                         (e->album ? e->album : "") + "|" + std::to_string(e->track) + "|" +
                         std::to_string(e->duration_ms);
    return 0;
}

class Demo : public ::testing::Test {
  protected:
    // The demo's settings in pages of page_size, and a handle on its transport.
    void open(int page_size) {
        std::string settings = cli::demo_settings();
        settings.insert(settings.size() - 1, ",\"PageSize\":" + std::to_string(page_size));
        std::string error;
        ASSERT_TRUE(cli::demo_start(settings, page_size, &error)) << error;
        ASSERT_EQ(nimbus_drive_open(settings.c_str(), cli::demo_io(), &drive_), NIMBUS_OK);
    }
    void TearDown() override { nimbus_drive_close(drive_); }

    // The change feed since cursor (null: everything), its next cursor in *next.
    int changes(const char *cursor, found *f, std::string *next) {
        char *n = nullptr;
        int rc = nimbus_drive_changes(drive_, "/", cursor, take, f, &n);
        *next = n ? n : "";
        std::free(n);
        return rc;
    }

    nimbus_drive *drive_ = nullptr;
};

TEST_F(Demo, SearchMatchesNamesWithoutCaseAcrossPages) {
    open(100);
    found f;
    ASSERT_EQ(nimbus_drive_search(drive_, "EPISODE", take, &f), NIMBUS_OK);
    ASSERT_EQ(f.ids.size(), 240u); // three pages of 100
    EXPECT_EQ(f.paths.front(), "/Podcasts/Radio Archive/Episode 001.mp3");
    EXPECT_EQ(f.paths.back(), "/Podcasts/Radio Archive/Episode 240.mp3");

    found accented, quoted, none;
    ASSERT_EQ(nimbus_drive_search(drive_, "JÖKULÁ", take, &accented), NIMBUS_OK);
    ASSERT_EQ(accented.paths.size(), 1u);
    EXPECT_EQ(accented.duration_of, "Jökulá|Ylfa Ránardóttir|Hvítá|2|261379");
    ASSERT_EQ(nimbus_drive_search(drive_, "keeper's daughter", take, &quoted), NIMBUS_OK);
    EXPECT_EQ(quoted.paths,
              std::vector<std::string>{"/Movies/The Lighthouse Keeper's Daughter (2021).mkv"});
    ASSERT_EQ(nimbus_drive_search(drive_, "no such name", take, &none), NIMBUS_OK);
    EXPECT_TRUE(none.paths.empty());
}

TEST_F(Demo, ChangeFeedGivesTheDriveThenNothingNew) {
    open(200);
    found all;
    std::string cursor, again;
    ASSERT_EQ(changes(nullptr, &all, &cursor), NIMBUS_OK);
    // Every entry of the walk by listings, and the root itself ("/").
    found listed;
    ASSERT_EQ(nimbus_drive_walk(drive_, "/", 0, take, &listed), NIMBUS_OK);
    EXPECT_EQ(all.ids.size(), listed.ids.size() + 1);
    EXPECT_EQ(all.paths.front(), "/");
    ASSERT_FALSE(cursor.empty());

    found since, latest;
    ASSERT_EQ(changes(cursor.c_str(), &since, &again), NIMBUS_OK);
    EXPECT_TRUE(since.ids.empty());
    EXPECT_NE(again, cursor); // a new delta link every time, as the service gives
    ASSERT_EQ(changes(NIMBUS_CURSOR_LATEST, &latest, &again), NIMBUS_OK);
    EXPECT_TRUE(latest.ids.empty());

    // A cursor the drive never gave is stale: start over.
    std::string stale = cursor.substr(0, cursor.find("?token=") + 7) + "elsewhere";
    ASSERT_NE(stale, cursor);
    EXPECT_EQ(changes(stale.c_str(), &since, &again), NIMBUS_E_RESYNC);
}

// The numbers; the texts are checked during the call, the only time they are valid.
int keep_about(void *ctx, const nimbus_about *a) {
    auto *kept = static_cast<nimbus_about *>(ctx);
    kept->total = a->total;
    kept->used = a->used;
    kept->remaining = a->remaining;
    kept->deleted = a->deleted;
    EXPECT_STREQ(a->drive_type, "personal");
    EXPECT_STREQ(a->owner, "Demo Listener");
    EXPECT_STREQ(a->state, "normal");
    return 0;
}

TEST_F(Demo, AboutAndWhatTheDriveDoesNotHold) {
    open(200);
    nimbus_about about{};
    ASSERT_EQ(nimbus_drive_about(drive_, keep_about, &about), NIMBUS_OK);
    EXPECT_EQ(about.total, 1099511627776LL);
    EXPECT_EQ(about.used + about.remaining, about.total);
    EXPECT_GT(about.used, about.deleted);

    found f;
    EXPECT_EQ(nimbus_drive_list(drive_, "/Music/Nobody", take, &f), NIMBUS_E_NOT_FOUND);
    EXPECT_NE(std::string(nimbus_last_error()).find("itemNotFound"), std::string::npos);
}

} // namespace
