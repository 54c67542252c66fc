// nimbus_drive_walk against the fake transport with helper threads: every
// entry of a three-level tree once with its full path, the callback never
// entered twice at once, depth limits, a stop, and a broken shortcut left
// out with its own code.
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

std::string children(const std::string &id) {
    return first_page(kGraph + "/me/drive/items/" + id + "/children");
}

void script_tree() {
    script_token();
    script_get(
        first_page(kRoot), 200,
        page({item("A", "Artist", 1, true), item("B", "Other", 1, true), item("f1", "top.flac")}));
    script_get(children("A"), 200,
               page({item("A1", "Album", 1, true), item("a", "a.flac")},
                    kGraph + "/me/drive/items/A/children?p=2"));
    script_get(kGraph + "/me/drive/items/A/children?p=2", 200, page({item("a2", "b.flac")}));
    script_get(children("B"), 200, page({item("b", "b.flac")}));
    script_get(children("A1"), 200, page({item("d", "01.flac"), item("d2", "02.flac")}));
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
    open("\"WalkConcurrency\":3");
    std::multiset<std::string> all = {"/Artist",
                                      "/Other",
                                      "/top.flac",
                                      "/Artist/Album",
                                      "/Artist/a.flac",
                                      "/Artist/b.flac",
                                      "/Other/b.flac",
                                      "/Artist/Album/01.flac",
                                      "/Artist/Album/02.flac"};
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
}

TEST_F(WalkTest, BrokenShortcutIsLeftOutAndReported) {
    script_token();
    script_get(first_page(kRoot), 200,
               page({"{\"id\":\"S\",\"name\":\"Gone\",\"remoteItem\":{\"id\":\"R\","
                     "\"parentReference\":{\"driveId\":\"d2\"},\"folder\":{}}}",
                     item("A", "Artist", 1, true)}));
    script_get(children("S"), 404, "{\"error\":{\"code\":\"itemNotFound\"}}");
    script_get(kGraph + "/me/drive/items/S", 200,
               "{\"id\":\"S\",\"name\":\"Gone\",\"remoteItem\":{\"id\":\"R\","
               "\"parentReference\":{\"driveId\":\"d2\"},\"folder\":{}}}");
    script_get(first_page(kGraph + "/drives/d2/items/R/children"), 403, "");
    script_get(children("A"), 200, page({item("a", "a.flac")}));
    open();
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

} // namespace
