// The drive handle's listing against the fake transport: the same URLs,
// paging, page size, next-link rule and limits as nimbus_list, at each
// limit and one past it; entries reached by id; envelopes in success
// answers.
#include <string>
#include <utility>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct BrowseTest : FakeTest {
    nimbus_drive *drive = nullptr;
    void open(const std::string &s = settings()) {
        ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(s.c_str(), nimbus_io_fake(), &drive))
            << nimbus_last_error();
    }
    void TearDown() override {
        nimbus_drive_close(drive);
        FakeTest::TearDown();
    }
};

struct listed {
    int rc;
    std::string error;
    std::vector<std::string> paths; // path, or "id:" and the id when it has none
};

int keep(void *ctx, const nimbus_entry *e) {
    auto *l = static_cast<listed *>(ctx);
    l->paths.push_back(e->path ? std::string(e->path) : "id:" + std::string(e->id));
    return 0;
}

listed list_of(nimbus_drive *drive, const char *folder) {
    listed l{};
    l.rc = nimbus_drive_list(drive, folder, keep, &l);
    l.error = nimbus_last_error();
    return l;
}

std::string chain_url(int i) {
    return i == 1 ? handle_page(kRoot) : kRoot + "?p=" + std::to_string(i);
}

// n pages of one entry each; the last links on when dangling.
void script_chain(int n, bool dangling) {
    for (int i = 1; i <= n; i++) {
        std::string next = (i < n || dangling) ? kRoot + "?p=" + std::to_string(i + 1) : "";
        script_get(chain_url(i), 200, page({item("I" + std::to_string(i), "n")}, next));
    }
}

std::string ids_page(int from, int count, const std::string &next) {
    std::string s = "{\"value\":[";
    for (int i = 0; i < count; i++)
        s += (i ? ",{\"id\":\"I" : "{\"id\":\"I") + std::to_string(from + i) + "\",\"name\":\"n\"}";
    s += "]";
    if (!next.empty())
        s += ",\"@odata.nextLink\":\"" + next + "\"";
    return s + "}";
}

TEST_F(BrowseTest, PagingDuplicatesPageSizeAndOrigin) {
    script_token();
    open(settings("\"PageSize\":5,\"Path\":\"/Media\""));
    std::string first = kGraph + "/me/drive/root:/Media/Rock%20Hits:/children";
    std::string next = first + "?$skiptoken=2";
    script_get(handle_page(first, "5"), 200,
               page({item("A1", "a.mp3"), item("F1", "Live", -1, true)}, next));
    script_get(next, 200, page({item("A1", "dup.mp3"), item("B2", "AC/DC.flac")}));
    listed l = list_of(drive, "/Rock Hits");
    ASSERT_EQ(NIMBUS_OK, l.rc) << l.error;
    EXPECT_EQ((std::vector<std::string>{"/Rock Hits/a.mp3", "/Rock Hits/Live",
                                        "/Rock Hits/AC\xE2\x88\x95"
                                        "DC.flac"}),
              l.paths);
    EXPECT_EQ(1, gets(next)); // the link as given, no $top added

    // An item id folder ignores the root path; its entries have no path.
    script_get(handle_page(kGraph + "/me/drive/items/ID1/children", "5"), 200,
               page({item("C3", "c")}));
    l = list_of(drive, "ID1");
    EXPECT_EQ(NIMBUS_OK, l.rc) << l.error;
    EXPECT_EQ(std::vector<std::string>{"id:C3"}, l.paths);

    // A Graph error envelope in a success answer fails the listing.
    script_get(handle_page(first, "5"), 200,
               R"({"error":{"code":"generalException","message":"try later"},"value":[]})");
    l = list_of(drive, "/Rock Hits");
    EXPECT_EQ(NIMBUS_E_FAILED, l.rc);
    EXPECT_EQ("try later", l.error);
    EXPECT_EQ(1, grants());
}

TEST_F(BrowseTest, DuplicatesWithinOnePage) {
    // 70 elements: a repeat right after its first, one 40 elements later
    // (past the first run of entries taken together), ids that differ only
    // in letter case or by a longer tail, and elements that are no entry.
    std::vector<std::string> items;
    std::vector<std::string> want;
    for (int i = 0; i < 70; i++) {
        std::string id = "I" + std::to_string(i);
        if (i == 2 || i == 41)
            id = "I1";
        if (i == 45)
            id = "i3";
        if (i == 46)
            id = "I30";
        if (i == 50) {
            items.push_back("[]");
            continue;
        }
        if (i == 51) {
            items.push_back(R"({"name":"no id"})");
            continue;
        }
        items.push_back(item(id, "n" + std::to_string(i)));
        if (i != 2 && i != 41 && i != 46)
            want.push_back("/n" + std::to_string(i));
    }
    script_token();
    open();
    script_get(handle_page(kRoot), 200, page(items));
    listed l = list_of(drive, nullptr);
    ASSERT_EQ(NIMBUS_OK, l.rc) << l.error;
    EXPECT_EQ(want, l.paths);
}

TEST_F(BrowseTest, PageLimit) {
    script_token();
    open();
    script_chain(1000, false);
    listed l = list_of(drive, nullptr);
    ASSERT_EQ(NIMBUS_OK, l.rc) << l.error;
    EXPECT_EQ(1000u, l.paths.size());

    nimbus_fake_reset();
    script_chain(1000, true);
    script_get(kRoot + "?p=1001", 200, page({}));
    l = list_of(drive, nullptr);
    EXPECT_EQ(NIMBUS_E_FAILED, l.rc);
    EXPECT_EQ("folder needs more than 1000 pages", l.error);
    EXPECT_EQ(1000u, l.paths.size()); // handed over before the limit was met
    EXPECT_EQ(0, gets(kRoot + "?p=1001"));
}

TEST_F(BrowseTest, EntryLimit) {
    script_token();
    open();
    for (int p = 0; p < 500; p++)
        script_get(chain_url(p + 1), 200, ids_page(p * 200, 200, p < 499 ? chain_url(p + 2) : ""));
    listed l = list_of(drive, nullptr);
    ASSERT_EQ(NIMBUS_OK, l.rc) << l.error;
    EXPECT_EQ(100000u, l.paths.size());

    // A duplicate on the last page is no entry; one more distinct one is.
    script_get(chain_url(500), 200, ids_page(499 * 200 - 1, 201, ""));
    l = list_of(drive, nullptr);
    EXPECT_EQ(NIMBUS_OK, l.rc) << l.error;
    script_get(chain_url(500), 200, ids_page(499 * 200, 201, ""));
    l = list_of(drive, nullptr);
    EXPECT_EQ(NIMBUS_E_FAILED, l.rc);
    EXPECT_EQ("folder has more than 100000 items", l.error);
    EXPECT_EQ(100000u, l.paths.size());
}

// A driveItem with the folder path its answer gives ("" leaves it out).
std::string placed(const std::string &id, const std::string &name, const std::string &ref,
                   bool folder = false) {
    std::string s = item(id, name, 5, folder);
    s.pop_back();
    s += ",\"parentReference\":{\"driveType\":\"personal\",\"id\":\"P\"";
    if (!ref.empty())
        s += ",\"path\":\"" + ref + "\"";
    return s + "}}";
}

int keep_one(void *ctx, const nimbus_entry *e) {
    *static_cast<std::string *>(ctx) = e->path ? e->path : "-";
    return 0;
}

// Entries reached by id take the path their answer gives beneath the
// configured root; none outside it or without one.
TEST_F(BrowseTest, PathsOfEntriesReachedById) {
    script_token();
    open(settings("\"Path\":\"/Music\""));
    script_get(
        handle_page(kGraph + "/me/drive/items/F!1/children"), 200,
        page({placed("A", "a.mp3", "/drive/root:/Music/Rock%20Hits"),
              placed("B", "b.mp3", "/drive/root:/Music/Rock%20Hits"), placed("C", "c.mp3", "")}));
    listed l = list_of(drive, "F!1");
    ASSERT_EQ(NIMBUS_OK, l.rc) << l.error;
    EXPECT_EQ((std::vector<std::string>{"/Rock Hits/a.mp3", "/Rock Hits/b.mp3", "id:C"}), l.paths);
    script_get(handle_page(kGraph + "/me/drive/items/F!2/children"), 200,
               page({placed("D", "d.mp3", "/drive/root:/Music2")}));
    l = list_of(drive, "F!2");
    EXPECT_EQ(std::vector<std::string>{"id:D"}, l.paths);

    const std::string items = kGraph + "/me/drive/items/";
    const std::pair<std::string, std::string> cases[] = {
        {placed("X", "x.mp3", "/drives/b!D-1/root:/Music/A"), "/A/x.mp3"},
        {placed("X", "Music", "/drive/root:", true), "/"},
        {placed("X", "x.mp3", "/drive/root:/Music"), "/x.mp3"},
        {placed("X", "x.mp3", "/drive/root:/Musi"), "-"},
        {placed("X", "x.mp3", "/drive/root:/Music/../Films"), "-"},
        {placed("X", "x.mp3", ""), "-"}};
    for (const auto &c : cases) {
        script_get(items + "X?" + kPlayable, 200, c.first);
        std::string path;
        ASSERT_EQ(NIMBUS_OK, nimbus_drive_item(drive, "X", keep_one, &path)) << nimbus_last_error();
        EXPECT_EQ(c.second, path) << c.first;
    }
}

// A refresh token the identity platform turns away, at the first grant or
// at the one a 401 asks for: a code of its own through the handle, while the
// flat listing keeps its NIMBUS_E_AUTH. A Graph refusal stays NIMBUS_E_AUTH.
TEST_F(BrowseTest, RefusedSignIn) {
    const std::string refused = "{\"error\":\"invalid_grant\",\"error_description\":"
                                "\"AADSTS70008: the refresh token has expired\"}";
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("POST", kTokenUrl.c_str(), 400, refused.c_str()));
    open();
    listed l = list_of(drive, "/");
    EXPECT_EQ(NIMBUS_E_SIGNIN, l.rc);
    EXPECT_EQ("AADSTS70008: the refresh token has expired", l.error);
    EXPECT_EQ(0, gets(handle_page(kRoot)));
    EXPECT_EQ(NIMBUS_E_AUTH, list(settings(), nullptr).rc);
    EXPECT_STREQ("sign-in refused: sign in again", nimbus_strerror(NIMBUS_E_SIGNIN));

    nimbus_drive_close(drive);
    drive = nullptr;
    nimbus_forget_tokens();
    script_token();
    open();
    script_get(handle_page(kRoot), 403, "{\"error\":{\"code\":\"accessDenied\"}}");
    EXPECT_EQ(NIMBUS_E_AUTH, list_of(drive, "/").rc);
    script_get(handle_page(kRoot), 401, "");
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("POST", kTokenUrl.c_str(), 400, refused.c_str()));
    EXPECT_EQ(NIMBUS_E_SIGNIN, list_of(drive, "/").rc);
    EXPECT_EQ(4, grants()); // the handle's two, the flat listing's, the 401's
}

} // namespace
