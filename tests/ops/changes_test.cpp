// nimbus_drive_changes against the fake transport: everything now, then
// exactly a rename, an addition and a deletion through the cursor, paging
// to the deltaLink, an expired cursor, a foreign cursor, and a business
// drive's feed outside its root; the cursor of the present without the
// drive's whole feed; paths from the feed's folder ids and from folders
// looked up by id, and the bound of those look-ups.
#include <cstdlib>
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

const std::string kDelta = kGraph + "/me/drive/root/delta";

std::string feed(const std::vector<std::string> &items, const std::string &link, bool last) {
    std::string s = page(items);
    s.pop_back();
    return s + ",\"@odata." + (last ? "deltaLink" : "nextLink") + "\":\"" + link + "\"}";
}

// A change feed item as the service sends it: its folder by id only.
std::string child(const std::string &id, const std::string &name, const std::string &parent,
                  const std::string &facet = "\"file\":{}") {
    return "{\"id\":\"" + id + "\",\"name\":\"" + name + "\"," + facet +
           ",\"parentReference\":{\"id\":\"" + parent + "\"}}";
}

int keep_path(void *ctx, const nimbus_entry *e) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(
        std::string(e->deleted ? "deleted " : "") + e->id + " " + (e->path ? e->path : "(null)"));
    return 0;
}

int keep(void *ctx, const nimbus_entry *e) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(
        std::string(e->deleted ? "deleted " : "") + e->id + " " + e->name);
    return 0;
}

TEST_F(FakeTest, ChangesReportExactlyWhatChanged) {
    script_token();
    script_get(entries_page(kDelta), 200,
               feed({item("a", "a.flac"), item("b", "b.flac")}, kDelta + "?token=p2", false));
    script_get(kDelta + "?token=p2", 200, feed({item("c", "c.flac")}, kDelta + "?token=T1", true));
    script_get(kDelta + "?token=T1", 200,
               feed({item("a", "renamed.flac"), item("d", "new.flac"),
                     "{\"id\":\"b\",\"deleted\":{\"state\":\"deleted\"}}"},
                    kDelta + "?token=T2", true));
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    std::vector<std::string> got;
    char *cursor = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, nullptr, nullptr, keep, &got, &cursor))
        << nimbus_last_error();
    EXPECT_EQ((std::vector<std::string>{"a a.flac", "b b.flac", "c c.flac"}), got);
    ASSERT_NE(nullptr, cursor);
    EXPECT_EQ(kDelta + "?token=T1", cursor);

    got.clear();
    char *next = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, "/", cursor, keep, &got, &next));
    EXPECT_EQ((std::vector<std::string>{"a renamed.flac", "d new.flac", "deleted b b"}), got);
    EXPECT_EQ(kDelta + "?token=T2", next);
    std::free(cursor);
    std::free(next);

    // An expired cursor has its own code; a foreign one is never requested.
    script_get(kDelta + "?token=old", 410,
               "{\"error\":{\"code\":\"resyncRequired\",\"message\":\"Resync required\"}}");
    next = reinterpret_cast<char *>(1);
    EXPECT_EQ(NIMBUS_E_RESYNC, nimbus_drive_changes(drive, nullptr, (kDelta + "?token=old").c_str(),
                                                    keep, &got, &next));
    EXPECT_EQ(nullptr, next);
    EXPECT_STREQ("changes: the service no longer accepts the cursor (resyncRequired); start over "
                 "without one",
                 nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_INVALID,
              nimbus_drive_changes(drive, nullptr, "https://graph.microsoft.com.evil/v1.0/x", keep,
                                   &got, &next));
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, "https://graph.microsoft.com.evil/v1.0/x"));
    // A last page without a deltaLink is no cursor.
    script_get(entries_page(kGraph + "/me/drive/root:/Music:/delta"), 200, page({}));
    EXPECT_EQ(NIMBUS_E_FAILED, nimbus_drive_changes(drive, "/Music", nullptr, keep, &got, &next));
    // An error envelope without a message is named by its code.
    script_get(entries_page(kGraph + "/me/drive/root:/Music:/delta"), 200,
               R"({"error":{"code":"generalException"},"value":[]})");
    EXPECT_EQ(NIMBUS_E_FAILED, nimbus_drive_changes(drive, "/Music", nullptr, keep, &got, &next));
    EXPECT_STREQ("change feed: Graph error generalException", nimbus_last_error());
    nimbus_drive_close(drive);

    // A business drive's feed covers its root only.
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings("\"RuntimeType\":\"ONEDRIVEB\"").c_str(),
                                           nimbus_io_fake(), &drive));
    int before = nimbus_fake_calls(nullptr, nullptr);
    EXPECT_EQ(NIMBUS_E_UNSUPPORTED,
              nimbus_drive_changes(drive, "/Music", nullptr, keep, &got, &next));
    EXPECT_STREQ("changes: a business drive's change feed covers only the drive's root",
                 nimbus_last_error());
    EXPECT_EQ(before, nimbus_fake_calls(nullptr, nullptr));
    nimbus_drive_close(drive);
    EXPECT_STREQ("change cursor expired: start over", nimbus_strerror(NIMBUS_E_RESYNC));
}

TEST_F(FakeTest, ChangesLatestCursorReadsOnePageOfNothing) {
    script_token();
    const std::string latest = kDelta + "?token=latest";
    script_get(latest, 200, feed({}, kDelta + "?token=NOW", true));
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    std::vector<std::string> got;
    char *cursor = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, "", NIMBUS_CURSOR_LATEST, keep, &got, &cursor))
        << nimbus_last_error();
    EXPECT_TRUE(got.empty());
    ASSERT_NE(nullptr, cursor);
    EXPECT_EQ(kDelta + "?token=NOW", cursor);
    std::free(cursor);
    EXPECT_EQ(1, gets(latest));
    EXPECT_EQ(0, gets(entries_page(kDelta))); // the drive's feed is not read
    nimbus_drive_close(drive);

    // A business drive below its root is refused before any request.
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings("\"RuntimeType\":\"ONEDRIVEB\"").c_str(),
                                           nimbus_io_fake(), &drive));
    int before = nimbus_fake_calls(nullptr, nullptr);
    cursor = reinterpret_cast<char *>(1);
    EXPECT_EQ(NIMBUS_E_UNSUPPORTED,
              nimbus_drive_changes(drive, "/Music", NIMBUS_CURSOR_LATEST, keep, &got, &cursor));
    EXPECT_EQ(nullptr, cursor);
    EXPECT_EQ(before, nimbus_fake_calls(nullptr, nullptr));
    nimbus_drive_close(drive);
}

TEST_F(FakeTest, ChangesPathsFromFolderIdsAndOneLookUpPerUnnamedFolder) {
    script_token();
    // Everything now, every item before its folder: paths from the ids.
    script_get(entries_page(kDelta), 200,
               feed({child("x", "x.flac", "A"), child("A", "Album", "M", "\"folder\":{}"),
                     child("M", "Music", "R", "\"folder\":{}"),
                     "{\"id\":\"R\",\"root\":{},\"folder\":{}}"},
                    kDelta + "?token=T1", true));
    // Then a rename and an addition in unchanged folders, deletions in the
    // root (one without its name: no path), an item whose reference gives
    // its folder's path, an item of a folder that is gone, and one of a
    // folder the feed names further on. q is held back for that folder,
    // then given again, moved to a folder the feed names: only its latest
    // sight is reported.
    script_get(
        kDelta + "?token=T1", 200,
        feed({child("q", "q-old.flac", "F"), child("x", "y.flac", "A"), child("w", "w.flac", "A"),
              child("l", "late.flac", "F"), child("n", "n.flac", "B"),
              "{\"id\":\"d\",\"deleted\":{},\"parentReference\":{\"id\":\"C\"}}",
              "{\"id\":\"e\",\"name\":\"e.flac\",\"deleted\":{},\"parentReference\":{"
              "\"id\":\"C\"}}",
              "{\"id\":\"k\",\"name\":\"k.flac\",\"file\":{},\"parentReference\":{"
              "\"id\":\"K\",\"path\":\"/drives/b1/root:/Docs\"}}",
              "{\"id\":\"q\",\"name\":\"q.flac\",\"file\":{},\"parentReference\":{"
              "\"id\":\"K\"}}",
              child("z", "z.flac", "G"), child("F", "Later", "B", "\"folder\":{}")},
             kDelta + "?token=T2", true));
    // The feed's folders looked up by id, for their paths.
    auto at = [](const std::string &id) {
        return lookup(kGraph + "/me/drive/items/" + id, kEntries);
    };
    script_get(at("A"), 200,
               "{\"id\":\"A\",\"name\":\"Album\",\"folder\":{},\"parentReference\":{\"id\":\"M\","
               "\"path\":\"/drive/root:/Music\"}}");
    script_get(at("B"), 200,
               "{\"id\":\"B\",\"name\":\"Films\",\"folder\":{},\"parentReference\":{\"path\":"
               "\"/drive/root:\"}}");
    script_get(at("C"), 200, "{\"id\":\"C\",\"root\":{},\"folder\":{}}");
    script_get(at("G"), 404, "{\"error\":{\"code\":\"itemNotFound\",\"message\":\"gone\"}}");
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    std::vector<std::string> got;
    char *cursor = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, nullptr, nullptr, keep_path, &got, &cursor))
        << nimbus_last_error();
    EXPECT_EQ(
        (std::vector<std::string>{"R /", "M /Music", "A /Music/Album", "x /Music/Album/x.flac"}),
        got);
    EXPECT_EQ(0, nimbus_fake_calls("GET", (at("A")).c_str()));

    got.clear();
    char *next = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, nullptr, cursor, keep_path, &got, &next))
        << nimbus_last_error();
    EXPECT_EQ((std::vector<std::string>{"k /Docs/k.flac", "q /Docs/q.flac", "x /Music/Album/y.flac",
                                        "w /Music/Album/w.flac", "n /Films/n.flac",
                                        "F /Films/Later", "l /Films/Later/late.flac",
                                        "deleted d (null)", "deleted e /e.flac", "z (null)"}),
              got);
    for (const char *id : {"A", "B", "C", "G"})
        EXPECT_EQ(1, nimbus_fake_calls("GET", at(id).c_str())) << id;
    for (const char *id : {"F", "K"})
        EXPECT_EQ(0, nimbus_fake_calls("GET", at(id).c_str())) << id;
    std::free(cursor);
    std::free(next);
    nimbus_drive_close(drive);

    // Beneath a configured root: paths are virtual, the root itself is "/"
    // and what lies outside it has none.
    script_get(entries_page(kGraph + "/me/drive/root:/Music:/delta"), 200,
               feed({child("M", "Music", "R", "\"folder\":{}"), child("x", "x.flac", "M"),
                     child("o", "o.flac", "P")},
                    kDelta + "?token=T3", true));
    script_get(at("R"), 200, "{\"id\":\"R\",\"root\":{},\"folder\":{}}");
    script_get(at("P"), 200,
               "{\"id\":\"P\",\"name\":\"Other\",\"folder\":{},\"parentReference\":{\"path\":"
               "\"/drive/root:\"}}");
    ASSERT_EQ(NIMBUS_OK,
              nimbus_drive_open(settings("\"Path\":\"/Music\"").c_str(), nimbus_io_fake(), &drive));
    got.clear();
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, nullptr, nullptr, keep_path, &got, &next))
        << nimbus_last_error();
    EXPECT_EQ((std::vector<std::string>{"M /", "x /x.flac", "o (null)"}), got);
    std::free(next);
    nimbus_drive_close(drive);
}

// Items in N folders the feed never names, each folder looked up once.
std::vector<std::string> unnamed_folders(int n, int *lookups) {
    std::vector<std::string> value;
    for (int i = 0; i < n; i++) {
        std::string f = "F" + std::to_string(i);
        value.push_back(child("i" + std::to_string(i), "a.flac", f));
        script_get(lookup(kGraph + "/me/drive/items/" + f, kEntries), 200,
                   "{\"id\":\"" + f + "\",\"name\":\"" + f +
                       "\",\"folder\":{},\"parentReference\":{\"path\":\"/drive/root:\"}}");
    }
    script_get(entries_page(kDelta), 200, feed(value, kDelta + "?token=T", true));
    nimbus_drive *drive = nullptr;
    std::vector<std::string> got;
    char *next = nullptr;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, nullptr, nullptr, keep_path, &got, &next));
    std::free(next);
    nimbus_drive_close(drive);
    *lookups = 0;
    for (int i = 0; i < n; i++)
        *lookups += nimbus_fake_calls(
            "GET", lookup(kGraph + "/me/drive/items/F" + std::to_string(i), kEntries).c_str());
    return got;
}

TEST_F(FakeTest, ChangesLookUpAtMost200FoldersPerCall) {
    script_token();
    int lookups = 0;
    std::vector<std::string> got = unnamed_folders(200, &lookups);
    ASSERT_EQ(200u, got.size());
    EXPECT_EQ(200, lookups);
    EXPECT_EQ("i199 /F199/a.flac", got.back());

    nimbus_fake_reset();
    script_token();
    got = unnamed_folders(201, &lookups);
    ASSERT_EQ(201u, got.size());
    EXPECT_EQ(200, lookups);
    EXPECT_EQ("i199 /F199/a.flac", got[199]);
    EXPECT_EQ("i200 (null)", got[200]);
}

} // namespace
