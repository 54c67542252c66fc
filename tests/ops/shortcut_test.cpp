// Shortcuts to shared folders and files, through the flat requests and the
// drive handle: listed as folders, followed onto their own drive by path
// and by id at the cost of the probes down to the shortcut, a shortcut to a
// file streamed as that file, and a broken shortcut named in one line.
#include <algorithm>
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

const std::string kRemote = kGraph + "/drives/b!DRV-2/items/R!1";
const std::string kGone = "{\"error\":{\"code\":\"itemNotFound\",\"message\":\"gone\"}}";

// The shortcut as the account's drive lists it: no folder facet of its
// own, the shared folder's in its remoteItem.
std::string shortcut(const std::string &id, const std::string &name, bool folder) {
    return "{\"id\":\"" + id + "\",\"name\":\"" + name +
           "\",\"size\":0,\"remoteItem\":{\"id\":\"R!1\",\"parentReference\":{\"driveId\":"
           "\"b!DRV-2\"}" +
           (folder ? ",\"folder\":{\"childCount\":1}" : ",\"file\":{}") + "}}";
}

// A listing's first page as the flat request and the handle's listing ask
// for it (each with its own members): the same answer to both.
void script_listing(const std::string &url, int status, const std::string &body) {
    script_get(first_page(url), status, body);
    script_get(handle_page(url), status, body);
}

void script_tree() {
    script_token();
    script_listing(kRoot, 200,
                   page({shortcut("S!1", "Shared Music", true), item("F!1", "Local", 1, true)}));
    // Graph does not follow a shortcut in a path.
    script_listing(kGraph + "/me/drive/root:/Shared%20Music/Album:/children", 404,
                   "{\"error\":{\"code\":\"itemNotFound\",\"message\":\"gone\"}}");
    script_get(kGraph + "/me/drive/root:/Shared%20Music", 200,
               shortcut("S!1", "Shared Music", true));
    script_listing(kRemote + ":/Album:/children", 200, page({item("R!7", "01.flac", 9)}));
    script_get(first_page(kGraph + "/me/drive/items/S!1/children"), 404, kGone);
    script_get(kGraph + "/me/drive/items/S!1", 200, shortcut("S!1", "Shared Music", true));
    script_listing(kRemote + "/children", 200, page({item("R!2", "Album", 1, true)}));
}

struct named {
    std::vector<std::string> seen; // path|id|drive|folder
};

int keep(void *ctx, const nimbus_entry *e) {
    static_cast<named *>(ctx)->seen.push_back(std::string(e->path ? e->path : "-") + "|" + e->id +
                                              "|" + (e->drive_id ? e->drive_id : "-") + "|" +
                                              (e->folder ? "dir" : "file"));
    return 0;
}

TEST_F(FakeTest, ShortcutFolderIsAFolderAndIsFollowed) {
    script_tree();
    // The root: the shortcut is a folder (the only change to these answers).
    outcome o = list(settings(), nullptr);
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(items_json({entry("Shared Music", "/Shared Music", true, 0, 0, "S!1", ""),
                          entry("Local", "/Local", true, 1, 0, "F!1", "")}),
              o.out);

    // By path beneath it: one probe finds the shortcut, the rest is asked
    // of its drive, and the entries carry ids that address that drive.
    o = list(settings(), "/Shared Music/Album");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(items_json({entry("01.flac", "/Shared Music/Album/01.flac", false, 9, 0,
                                "drives/b!DRV-2/items/R!7", "/Shared Music/Album")}),
              o.out);
    EXPECT_EQ(1, gets(kGraph + "/me/drive/root:/Shared%20Music"));

    // By the shortcut's id: one item request.
    o = list(settings(), "S!1");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(
        items_json({entry("Album", "S!1/Album", true, 1, 0, "drives/b!DRV-2/items/R!2", "S!1")}),
        o.out);

    // The handle: drive_id is the shared folder's drive, paths stay virtual.
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    named n;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/", keep, &n)) << nimbus_last_error();
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/Shared Music/Album", keep, &n))
        << nimbus_last_error();
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "drives/b!DRV-2/items/R!1", keep, &n))
        << nimbus_last_error();
    nimbus_drive_close(drive);
    EXPECT_EQ((std::vector<std::string>{"/Shared Music|S!1|b!DRV-2|dir", "/Local|F!1|-|dir",
                                        "/Shared Music/Album/01.flac|drives/b!DRV-2/items/R!7|"
                                        "b!DRV-2|file",
                                        "-|drives/b!DRV-2/items/R!2|b!DRV-2|dir"}),
              n.seen);
}

TEST_F(FakeTest, ShortcutFileStreamsAndBrokenShortcutIsNamed) {
    script_token();
    const std::string url = "https://dl.example/f?tempauth=x";
    // A shortcut to a file: its own item has no download URL, the shared
    // file's has.
    script_get(kGraph + "/me/drive/root:/Song.flac", 200, shortcut("S!2", "Song.flac", false));
    script_get(kRemote, 200,
               "{\"id\":\"R!1\",\"name\":\"Song.flac\",\"size\":7,\"file\":{},"
               "\"@microsoft.graph.downloadUrl\":\"" +
                   url + "\"}");
    outcome o = stream(settings(), "\"/Song.flac\"");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ("{\"url\":\"" + url +
                  "\",\"id\":\"drives/b!DRV-2/items/R!1\",\"name\":\"Song.flac\",\"size\":7,"
                  "\"range\":true}",
              o.out);

    // Beneath a shortcut whose shared folder is gone: one line naming it.
    script_get(kGraph + "/me/drive/root:/Gone/a.flac", 404, kGone);
    script_get(kGraph + "/me/drive/root:/Gone", 200, shortcut("S!3", "Gone", true));
    script_get(kRemote + ":/a.flac:", 403, "{\"error\":{\"code\":\"accessDenied\"}}");
    o = stream(settings(), "\"/Gone/a.flac\"");
    expect_failure(o, NIMBUS_E_AUTH,
                   "shortcut /Gone is broken: the shared item is gone or no longer shared with "
                   "you (access denied)");
    script_get(first_page(kGraph + "/me/drive/root:/Gone:/children"), 404, kGone);
    script_get(first_page(kRemote + "/children"), 404, "");
    o = list(settings(), "/Gone");
    expect_failure(o, NIMBUS_E_NOT_FOUND,
                   "shortcut /Gone is broken: the shared item is gone or no longer shared with "
                   "you (not found)");
    // An ordinary missing path keeps its own message after the probes.
    script_get(kGraph + "/me/drive/root:/Nope/x.flac", 404, kGone);
    script_get(kGraph + "/me/drive/root:/Nope", 404, kGone);
    o = stream(settings(), "\"/Nope/x.flac\"");
    expect_failure(o, NIMBUS_E_NOT_FOUND, "item: /Nope/x.flac answered HTTP 404: " + kGone);
    EXPECT_EQ(1, gets(kGraph + "/me/drive/root:/Nope"));
    // A 404 that is not Graph's own costs no probe.
    script_get(kGraph + "/me/drive/root:/Else/x.flac", 404, "");
    script_get(kGraph + "/me/drive/root:/Else", 404, kGone);
    o = stream(settings(), "\"/Else/x.flac\"");
    expect_failure(o, NIMBUS_E_NOT_FOUND, "item: /Else/x.flac answered HTTP 404");
    EXPECT_EQ(0, gets(kGraph + "/me/drive/root:/Else"));
}

TEST_F(FakeTest, ShortcutWhoseChildrenAreEmptyIsFollowedByItsFacet) {
    // As Graph answers: the shortcut's own children, and a path through
    // it, are empty pages; only an item beneath it is not found.
    script_token();
    const std::string by_path = kGraph + "/me/drive/root:/Shared%20Music";
    // The root is walked only, the file shortcut listed by the handle only.
    script_get(entries_page(kRoot), 200,
               page({shortcut("S!1", "Shared Music", true), item("E!1", "Empty", 0, true),
                     shortcut("S!2", "Song.flac", false)}));
    script_listing(by_path + ":/children", 200, page({}));
    script_get(by_path, 200, shortcut("S!1", "Shared Music", true));
    script_listing(by_path + "/Album:/children", 200, page({}));
    script_get(by_path + "/Album", 404, kGone);
    script_listing(kGraph + "/me/drive/items/S!1/children", 200, page({}));
    script_get(kGraph + "/me/drive/items/S!1", 200, shortcut("S!1", "Shared Music", true));
    script_listing(kRemote + "/children", 200, page({item("R!2", "Album", 1, true)}));
    script_get(entries_page(kRemote + "/children"), 200, page({item("R!2", "Album", 1, true)}));
    script_listing(kRemote + ":/Album:/children", 200, page({item("R!7", "01.flac", 9)}));
    script_get(first_page(kGraph + "/me/drive/root:/Empty:/children"), 200, page({}));
    script_get(kGraph + "/me/drive/root:/Empty", 200, item("E!1", "Empty", 0, true));
    script_get(handle_page(kGraph + "/me/drive/root:/Song.flac:/children"), 200, page({}));
    script_get(kGraph + "/me/drive/root:/Song.flac", 200, shortcut("S!2", "Song.flac", false));

    // The flat request: the shortcut itself costs one look-up.
    outcome o = list(settings(), "/Shared Music");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(items_json({entry("Album", "/Shared Music/Album", true, 1, 0,
                                "drives/b!DRV-2/items/R!2", "/Shared Music")}),
              o.out);
    EXPECT_EQ(1, gets(by_path));
    o = list(settings(), "S!1");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    o = list(settings(), "/Shared Music/Album");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_NE(std::string::npos, o.out.find("drives/b!DRV-2/items/R!7")) << o.out;
    o = list(settings(), "/Empty");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ("{\"items\":[]}", o.out);
    // A deep path that is not there costs its levels that are, no more.
    script_get(first_page(kGraph + "/me/drive/root:/Nope/a/b:/children"), 404, kGone);
    for (const char *p : {"/Nope/a/b", "/Nope/a", "/Nope"})
        script_get(kGraph + "/me/drive/root:" + p, 404, kGone);
    expect_failure(list(settings(), "/Nope/a/b"), NIMBUS_E_NOT_FOUND,
                   "children: " + first_page(kGraph + "/me/drive/root:/Nope/a/b:/children") +
                       " answered HTTP 404: " + kGone);
    EXPECT_EQ(1, gets(kGraph + "/me/drive/root:/Nope/a/b"));
    EXPECT_EQ(1, gets(kGraph + "/me/drive/root:/Nope"));
    EXPECT_EQ(0, gets(kGraph + "/me/drive/root:/Nope/a"));

    // The handle, its walk by listings: the shortcut's own id is never
    // listed, the empty folder is, the file shortcut is no folder.
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings("\"WalkMethod\":\"listing\"").c_str(),
                                           nimbus_io_fake(), &drive));
    named n;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/Shared Music", keep, &n))
        << nimbus_last_error();
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "S!1", keep, &n)) << nimbus_last_error();
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/Shared Music/Album", keep, &n))
        << nimbus_last_error();
    EXPECT_EQ(NIMBUS_E_NOT_FOLDER, nimbus_drive_list(drive, "/Song.flac", keep, &n));
    script_get(entries_page(kGraph + "/me/drive/items/E!1/children"), 200, page({}));
    script_get(kGraph + "/me/drive/items/E!1", 200, item("E!1", "Empty", 0, true));
    script_get(entries_page(kGraph + "/drives/b!DRV-2/items/R!2/children"), 200,
               page({item("R!7", "01.flac", 9)}));
    int listed = gets(entries_page(kGraph + "/me/drive/items/S!1/children"));
    named w;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_walk(drive, "/", 0, keep, &w)) << nimbus_last_error();
    nimbus_drive_close(drive);
    EXPECT_EQ(listed, gets(entries_page(kGraph + "/me/drive/items/S!1/children")));
    // Folders listed at once interleave their entries: the order is not the test's.
    std::sort(w.seen.begin(), w.seen.end());
    EXPECT_EQ(
        (std::vector<std::string>{
            "/Empty|E!1|-|dir", "/Shared Music/Album/01.flac|drives/b!DRV-2/items/R!7|b!DRV-2|file",
            "/Shared Music/Album|drives/b!DRV-2/items/R!2|b!DRV-2|dir",
            "/Shared Music|S!1|b!DRV-2|dir", "/Song.flac|S!2|b!DRV-2|file"}),
        w.seen);
}

// A shortcut to a file as the account's drive lists it: size 0 of its own,
// the shared file's members in its remoteItem (remote_extra, JSON members).
std::string file_link(const std::string &id, const std::string &name,
                      const std::string &remote_extra) {
    return "{\"id\":\"" + id + "\",\"name\":\"" + name +
           "\",\"size\":0,\"lastModifiedDateTime\":\"2020-01-01T00:00:00Z\",\"remoteItem\":{"
           "\"id\":\"R!1\",\"name\":\"single.flac\",\"parentReference\":{\"driveId\":"
           "\"b!DRV-2\"}" +
           remote_extra + "}}";
}

const std::string kFull =
    ",\"size\":99,\"lastModifiedDateTime\":\"2024-03-05T07:08:09Z\",\"file\":{\"mimeType\":"
    "\"audio/flac\"},\"audio\":{\"title\":\"One\",\"artist\":\"Ada\",\"duration\":61000}";
constexpr long long kOwnMs = 1577836800000;    // 2020-01-01T00:00:00Z
constexpr long long kTargetMs = 1709622489000; // 2024-03-05T07:08:09Z

struct shown {
    std::vector<std::string> seen; // name|path|id|drive|size|mtime|mime|title|url
};

int show(void *ctx, const nimbus_entry *e) {
    auto t = [](const char *s) { return std::string(s ? s : "-"); };
    static_cast<shown *>(ctx)->seen.push_back(t(e->name) + "|" + t(e->path) + "|" + t(e->id) + "|" +
                                              t(e->drive_id) + "|" + std::to_string(e->size) + "|" +
                                              std::to_string(e->mtime_ms) + "|" + t(e->mime_type) +
                                              "|" + t(e->title) + "|" + t(e->download_url));
    return 0;
}

TEST_F(FakeTest, FileShortcutListsWithTheSharedFilesValues) {
    script_token();
    // One remoteItem carries the file's size, type, time and audio facet;
    // one carries none of them.
    script_listing(kRoot, 200,
                   page({file_link("S!1", "Linked.flac", kFull), file_link("S!2", "Bare.flac", ""),
                         shortcut("S!3", "Shared", true)}));
    outcome o = list(settings(), nullptr);
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(items_json({entry("Linked.flac", "/Linked.flac", false, 99, kTargetMs, "S!1", ""),
                          entry("Bare.flac", "/Bare.flac", false, -1, kOwnMs, "S!2", ""),
                          entry("Shared", "/Shared", true, 0, 0, "S!3", "")}),
              o.out);
    o = list(settings("\"Metadata\":true"), nullptr);
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_NE(std::string::npos,
              o.out.find("\"size\":99,\"mtime_ms\":" + std::to_string(kTargetMs) +
                         ",\"id\":\"S!1\",\"backend_id\":\"S!1\",\"parent_id\":\"\",\"title\":"
                         "\"One\",\"year\":null,\"type\":null,\"media_type\":\"audio\","
                         "\"container\":\"flac\",\"imdb\":null,\"tmdb\":null,\"available\":"
                         "false,\"mime_type\":\"audio/flac\",\"artist\":\"Ada\",\"album\":null,"
                         "\"track\":null,\"duration_ms\":61000}"))
        << o.out;
    // A page the host fetched itself reads the same.
    std::vector<char> out(1 << 16);
    ASSERT_EQ(NIMBUS_OK, nimbus_parse_items(page({file_link("S!1", "Linked.flac", kFull)}).c_str(),
                                            "", out.data(), static_cast<int32_t>(out.size())));
    EXPECT_EQ(items_json({entry("Linked.flac", "/Linked.flac", false, 99, kTargetMs, "S!1", "")}),
              out.data());

    // The handle: the same values, the shortcut's own id and name.
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    shown n;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/", show, &n)) << nimbus_last_error();
    nimbus_drive_close(drive);
    EXPECT_EQ((std::vector<std::string>{"Linked.flac|/Linked.flac|S!1|b!DRV-2|99|" +
                                            std::to_string(kTargetMs) + "|audio/flac|One|-",
                                        "Bare.flac|/Bare.flac|S!2|b!DRV-2|-1|" +
                                            std::to_string(kOwnMs) + "|audio/flac|-|-",
                                        "Shared|/Shared|S!3|b!DRV-2|0|0|-|-|-"}),
              n.seen);
}

TEST_F(FakeTest, FileShortcutLookedUpKeepsItsNameAndPath) {
    script_token();
    const std::string url = "https://dl.example/f?tempauth=x";
    const std::string link = file_link("S!1", "Linked.flac", kFull);
    const std::string target =
        "{\"id\":\"R!1\",\"name\":\"single.flac\",\"size\":99,\"lastModifiedDateTime\":"
        "\"2024-03-05T07:08:09Z\",\"file\":{\"mimeType\":\"audio/flac\"},\"audio\":{"
        "\"title\":\"One\"},\"@microsoft.graph.downloadUrl\":\"" +
        url + "\"}";
    // The handle's look-ups and the flat locator's, each with its own members.
    for (const std::string &u :
         {kGraph + "/me/drive/root:/Linked.flac", kGraph + "/me/drive/items/S!1"}) {
        script_get(u, 200, link);
        script_get(lookup(u), 200, link);
    }
    script_get(kRemote, 200, target);
    script_get(lookup(kRemote), 200, target);
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    shown n;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_item(drive, "/Linked.flac", show, &n)) << nimbus_last_error();
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_item(drive, "S!1", show, &n)) << nimbus_last_error();
    nimbus_drive_close(drive);
    const std::string rest = "|drives/b!DRV-2/items/R!1|b!DRV-2|99|" + std::to_string(kTargetMs) +
                             "|audio/flac|One|" + url;
    EXPECT_EQ((std::vector<std::string>{"Linked.flac|/Linked.flac" + rest, "Linked.flac|-" + rest}),
              n.seen);
    EXPECT_EQ(2, gets(lookup(kRemote)));

    // The flat export's locator: the same name, and the id that streams.
    for (const char *arg : {"\"/Linked.flac\"", "\"S!1\""}) {
        outcome o = stream(settings(), arg);
        ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
        EXPECT_EQ("{\"url\":\"" + url +
                      "\",\"id\":\"drives/b!DRV-2/items/R!1\",\"name\":\"Linked.flac\","
                      "\"size\":99,\"range\":true}",
                  o.out);
    }
}

} // namespace
