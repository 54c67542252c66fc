// nimbus_drive_walk against the fake transport, by both roads: every entry
// of a three-level tree once with its full path, the callback never entered
// twice at once (helper threads on the listing road), depth limits, a stop,
// and a broken shortcut left out with its own code; on the change-feed
// road, items before their folders, repeats, deletions, entries whose
// folder never comes, shortcuts listed after the feed, and which road a
// drive and depth take; on both roads, a hostile service's loops (each
// folder listed once, by any id or shortcut) and chains deeper than the
// path bounds, at the bound and one past it.
#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

// A folder's first page as a walk asks for it.
std::string children(const std::string &id) {
    return entries_page(kGraph + "/me/drive/items/" + id + "/children");
}

void script_tree() {
    script_token();
    script_get(
        entries_page(kRoot), 200,
        page({item("A", "Artist", 1, true), item("B", "Other", 1, true), item("f1", "top.flac")}));
    script_get(children("A"), 200,
               page({item("A1", "Album", 1, true), item("a", "a.flac")},
                    kGraph + "/me/drive/items/A/children?p=2"));
    script_get(kGraph + "/me/drive/items/A/children?p=2", 200, page({item("a2", "b.flac")}));
    script_get(children("B"), 200, page({item("b", "b.flac")}));
    script_get(children("A1"), 200, page({item("d", "01.flac"), item("d2", "02.flac")}));
}

// Every path of the tree script_tree lays out.
std::multiset<std::string> tree_paths() {
    return {"/Artist",
            "/Other",
            "/top.flac",
            "/Artist/Album",
            "/Artist/a.flac",
            "/Artist/b.flac",
            "/Other/b.flac",
            "/Artist/Album/01.flac",
            "/Artist/Album/02.flac"};
}

struct seen {
    std::atomic<int> inside{0};
    bool overlapped = false;
    std::vector<std::string> paths;
    int stop_after = -1;
};

int keep(void *ctx, const nimbus_entry *e) {
    auto *s = static_cast<seen *>(ctx);
    if (s->inside.fetch_add(1) != 0)
        s->overlapped = true;
    s->paths.push_back(e->path ? e->path : "-");
    int stop = s->stop_after >= 0 && static_cast<int>(s->paths.size()) >= s->stop_after;
    s->inside.fetch_sub(1);
    return stop;
}

struct WalkTest : FakeTest {
    nimbus_drive *drive = nullptr;
    void open(const std::string &extra = "") {
        ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings(extra).c_str(), nimbus_io_fake(), &drive))
            << nimbus_last_error();
    }
    void TearDown() override {
        nimbus_drive_close(drive);
        FakeTest::TearDown();
    }
};

TEST_F(WalkTest, EveryEntryOnceWithItsPathNeverConcurrently) {
    script_tree();
    open("\"WalkConcurrency\":3,\"WalkMethod\":\"listing\"");
    const std::multiset<std::string> all = tree_paths();
    for (int round = 0; round < 20; round++) {
        seen s;
        ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 0, keep, &s)) << nimbus_last_error();
        EXPECT_FALSE(s.overlapped);
        EXPECT_EQ(all, std::multiset<std::string>(s.paths.begin(), s.paths.end()));
    }
    // Each folder listed once per walk, its pages once.
    EXPECT_EQ(20, gets(children("A1")));
    EXPECT_EQ(20, gets(kGraph + "/me/drive/items/A/children?p=2"));

    // Levels: 1 is the folder's own entries, 2 one level more.
    seen one;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, nullptr, 1, keep, &one));
    EXPECT_EQ((std::vector<std::string>{"/Artist", "/Other", "/top.flac"}), one.paths);
    seen two;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "", 2, keep, &two));
    EXPECT_EQ(7u, two.paths.size());
    EXPECT_EQ(20, gets(children("A1")));

    // A non-zero answer stops the whole walk.
    seen stopped;
    stopped.stop_after = 4;
    EXPECT_EQ(NIMBUS_E_STOPPED, nimbus_drive_walk(drive, "/", 0, keep, &stopped));
    EXPECT_EQ(4u, stopped.paths.size());
    EXPECT_STREQ("the entry callback stopped the walk", nimbus_last_error());

    EXPECT_EQ(NIMBUS_E_BAD_PATH, nimbus_drive_walk(drive, "/a/../b", 0, keep, &stopped));
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_walk(drive, "/", 0, nullptr, nullptr));
    nimbus_drive_close(drive);
    drive = nullptr;
    nimbus_drive *bad = nullptr;
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_open(settings("\"WalkConcurrency\":17").c_str(),
                                                  nimbus_io_fake(), &bad));
    EXPECT_STREQ("WalkConcurrency must be an integer from 1 to 16", nimbus_last_error());
    for (const char *method : {"\"feed\"", "\"Listing\"", "\"listing\\u0000\"", "1"}) {
        EXPECT_EQ(NIMBUS_E_INVALID,
                  nimbus_drive_open(settings(std::string("\"WalkMethod\":") + method).c_str(),
                                    nimbus_io_fake(), &bad));
        EXPECT_STREQ("WalkMethod must be \"auto\", \"listing\" or \"changes\"",
                     nimbus_last_error());
    }
}

TEST_F(WalkTest, BrokenShortcutIsLeftOutAndReported) {
    script_token();
    script_get(entries_page(kRoot), 200,
               page({"{\"id\":\"S\",\"name\":\"Gone\",\"remoteItem\":{\"id\":\"R\","
                     "\"parentReference\":{\"driveId\":\"d2\"},\"folder\":{}}}",
                     item("A", "Artist", 1, true)}));
    script_get(children("S"), 404, "{\"error\":{\"code\":\"itemNotFound\"}}");
    script_get(kGraph + "/me/drive/items/S", 200,
               "{\"id\":\"S\",\"name\":\"Gone\",\"remoteItem\":{\"id\":\"R\","
               "\"parentReference\":{\"driveId\":\"d2\"},\"folder\":{}}}");
    script_get(entries_page(kGraph + "/drives/d2/items/R/children"), 403, "");
    script_get(children("A"), 200, page({item("a", "a.flac")}));
    open("\"WalkMethod\":\"listing\"");
    seen s;
    EXPECT_EQ(NIMBUS_E_PARTIAL, nimbus_drive_walk(drive, "/", 0, keep, &s));
    EXPECT_STREQ(
        "1 folder left out: shortcut /Gone is broken: the shared item is gone or no longer "
        "shared with you (access denied)",
        nimbus_last_error());
    EXPECT_EQ((std::multiset<std::string>{"/Gone", "/Artist", "/Artist/a.flac"}),
              std::multiset<std::string>(s.paths.begin(), s.paths.end()));
    EXPECT_STREQ("finished without some folders", nimbus_strerror(NIMBUS_E_PARTIAL));
}

// ---- The change-feed road ---------------------------------------------------

const std::string kDelta = kGraph + "/me/drive/root/delta?$top=1000&" + kEntries;
// The walked folder's look-up, which tells the feed its id.
const std::string kTop = lookup(kGraph + "/me/drive/root", kEntries);

// A feed item: a driveItem with its folder's id.
std::string in(const std::string &parent, const std::string &id, const std::string &name,
               bool folder = false) {
    std::string s = item(id, name, 1, folder);
    return s.substr(0, s.size() - 1) + ",\"parentReference\":{\"id\":\"" + parent + "\"}}";
}

// The tree of script_tree as the feed gives it: the root first, an album's
// tracks before the album and the album before its artist, a deleted item,
// and a track given again on the second page.
void script_feed() {
    script_token();
    script_get(kTop, 200, "{\"id\":\"ROOT\",\"name\":\"root\",\"folder\":{},\"root\":{}}");
    script_get(kDelta, 200,
               page({"{\"id\":\"ROOT\",\"name\":\"root\",\"folder\":{},\"root\":{}}",
                     in("A1", "d", "01.flac"), in("A", "A1", "Album", true), in("A", "a", "a.flac"),
                     "{\"id\":\"Z\",\"deleted\":{},\"parentReference\":{\"id\":\"ROOT\"}}",
                     in("ROOT", "f1", "top.flac")},
                    kGraph + "/me/drive/root/delta?$skiptoken=2"));
    script_get(kGraph + "/me/drive/root/delta?$skiptoken=2", 200,
               "{\"value\":[" + in("ROOT", "A", "Artist", true) + "," +
                   in("ROOT", "B", "Other", true) + "," + in("B", "b", "b.flac") + "," +
                   in("A", "a2", "b.flac") + "," + in("A1", "d2", "02.flac") + "," +
                   in("A", "a", "a.flac") + "],\"@odata.deltaLink\":\"" + kGraph +
                   "/me/drive/root/delta?token=T\"}");
}

std::multiset<std::string> paths_of(const seen &s) {
    return std::multiset<std::string>(s.paths.begin(), s.paths.end());
}

TEST_F(WalkTest, ChangeFeedGivesEveryEntryOnceWithItsPath) {
    script_feed();
    open("\"WalkMethod\":\"changes\"");
    const std::multiset<std::string> all = tree_paths();
    seen s;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 0, keep, &s)) << nimbus_last_error();
    EXPECT_FALSE(s.overlapped);
    EXPECT_EQ(all, paths_of(s));
    // A folder's entries come after it, even when the feed sent them first.
    auto at = [&s](const std::string &p) {
        return std::find(s.paths.begin(), s.paths.end(), p) - s.paths.begin();
    };
    EXPECT_LT(at("/Artist"), at("/Artist/Album"));
    EXPECT_LT(at("/Artist/Album"), at("/Artist/Album/01.flac"));
    // One look-up and the feed's two pages; nothing is listed.
    EXPECT_EQ(1, gets(kTop));
    EXPECT_EQ(1, gets(kDelta));
    EXPECT_EQ(0, gets(entries_page(kRoot)));

    // Depth counts from the walked folder as on the listing road.
    seen one;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 1, keep, &one));
    EXPECT_EQ((std::multiset<std::string>{"/Artist", "/Other", "/top.flac"}), paths_of(one));
    seen two;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 2, keep, &two));
    EXPECT_EQ(7u, two.paths.size());
    EXPECT_EQ(0u, paths_of(two).count("/Artist/Album/01.flac"));

    // A non-zero answer stops the walk, also among entries held back.
    for (int after : {1, 2, 4}) {
        seen stopped;
        stopped.stop_after = after;
        EXPECT_EQ(NIMBUS_E_STOPPED, nimbus_drive_walk(drive, "/", 0, keep, &stopped));
        EXPECT_EQ(static_cast<size_t>(after), stopped.paths.size());
        EXPECT_STREQ("the entry callback stopped the walk", nimbus_last_error());
    }
    EXPECT_EQ(6, gets(kDelta));
}

TEST_F(WalkTest, ChangeFeedListsShortcutsAndOwnsUpToWhatItLeftOut) {
    script_token();
    script_get(lookup(kGraph + "/me/drive/root:/Music", kEntries), 200,
               "{\"id\":\"M\",\"name\":\"Music\",\"folder\":{}}");
    const std::string delta = kGraph + "/me/drive/items/M/delta?$top=1000&" + kEntries;
    const std::string shortcut = "{\"id\":\"S\",\"name\":\"Shared\",\"parentReference\":{\"id\":"
                                 "\"M\"},\"remoteItem\":{\"id\":\"R\",\"parentReference\":{"
                                 "\"driveId\":\"d2\"},\"folder\":{}}}";
    script_get(delta, 200,
               page({"{\"id\":\"M\",\"name\":\"Music\",\"folder\":{}}", shortcut,
                     in("GONE", "o", "orphan.flac"), in("M", "x", "x.flac"),
                     in("x", "inside", "in-a-file")}));
    script_get(children("S"), 404, "{\"error\":{\"code\":\"itemNotFound\"}}");
    script_get(kGraph + "/me/drive/items/S", 200, shortcut);
    script_get(entries_page(kGraph + "/drives/d2/items/R/children"), 200,
               page({item("r1", "remote.flac")}));
    open("\"WalkMethod\":\"changes\"");
    seen s;
    EXPECT_EQ(NIMBUS_E_PARTIAL, nimbus_drive_walk(drive, "/Music", 0, keep, &s));
    EXPECT_STREQ("1 entry left out: the change feed did not give its folder", nimbus_last_error());
    // The shortcut's entries come from its own drive, listed after the feed.
    EXPECT_EQ(
        (std::vector<std::string>{"/Music/Shared", "/Music/x.flac", "/Music/Shared/remote.flac"}),
        s.paths);
    EXPECT_EQ(1, gets(delta));

    // Within the depth a shortcut's own entries are not listed.
    seen one;
    EXPECT_EQ(NIMBUS_E_PARTIAL, nimbus_drive_walk(drive, "/Music", 1, keep, &one));
    EXPECT_EQ((std::vector<std::string>{"/Music/Shared", "/Music/x.flac"}), one.paths);
    EXPECT_EQ(1, gets(entries_page(kGraph + "/drives/d2/items/R/children")));

    // Beneath a configured root, paths start at that root.
    nimbus_drive_close(drive);
    drive = nullptr;
    open("\"WalkMethod\":\"changes\",\"Path\":\"/Music\"");
    seen rooted;
    EXPECT_EQ(NIMBUS_E_PARTIAL, nimbus_drive_walk(drive, "/", 0, keep, &rooted));
    EXPECT_EQ((std::vector<std::string>{"/Shared", "/x.flac", "/Shared/remote.flac"}),
              rooted.paths);
    EXPECT_EQ(3, gets(delta));
}

TEST_F(WalkTest, RoadByDriveDepthAndAnswer) {
    // A personal drive walks a deep tree by the feed, a shallow one by listings.
    script_tree();
    script_get(kTop, 200, "{\"id\":\"ROOT\",\"folder\":{}}");
    script_get(kDelta, 200, page({in("ROOT", "f1", "top.flac")}));
    open();
    seen deep, shallow;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 3, keep, &deep)) << nimbus_last_error();
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 2, keep, &shallow)) << nimbus_last_error();
    EXPECT_EQ(std::vector<std::string>{"/top.flac"}, deep.paths);
    EXPECT_EQ(7u, shallow.paths.size());
    EXPECT_EQ(1, gets(kDelta));
    nimbus_drive_close(drive);
    drive = nullptr;

    // A business drive's feed covers only its root: elsewhere, listings.
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings("\"RuntimeType\":\"ONEDRIVEB\"").c_str(),
                                           nimbus_io_fake(), &drive));
    script_get(entries_page(kGraph + "/me/drive/root:/Artist:/children"), 200,
               page({item("x", "x.flac")}));
    seen business;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/Artist", 0, keep, &business));
    EXPECT_EQ(std::vector<std::string>{"/Artist/x.flac"}, business.paths);
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 0, keep, &business));
    EXPECT_EQ(2, gets(kDelta));
    EXPECT_EQ(0, gets(lookup(kGraph + "/me/drive/root:/Artist", kEntries)));

    // A feed refused at its first page leaves the walk to the listings.
    script_get(kDelta, 400, "{\"error\":{\"code\":\"invalidRequest\"}}");
    seen refused;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 0, keep, &refused));
    EXPECT_EQ(9u, refused.paths.size());
}

// ---- Loops and chains ------------------------------------------------------

std::string shortcut_to(const std::string &id, const std::string &name, const std::string &target) {
    return "{\"id\":\"" + id + "\",\"name\":\"" + name + "\",\"remoteItem\":{\"id\":\"" + target +
           "\",\"parentReference\":{\"driveId\":\"d2\"},\"folder\":{}}}";
}

std::string levels(int n, const std::string &last = "") {
    std::string s;
    for (int i = 0; i < n; i++)
        s += "/a";
    return s + last;
}

TEST_F(WalkTest, LoopsAreListedOnceAndReported) {
    // A lists B lists A; X lists itself; two shortcuts lead to R, whose G
    // lists R again by its id on that drive.
    script_token();
    script_get(entries_page(kRoot), 200,
               page({item("A", "A", 1, true), item("X", "X", 1, true),
                     shortcut_to("S", "Shared", "R"), shortcut_to("S3", "Again", "R")}));
    script_get(children("A"), 200, page({item("B", "B", 1, true)}));
    script_get(children("B"), 200, page({item("A", "A", 1, true), item("b", "b.flac")}));
    script_get(children("X"), 200, page({item("X", "X", 1, true)}));
    for (const char *s : {"S", "S3"}) {
        script_get(children(s), 200, page({}));
        script_get(kGraph + "/me/drive/items/" + s, 200,
                   shortcut_to(s, s[1] ? "Again" : "Shared", "R"));
    }
    const std::string remote = kGraph + "/drives/d2/items/";
    script_get(entries_page(remote + "R/children"), 200, page({item("G", "G", 1, true)}));
    script_get(entries_page(remote + "G/children"), 200, page({item("R", "R", 1, true)}));
    open("\"WalkMethod\":\"listing\",\"WalkConcurrency\":1");
    seen s;
    EXPECT_EQ(NIMBUS_E_PARTIAL, nimbus_drive_walk(drive, "/", 0, keep, &s));
    EXPECT_STREQ("4 folders listed before not listed again (a loop): /Again", nimbus_last_error());
    EXPECT_EQ((std::multiset<std::string>{"/A", "/X", "/Shared", "/Again", "/A/B", "/X/X",
                                          "/Shared/G", "/A/B/A", "/A/B/b.flac", "/Shared/G/R"}),
              paths_of(s));
    for (const std::string &url :
         {children("A"), children("B"), children("X"), entries_page(remote + "R/children"),
          entries_page(remote + "G/children")})
        EXPECT_EQ(1, gets(url)) << url;
    // The shortcuts' facets lead to R: their own ids are never asked.
    for (const char *s : {"S", "S3"}) {
        EXPECT_EQ(0, gets(children(s))) << s;
        EXPECT_EQ(0, gets(kGraph + "/me/drive/items/" + s)) << s;
    }

    // A folder given by id that lists itself, by the listing road.
    seen self;
    EXPECT_EQ(NIMBUS_E_PARTIAL, nimbus_drive_walk(drive, "X", 0, keep, &self));
    EXPECT_STREQ("1 folder listed before not listed again (a loop): X", nimbus_last_error());
    EXPECT_EQ(std::vector<std::string>{"-"}, self.paths);
}

TEST_F(WalkTest, ChainsAreCutPastTheLevelBoundOnBothRoads) {
    // c1 to c257 nest as "a" folders; the file in c255 has 256 levels, the
    // one in c256 and the folder c257 have 257.
    script_token();
    std::vector<std::string> feed{"{\"id\":\"ROOT\",\"name\":\"root\",\"folder\":{},\"root\":{}}"};
    script_get(entries_page(kRoot), 200, page({item("c1", "a", 1, true)}));
    for (int k = 1; k <= 257; k++) {
        std::string id = "c" + std::to_string(k), next = "c" + std::to_string(k + 1);
        std::vector<std::string> in_it;
        if (k < 257)
            in_it.push_back(item(next, "a", 1, true));
        if (k == 255 || k == 256)
            in_it.push_back(item("f" + id, "f"));
        script_get(children(id), 200, page(in_it));
        feed.push_back(in(k == 1 ? "ROOT" : "c" + std::to_string(k - 1), id, "a", true));
        if (k == 255 || k == 256)
            feed.push_back(in(id, "f" + id, "f"));
    }
    feed.push_back(in("ROOT", "r", "rest.flac"));
    script_get(kTop, 200, feed[0]);
    script_get(kDelta, 200, page(feed));
    const std::string shown = levels(100, "...");
    for (const char *method : {"listing", "changes"}) {
        nimbus_drive_close(drive);
        drive = nullptr;
        open(std::string("\"WalkMethod\":\"") + method + "\"");
        seen s;
        EXPECT_EQ(NIMBUS_E_PARTIAL, nimbus_drive_walk(drive, "/", 0, keep, &s)) << method;
        bool feed_road = method[0] == 'c';
        EXPECT_EQ("2 entries left out past 256 levels or 2048 bytes of path, the first in " + shown,
                  nimbus_last_error())
            << method;
        std::multiset<std::string> want{levels(255, "/f")};
        for (int k = 1; k <= 256; k++)
            want.insert(levels(k));
        if (feed_road)
            want.insert("/rest.flac");
        EXPECT_EQ(want, paths_of(s)) << method;
    }
    EXPECT_EQ(1, gets(children("c256")));
    EXPECT_EQ(0, gets(children("c257")));
}

} // namespace
