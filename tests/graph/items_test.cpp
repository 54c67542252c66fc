// driveItems into entry records: children pages, the de-duplicating list and
// its id index, single items and download URLs.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "graph/graph.h"
#include "support/alloc_hook.h"

namespace {

constexpr char SENTINEL[] = "sentinel";

struct page_result {
    int rc;
    std::string msg;
    bool has_next;
    std::string next;
};

// Parses one page into list; next starts out pointing somewhere, so a parser
// that forgets to reset it shows up.
page_result page(nimbus_items *list, const std::string &body, const char *prefix = nullptr) {
    char msg[NIMBUS_MSG_SIZE] = "";
    char *next = const_cast<char *>(SENTINEL);
    int rc =
        nimbus_parse_children_page(body.data(), body.size(), prefix, list, &next, msg, sizeof msg);
    page_result r{rc, msg, next != nullptr, ""};
    if (next == SENTINEL)
        r.next = "<untouched>";
    else if (next)
        r.next = next;
    if (next != SENTINEL)
        std::free(next);
    return r;
}

struct single_result {
    int rc;
    std::string msg;
    std::string id, name, path;
    int64_t size, mtime_ms;
    int folder;
};

single_result single(const std::string &body, const char *prefix = nullptr) {
    nimbus_item item;
    std::memset(&item, 0xAB, sizeof item);
    char msg[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_parse_single_item(body.data(), body.size(), prefix, &item, msg, sizeof msg);
    single_result r{rc,
                    msg,
                    item.id ? item.id : "<null>",
                    item.name ? item.name : "<null>",
                    item.path ? item.path : "<null>",
                    item.size,
                    item.mtime_ms,
                    item.folder};
    if (rc != NIMBUS_OK) {
        EXPECT_EQ(item.id, nullptr);
        EXPECT_EQ(item.name, nullptr);
        EXPECT_EQ(item.path, nullptr);
        EXPECT_EQ(item.size, 0);
        EXPECT_EQ(item.mtime_ms, 0);
        EXPECT_EQ(item.folder, 0);
    }
    nimbus_item_free(&item);
    return r;
}

// The size an item gets from the JSON text of its "size" member.
int64_t size_from(const std::string &json_size) {
    return single(R"({"id":"X","size":)" + json_size + "}").size;
}

std::string name_from(const std::string &members) {
    return single("{" + members + "}").name;
}

// Every invariant of the list: unique ids, the limit, and an index at most
// half full holding each position exactly once.
void check_list(const nimbus_items &l) {
    ASSERT_LE(l.count, NIMBUS_MAX_ENTRIES);
    ASSERT_LE(l.count, l.cap);
    if (l.count == 0)
        return;
    ASSERT_NE(l.index, nullptr);
    ASSERT_GE(l.index_cap, 2 * l.count);
    std::vector<int> seen(l.count + 1, 0);
    size_t used = 0;
    for (size_t i = 0; i < l.index_cap; i++) {
        uint64_t k = l.index[i];
        if (k == 0)
            continue;
        ASSERT_LE(k, l.count);
        ASSERT_EQ(seen[k]++, 0) << "position in the index twice: " << k;
        used++;
    }
    ASSERT_EQ(used, l.count);
    std::set<std::string> ids;
    for (size_t k = 1; k <= l.count; k++) {
        ASSERT_NE(l.items[k - 1].id, nullptr);
        ASSERT_TRUE(ids.insert(l.items[k - 1].id).second) << "duplicate id " << l.items[k - 1].id;
    }
}

std::vector<std::string> ids_of(const nimbus_items &l) {
    std::vector<std::string> v;
    for (size_t i = 0; i < l.count; i++)
        v.push_back(l.items[i].id);
    return v;
}

// A page of minimal driveItems with ids first..first+n-1 (as "i<number>").
std::string numbered_page(size_t first, size_t n, const char *next = nullptr) {
    std::string s;
    s.reserve(n * 16 + 64);
    s += "{\"value\":[";
    for (size_t i = 0; i < n; i++) {
        if (i)
            s += ',';
        s += "{\"id\":\"i";
        s += std::to_string(first + i);
        s += "\"}";
    }
    s += "]";
    if (next) {
        s += ",\"@odata.nextLink\":\"";
        s += next;
        s += "\"";
    }
    s += "}";
    return s;
}

std::string fixture(const char *name) {
    std::string path = std::string(NIMBUS_TEST_SOURCE_DIR) + "/graph/fixtures/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct list_guard {
    nimbus_items *l;
    ~list_guard() { nimbus_items_free(l); }
};

} // namespace

TEST(ChildrenPage, RealisticGraphPage) {
    nimbus_items list{};
    list_guard g{&list};
    page_result r = page(&list, fixture("children_page.json"), "/Music");
    ASSERT_EQ(r.rc, NIMBUS_OK) << r.msg;
    EXPECT_EQ(r.next, "https://graph.microsoft.com/v1.0/me/drive/root/children?$top=6&$skiptoken="
                      "UGFnZWQ9VFJVRSZwX1NvcnRCZWhhdmlvcj0xJnBfRmlsZUxlYWZSZWY9MDYlMjAtJTIwQmx1ZS5t"
                      "cDM");
    ASSERT_EQ(list.count, 6u);
    check_list(list);
    struct expected {
        const char *id, *name, *path;
        int64_t size, mtime_ms;
        int folder;
    } want[] = {
        {"01BYE5RZ6QN3ZWBTUFOFD3GSPGOHDJD36K", "Albums", "/Music/Albums", 1843761152, 1699172142000,
         1},
        {"01BYE5RZ2KXHBFQ3MMPNGLHW5VWJ7JQ2UB", "01 - Caf\xC3\xA9 del Mar \"Live\".flac",
         "/Music/01 - Caf\xC3\xA9 del Mar \"Live\".flac", 31457280, 1623704635307, 0},
        {"01BYE5RZ5VAHDRNMCJGFGKSUFOEQW6SJPV",
         "AC\xE2\x88\x95"
         "DC \xE2\x80\x93 Live at River Plate.mp4",
         "/Music/AC\xE2\x88\x95"
         "DC \xE2\x80\x93 Live at River Plate.mp4",
         734003200, 1643536933500, 0},
        {"D6F2D6F4AB783575!1234", "cover.jpg", "/Music/cover.jpg", 524288, 1596303903000, 0},
        {"01BYE5RZ3F4E5D6C7B8A9Z0Y1X2W3V4U5T", "Live \xE2\x81\x84 Bootlegs",
         "/Music/Live \xE2\x81\x84 Bootlegs", 0, 1518340364000, 1},
        {"01BYE5RZ7PACKAGEONENOTE0000000000", "Notes", "/Music/Notes", -1, 1680352200120, 0},
    };
    for (size_t i = 0; i < 6; i++) {
        const nimbus_item &it = list.items[i];
        EXPECT_STREQ(it.id, want[i].id) << i;
        EXPECT_STREQ(it.name, want[i].name) << i;
        EXPECT_STREQ(it.path, want[i].path) << i;
        EXPECT_EQ(it.size, want[i].size) << i;
        EXPECT_EQ(it.mtime_ms, want[i].mtime_ms) << i;
        EXPECT_EQ(it.folder, want[i].folder) << i;
    }

    // The same page again adds nothing: every id is already listed.
    page_result again = page(&list, fixture("children_page.json"), "/Elsewhere");
    EXPECT_EQ(again.rc, NIMBUS_OK);
    EXPECT_EQ(list.count, 6u);
    EXPECT_STREQ(list.items[0].path, "/Music/Albums");
}

TEST(ChildrenPage, ElementsWithoutUsableId) {
    nimbus_items list{};
    list_guard g{&list};
    page_result r =
        page(&list, R"({"value":[1,"x",null,true,[],{},{"name":"a"},{"id":""},)"
                    R"({"id":5},{"id":null},{"id":{"x":1}},{"ID":"up"},{"id ":"sp"}]})");
    EXPECT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(r.msg, "");
    EXPECT_FALSE(r.has_next);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.items, nullptr);
    EXPECT_EQ(list.index, nullptr);
    EXPECT_EQ(list.index_cap, 0u);
    // Usable elements among them are kept, in order.
    r = page(&list, R"({"value":[7,{"id":"A"},null,{"id":""},{"id":"B"}]})");
    EXPECT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(ids_of(list), (std::vector<std::string>{"A", "B"}));
    // An id longer than an entry argument may carry (2048 bytes) is skipped.
    std::string at_limit(2048, 'L'), over(2049, 'O');
    r = page(&list, R"({"value":[{"id":")" + over + R"("},{"id":")" + at_limit + R"("}]})");
    EXPECT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(ids_of(list), (std::vector<std::string>{"A", "B", at_limit}));
}

TEST(ChildrenPage, DuplicatesKeepTheFirst) {
    nimbus_items list{};
    list_guard g{&list};
    page_result r = page(&list, R"({"value":[{"id":"A","name":"first","size":1},)"
                                R"({"id":"B","name":"b"},{"id":"A","name":"second","size":2,)"
                                R"("folder":{}},{"id":"a","name":"lower"}]})");
    ASSERT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(ids_of(list), (std::vector<std::string>{"A", "B", "a"}));
    EXPECT_STREQ(list.items[0].name, "first");
    EXPECT_EQ(list.items[0].size, 1);
    EXPECT_EQ(list.items[0].folder, 0);
    // Across pages: the earlier page's entry, name and position win.
    r = page(&list, R"({"value":[{"id":"C","name":"c"},{"id":"B","name":"again","size":9},)"
                    R"({"id":"A","name":"third"}]})");
    ASSERT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(ids_of(list), (std::vector<std::string>{"A", "B", "a", "C"}));
    EXPECT_STREQ(list.items[1].name, "b");
    EXPECT_EQ(list.items[1].size, -1);
    EXPECT_STREQ(list.items[0].name, "first");
    // Ids differing in one byte or by a suffix stay apart.
    r = page(&list, R"({"value":[{"id":"AB"},{"id":"A "},{"id":"\u0041"}]})");
    EXPECT_EQ(ids_of(list), (std::vector<std::string>{"A", "B", "a", "C", "AB", "A "}));
    check_list(list);
}

TEST(ChildrenPage, AgreesWithASimpleModel) {
    // Random pages over a small id alphabet, with elements that are skipped
    // mixed in: duplicates at every distance, on one page and across pages.
    uint64_t s = 0x2545F4914F6CDD1Dull;
    auto next = [&s] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    };
    nimbus_items list{};
    list_guard g{&list};
    std::vector<std::string> want;
    std::set<std::string> seen;
    for (int p = 0; p < 40; p++) {
        std::string body = "{\"value\":[";
        size_t n = next() % 60;
        for (size_t i = 0; i < n; i++) {
            if (i)
                body += ',';
            uint64_t r = next();
            switch (r % 8) {
            case 0:
                body += "null";
                break;
            case 1:
                body += R"({"name":"no id"})";
                break;
            case 2:
                body += R"({"id":""})";
                break;
            default: {
                std::string id = "X" + std::to_string(r / 8 % 300);
                body += R"({"id":")" + id + R"(","name":")" + id + "\"}";
                if (seen.insert(id).second)
                    want.push_back(id);
            }
            }
        }
        body += "]}";
        ASSERT_EQ(page(&list, body).rc, NIMBUS_OK);
        ASSERT_EQ(ids_of(list), want) << p;
        check_list(list);
    }
    EXPECT_GT(list.count, 128u); // the index grew on the way
}

TEST(ChildrenPage, FirstMemberDecides) {
    nimbus_items list{};
    list_guard g{&list};
    page_result r = page(&list, R"({"value":[{"id":"one","id":"two","name":"n1","name":"n2",)"
                                R"("size":5,"size":6,"folder":null,"folder":{}}],)"
                                R"("value":[{"id":"other"}],"@odata.nextLink":"L1",)"
                                R"("@odata.nextLink":"L2"})");
    ASSERT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(r.next, "L1");
    ASSERT_EQ(list.count, 1u);
    EXPECT_STREQ(list.items[0].id, "one");
    EXPECT_STREQ(list.items[0].name, "n1");
    EXPECT_EQ(list.items[0].size, 5);
    EXPECT_EQ(list.items[0].folder, 0);
    // An unusable first "id" is not rescued by a later one.
    r = page(&list, R"({"value":[{"id":"","id":"late"},{"id":7,"id":"late2"}]})");
    EXPECT_EQ(list.count, 1u);
    // A first "value" that is not an array fails even if a later one is.
    r = page(&list, R"({"value":{},"value":[{"id":"x"}]})");
    EXPECT_EQ(r.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(r.msg, "the children answer has no value[]");
}

TEST(ChildrenPage, NextLink) {
    nimbus_items list{};
    list_guard g{&list};
    page_result r = page(&list, R"({"@odata.nextLink":"https://x/children?$skiptoken=a%2Fb&",)"
                                R"("value":[]})");
    EXPECT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(r.next, "https://x/children?$skiptoken=a%2Fb&");
    EXPECT_EQ(list.count, 0u);
    // Copied byte for byte after JSON unescaping, not validated.
    r = page(&list, R"({"value":[],"@odata.nextLink":"not a url \u00e9\/\""})");
    EXPECT_EQ(r.next, "not a url \xC3\xA9/\"");
    for (const char *link : {R"("")", "5", "null", "true", "{}", R"(["u"])"}) {
        r = page(&list, std::string(R"({"value":[],"@odata.nextLink":)") + link + "}");
        EXPECT_EQ(r.rc, NIMBUS_OK) << link;
        EXPECT_FALSE(r.has_next) << link;
    }
    // Key compared exactly.
    r = page(&list, R"({"value":[],"@odata.NextLink":"u","@odata.nextlink":"v"})");
    EXPECT_FALSE(r.has_next);
    // No place for the link: the page is still parsed.
    char msg[64] = "";
    std::string body = R"({"value":[{"id":"Q"}],"@odata.nextLink":"u"})";
    EXPECT_EQ(nimbus_parse_children_page(body.data(), body.size(), nullptr, &list, nullptr, msg,
                                         sizeof msg),
              NIMBUS_OK);
    EXPECT_EQ(list.count, 1u);
}

TEST(ChildrenPage, MalformedAnswers) {
    nimbus_items list{};
    list_guard g{&list};
    const char *not_object = "the children answer is not a JSON object";
    const char *no_value = "the children answer has no value[]";
    struct {
        std::string body;
        const char *msg;
    } cases[] = {
        {"", not_object},
        {"[]", not_object},
        {R"([{"value":[]}])", not_object},
        {R"("value")", not_object},
        {"null", not_object},
        {"12", not_object},
        {R"({"value":[]} x)", not_object},
        {R"({"value":[],})", not_object},
        {"{\"value\":[{\"id\":\"a\tb\"}]}", not_object}, // raw control byte in a string
        {R"({"value":[NaN]})", not_object},
        {"{}", no_value},
        {R"({"@odata.nextLink":"https://x/next"})", no_value},
        {R"({"@odata.nextLink":"https://x/next","value":{"id":"A"}})", no_value},
        {R"({"@odata.nextLink":"https://x/next","value":"[]"})", no_value},
        {R"({"@odata.nextLink":"https://x/next","value":null})", no_value},
        {R"({"Value":[{"id":"A"}],"@odata.nextLink":"https://x/next"})", no_value},
    };
    for (const auto &c : cases) {
        page_result r = page(&list, c.body);
        EXPECT_EQ(r.rc, NIMBUS_E_FAILED) << c.body;
        EXPECT_EQ(r.msg, c.msg) << c.body;
        EXPECT_FALSE(r.has_next) << c.body;
    }
    EXPECT_EQ(list.count, 0u);
    // A null body, and the length bounding the read.
    char msg[64] = "";
    char *next = const_cast<char *>(SENTINEL);
    EXPECT_EQ(nimbus_parse_children_page(nullptr, 0, nullptr, &list, &next, msg, sizeof msg),
              NIMBUS_E_FAILED);
    EXPECT_EQ(next, nullptr);
    EXPECT_STREQ(msg, not_object);
    const char body[] = R"({"value":[{"id":"A"}]}{"value":[{"id":"B"}]})";
    EXPECT_EQ(nimbus_parse_children_page(body, 22, nullptr, &list, nullptr, msg, sizeof msg),
              NIMBUS_OK);
    EXPECT_EQ(ids_of(list), (std::vector<std::string>{"A"}));
    // Messages are cut to the buffer; size 0 writes nothing.
    char small[9];
    EXPECT_EQ(nimbus_parse_children_page("[]", 2, nullptr, &list, nullptr, small, sizeof small),
              NIMBUS_E_FAILED);
    EXPECT_STREQ(small, "the chil");
    char none[4] = "xyz";
    EXPECT_EQ(nimbus_parse_children_page("{}", 2, nullptr, &list, nullptr, none, 0),
              NIMBUS_E_FAILED);
    EXPECT_STREQ(none, "xyz");
}

TEST(ChildrenPage, FreeEmptiesTheList) {
    // How the list grows (invariants, order) the model and limit cases check
    // after every page, up to 100000 entries; here what freeing leaves.
    nimbus_items list{};
    list_guard g{&list};
    ASSERT_EQ(page(&list, numbered_page(0, 65)).rc, NIMBUS_OK);
    nimbus_items_free(&list);
    EXPECT_EQ(list.items, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.cap, 0u);
    EXPECT_EQ(list.index, nullptr);
    EXPECT_EQ(list.index_cap, 0u);
    nimbus_items_free(&list); // an empty list again
    nimbus_items_free(nullptr);
}

TEST(ChildrenPage, EntryLimit) {
    nimbus_items list{};
    list_guard g{&list};
    // Exactly 100000 distinct entries fit, with a duplicate at the end.
    std::string full = numbered_page(0, NIMBUS_MAX_ENTRIES);
    full.insert(full.size() - 2, R"(,{"id":"i0","name":"dup"})");
    page_result r = page(&list, full);
    ASSERT_EQ(r.rc, NIMBUS_OK) << r.msg;
    ASSERT_EQ(list.count, NIMBUS_MAX_ENTRIES);
    check_list(list);
    EXPECT_STREQ(list.items[99999].id, "i99999");
    EXPECT_STREQ(list.items[0].name, "i0");

    // A page of duplicates only still succeeds, with its link.
    r = page(&list, numbered_page(5, 3, "https://x/next"));
    EXPECT_EQ(r.rc, NIMBUS_OK);
    EXPECT_EQ(r.next, "https://x/next");
    // One distinct entry more fails, without a link, keeping the list.
    r = page(&list, numbered_page(99990, 11, "https://x/next"));
    EXPECT_EQ(r.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(r.msg, "folder has more than 100000 items");
    EXPECT_FALSE(r.has_next);
    EXPECT_EQ(list.count, NIMBUS_MAX_ENTRIES);
    check_list(list);

    // One past the limit within a single page: the first 100000 stay.
    nimbus_items one{};
    list_guard g1{&one};
    r = page(&one, numbered_page(0, NIMBUS_MAX_ENTRIES + 1, "https://x/next"));
    EXPECT_EQ(r.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(r.msg, "folder has more than 100000 items");
    EXPECT_FALSE(r.has_next);
    EXPECT_EQ(one.count, NIMBUS_MAX_ENTRIES);
    EXPECT_STREQ(one.items[99999].id, "i99999");
}

TEST(DriveItem, Size) {
    EXPECT_EQ(size_from("0"), 0);
    EXPECT_EQ(size_from("-1"), -1);
    EXPECT_EQ(size_from("-5"), -1);
    EXPECT_EQ(size_from("-9223372036854775808"), -1);
    EXPECT_EQ(size_from("12.9"), 12);
    EXPECT_EQ(size_from("-0.5"), 0);
    EXPECT_EQ(size_from("-1.9"), -1);
    EXPECT_EQ(size_from("1e3"), 1000);
    EXPECT_EQ(size_from("1E2"), 100);
    EXPECT_EQ(size_from("1e300"), -1);
    EXPECT_EQ(size_from("-1e300"), -1);
    EXPECT_EQ(size_from("9.1e18"), 9100000000000000000);
    EXPECT_EQ(size_from("9.2e18"), -1);
    EXPECT_EQ(size_from("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(size_from("9223372036854775808"), -1); // unsigned, turns negative
    EXPECT_EQ(size_from("18446744073709551615"), -1);
    EXPECT_EQ(size_from("18446744073709551616"), -1); // beyond 64 bits: a real
    EXPECT_EQ(size_from("\"12\""), -1);
    EXPECT_EQ(size_from("null"), -1);
    EXPECT_EQ(size_from("true"), -1);
    EXPECT_EQ(size_from("{}"), -1);
    EXPECT_EQ(size_from("[5]"), -1);
    EXPECT_EQ(single(R"({"id":"X"})").size, -1);
    EXPECT_EQ(single(R"({"id":"X","Size":5})").size, -1);
}

TEST(DriveItem, FolderAndTime) {
    EXPECT_EQ(single(R"({"id":"X","folder":{}})").folder, 1);
    EXPECT_EQ(single(R"({"id":"X","folder":{"childCount":3}})").folder, 1);
    for (const char *v : {"true", "null", "1", "[]", "\"yes\""})
        EXPECT_EQ(single(std::string(R"({"id":"X","folder":)") + v + "}").folder, 0) << v;
    EXPECT_EQ(single(R"({"id":"X"})").folder, 0);
    // A package (OneNote notebook) or a remote folder is not a folder here.
    EXPECT_EQ(single(R"({"id":"X","package":{"type":"oneNote"}})").folder, 0);

    EXPECT_EQ(single(R"({"id":"X","lastModifiedDateTime":"2024-02-29T12:34:56.789Z"})").mtime_ms,
              1709210096789);
    // Which texts are times the time reader's tests tell; a member that
    // is no text, or empty, is no time.
    for (const char *v : {R"("")", R"("yesterday")", "1709210096789", "null"})
        EXPECT_EQ(single(std::string(R"({"id":"X","lastModifiedDateTime":)") + v + "}").mtime_ms, 0)
            << v;
    // Only lastModifiedDateTime counts, not the file system's or creation time.
    EXPECT_EQ(single(R"({"id":"X","createdDateTime":"2024-02-29T12:34:56Z",)"
                     R"("fileSystemInfo":{"lastModifiedDateTime":"2024-02-29T12:34:56Z"}})")
                  .mtime_ms,
              0);
}

TEST(DriveItem, NamesAndPaths) {
    // The cleaning rules themselves (dot names, control bytes, the 1024-byte
    // bound) are the name cleaner's cases; here what the item gives it: a
    // name that is text, else the last component of the id.
    EXPECT_EQ(name_from(R"("id":"ABC!12")"), "ABC!12");
    EXPECT_EQ(name_from(R"("id":"a/b/ABC!12")"), "ABC!12");
    EXPECT_EQ(name_from(R"("id":"abc/")"), "item");
    EXPECT_EQ(name_from(R"("id":"F!1","name":7)"), "F!1");
    EXPECT_EQ(name_from(R"("id":"F!1","name":null)"), "F!1");
    EXPECT_EQ(name_from(R"("id":"a/..")"), "item");
    EXPECT_EQ(name_from(R"("id":"F\u001b[2J","name":".")"), "F_[2J");
    EXPECT_EQ(name_from(R"("id":"F!1","name":"Caf\u00e9 \ud83c\udfb5")"),
              "Caf\xC3\xA9 \xF0\x9F\x8E\xB5");

    // A slash becomes U+2215 and the path gets no extra component.
    single_result slash = single(R"({"id":"S","name":"AC/DC"})", "/Music");
    EXPECT_EQ(slash.name, "AC\xE2\x88\x95"
                          "DC");
    EXPECT_EQ(slash.path, "/Music/AC\xE2\x88\x95"
                          "DC");
    single_result lone = single(R"({"id":"S","name":"/"})");
    EXPECT_EQ(lone.name, "\xE2\x88\x95");
    EXPECT_EQ(lone.path, "/\xE2\x88\x95");

    EXPECT_EQ(single(R"({"id":"S","name":"a.mp3"})").path, "/a.mp3");
    EXPECT_EQ(single(R"({"id":"S","name":"a.mp3"})", "").path, "/a.mp3");
    EXPECT_EQ(single(R"({"id":"S","name":"a.mp3"})", "/Music").path, "/Music/a.mp3");
    // The prefix is used as it stands.
    EXPECT_EQ(single(R"({"id":"S","name":"a.mp3"})", "/Music/").path, "/Music//a.mp3");
    EXPECT_EQ(single(R"({"id":"S","name":"a.mp3"})", "01ABC!7").path, "01ABC!7/a.mp3");
    EXPECT_EQ(single(R"({"id":"S"})", "/M").path, "/M/S");
}

TEST(SingleItem, Answers) {
    single_result ok = single(R"({"id":"01BYE5RZ2KXHBFQ3MMPNGLHW5VWJ7JQ2UB","name":"a.mp3",)"
                              R"("size":5,"lastModifiedDateTime":"2023-01-02T03:04:05Z",)"
                              R"("file":{"mimeType":"audio/mpeg"}})");
    EXPECT_EQ(ok.rc, NIMBUS_OK);
    EXPECT_EQ(ok.id, "01BYE5RZ2KXHBFQ3MMPNGLHW5VWJ7JQ2UB");
    EXPECT_EQ(ok.name, "a.mp3");
    EXPECT_EQ(ok.path, "/a.mp3");
    EXPECT_EQ(ok.size, 5);
    EXPECT_EQ(ok.mtime_ms, 1672628645000);
    EXPECT_EQ(ok.folder, 0);

    single_result env = single(R"({"id":"X","error":{"code":"itemNotFound"}})");
    EXPECT_EQ(env.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(env.msg, "the item answer is an error envelope");
    EXPECT_EQ(single(R"({"error":{}})").msg, "the item answer is an error envelope");
    single_result oauth = single(R"({"error":"invalid_grant","id":"X"})");
    EXPECT_EQ(oauth.rc, NIMBUS_OK);
    EXPECT_EQ(oauth.id, "X");
    EXPECT_EQ(single(R"({"error":null,"id":"X"})").rc, NIMBUS_OK);
    // The first "error" decides.
    EXPECT_EQ(single(R"({"error":"s","error":{},"id":"X"})").rc, NIMBUS_OK);

    for (const char *body : {R"({})", R"({"id":""})", R"({"id":5})", R"({"name":"a"})",
                             R"({"Id":"X"})", R"({"id":null,"id":"late"})"}) {
        single_result r = single(body);
        EXPECT_EQ(r.rc, NIMBUS_E_FAILED) << body;
        EXPECT_EQ(r.msg, "a driveItem carries no id") << body;
    }
    single_result long_id = single(R"({"id":")" + std::string(2049, 'O') + R"("})");
    EXPECT_EQ(long_id.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(long_id.msg, "a driveItem id is longer than 2048 bytes");
    EXPECT_EQ(single(R"({"id":")" + std::string(2048, 'L') + R"("})").rc, NIMBUS_OK);
    for (const char *body : {"", "[]", "\"x\"", "nul", R"({"id":"X"},)", R"([{"id":"X"}])"}) {
        single_result r = single(body);
        EXPECT_EQ(r.rc, NIMBUS_E_FAILED) << body;
        EXPECT_EQ(r.msg, "the item answer is not a JSON object") << body;
    }
    nimbus_item item;
    std::memset(&item, 0xAB, sizeof item);
    char msg[64];
    EXPECT_EQ(nimbus_parse_single_item(nullptr, 0, nullptr, &item, msg, sizeof msg),
              NIMBUS_E_FAILED);
    EXPECT_STREQ(msg, "the item answer is not a JSON object");
    EXPECT_EQ(item.id, nullptr);
    EXPECT_EQ(item.size, 0);

    nimbus_item_free(&item);
    nimbus_item_free(nullptr);
}

TEST(DownloadUrl, Precedence) {
    auto url_of = [](const char *json) -> std::string {
        yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
        EXPECT_NE(doc, nullptr) << json;
        char *u = nimbus_download_url_of(yyjson_doc_get_root(doc));
        yyjson_doc_free(doc);
        std::string s = u ? u : "<null>";
        std::free(u);
        return s;
    };
    EXPECT_EQ(url_of(R"({"@content.downloadUrl":"C","@microsoft.graph.downloadUrl":"M"})"), "M");
    EXPECT_EQ(url_of(R"({"@microsoft.graph.downloadUrl":"","@content.downloadUrl":"C"})"), "C");
    EXPECT_EQ(url_of(R"({"@microsoft.graph.downloadUrl":5,"@content.downloadUrl":"C"})"), "C");
    EXPECT_EQ(url_of(R"({"@microsoft.graph.downloadUrl":null,"@content.downloadUrl":"C"})"), "C");
    EXPECT_EQ(url_of(R"({"@content.downloadUrl":"C"})"), "C");
    EXPECT_EQ(
        url_of(R"({"@microsoft.graph.downloadUrl":"M1","@microsoft.graph.downloadUrl":"M2"})"),
        "M1");
    EXPECT_EQ(url_of(R"({"@microsoft.graph.downloadUrl":"","@microsoft.graph.downloadUrl":"M2"})"),
              "<null>");
    EXPECT_EQ(url_of(R"({"@microsoft.graph.downloadUrl":"","@content.downloadUrl":""})"), "<null>");
    EXPECT_EQ(url_of(R"({"id":"X","file":{"@microsoft.graph.downloadUrl":"nested"}})"), "<null>");
    EXPECT_EQ(url_of(R"({})"), "<null>");
    EXPECT_EQ(url_of(R"(["@microsoft.graph.downloadUrl","M"])"), "<null>");
    EXPECT_EQ(url_of(R"("@microsoft.graph.downloadUrl")"), "<null>");
    // Returned exactly as the answer holds it after unescaping.
    EXPECT_EQ(url_of(R"({"@microsoft.graph.downloadUrl":"https:\/\/h\/d?a=1&tempauth=x%20y"})"),
              "https://h/d?a=1&tempauth=x%20y");
    EXPECT_EQ(nimbus_download_url_of(nullptr), nullptr);
}

TEST(AllocationFailures, ChildrenPageReleasesEverything) {
    if (!alloc_hook_available())
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    std::string body = fixture("children_page.json");
    int failures = 0;
    for (long n = 0;; n++) {
        nimbus_items list{};
        // Start from a list that already holds entries, so growth paths run.
        ASSERT_EQ(page(&list, numbered_page(0, 64)).rc, NIMBUS_OK);
        long before = alloc_live();
        char msg[64] = "";
        char *next = const_cast<char *>(SENTINEL);
        alloc_fail_at(n);
        int rc = nimbus_parse_children_page(body.data(), body.size(), "/M", &list, &next, msg,
                                            sizeof msg);
        bool failed = alloc_disarm();
        if (!failed) {
            ASSERT_EQ(rc, NIMBUS_OK);
            std::free(next);
            nimbus_items_free(&list);
            break;
        }
        failures++;
        ASSERT_EQ(rc, NIMBUS_E_FAILED) << n;
        EXPECT_STREQ(msg, "out of memory") << n;
        EXPECT_EQ(next, nullptr) << n;
        check_list(list);
        // Whatever was added stays; nothing else is left allocated.
        long entries = static_cast<long>(list.count) - 64;
        EXPECT_GE(entries, 0);
        EXPECT_EQ(alloc_live() - before, 3 * entries) << n;
        nimbus_items_free(&list);
    }
    EXPECT_GT(failures, 20);
}

TEST(AllocationFailures, SingleItemAndDownloadUrl) {
    if (!alloc_hook_available())
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    std::string body = R"({"id":"a/B!1","name":"x/y","size":3,)"
                       R"("@microsoft.graph.downloadUrl":"https://d/1"})";
    for (long n = 0;; n++) {
        nimbus_item item{};
        char msg[64] = "";
        long before = alloc_live();
        alloc_fail_at(n);
        int rc = nimbus_parse_single_item(body.data(), body.size(), "/P", &item, msg, sizeof msg);
        bool failed = alloc_disarm();
        if (!failed) {
            ASSERT_EQ(rc, NIMBUS_OK);
            EXPECT_STREQ(item.path, "/P/x\xE2\x88\x95y");
            nimbus_item_free(&item);
            EXPECT_EQ(alloc_live(), before);
            break;
        }
        EXPECT_EQ(rc, NIMBUS_E_FAILED) << n;
        EXPECT_STREQ(msg, "out of memory") << n;
        EXPECT_EQ(item.id, nullptr);
        EXPECT_EQ(item.name, nullptr);
        EXPECT_EQ(item.path, nullptr);
        EXPECT_EQ(alloc_live(), before) << n;
    }
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    ASSERT_NE(doc, nullptr);
    alloc_fail_at(0);
    char *u = nimbus_download_url_of(yyjson_doc_get_root(doc));
    EXPECT_TRUE(alloc_disarm());
    EXPECT_EQ(u, nullptr);
    yyjson_doc_free(doc);
}
