// Answers holding texts that are not well-formed UTF-8 (an escaped lone
// surrogate, raw ill-formed bytes): the page is read whole, a name is
// repaired with U+FFFD, an id or address that cannot be trusted leaves out
// its entry or turns null, and nothing ill-formed reaches the entry JSON.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "graph/feed_tree.h"
#include "graph/graph.h"
#include "support/alloc_hook.h"

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

// Good entries around two with damaged names, three whose ids are damaged
// (one cut short by a NUL), and one whose addresses are.
const std::string PAGE =
    "{\"value\":["
    "{\"id\":\"A\",\"name\":\"a.mp3\",\"size\":1},"
    "{\"id\":\"B\",\"name\":\"b\\udcffc.flac\",\"size\":2,"
    "\"audio\":{\"title\":\"t\\ud800\",\"artist\":\"x\xffy\"}},"
    "{\"id\":\"C\",\"name\":\"c\xff\xc3(\xed\xa0\x80.mp3\",\"folder\":{}},"
    "{\"id\":\"D\\udcff\",\"name\":\"gone\"},"
    "{\"id\":\"E\xfe\",\"name\":\"gone too\"},"
    "{\"id\":\"\\u0000E\",\"name\":\"cut short\"},"
    "{\"id\":\"F\",\"name\":\"f.mkv\",\"file\":{\"mimeType\":\"video/\xff\"},"
    "\"@microsoft.graph.downloadUrl\":\"https://dl/\\udcff\","
    "\"remoteItem\":{\"id\":\"R\",\"parentReference\":{\"driveId\":\"d\xff\"}}},"
    "{\"id\":\"G\",\"name\":\"\\ud83c\\udfb5 ok \\\\udcff\"}"
    "],\"@odata.nextLink\":\"https://graph/next\"}";

struct seen {
    std::vector<std::string> ids, names;
    std::vector<const char *> mime, url, drive, title, artist;
    std::string text_title, text_artist;
};

int collect(void *ctx, const nimbus_entry *e) {
    auto *s = static_cast<seen *>(ctx);
    s->ids.emplace_back(e->id);
    s->names.emplace_back(e->name);
    s->mime.push_back(e->mime_type);
    s->url.push_back(e->download_url);
    s->drive.push_back(e->drive_id);
    if (e->title)
        s->text_title = e->title;
    if (e->artist)
        s->text_artist = e->artist;
    return 0;
}

const std::vector<std::string> IDS = {"A", "B", "C", "F", "G"};
const std::vector<std::string> NAMES = {"a.mp3", "b" + FFFD + "c.flac",
                                        "c" + FFFD + FFFD + "(" + FFFD + ".mp3", "f.mkv",
                                        "\xF0\x9F\x8E\xB5 ok \\udcff"};

std::vector<char> padded(const std::string &s) {
    std::vector<char> body(s.size() + YYJSON_PADDING_SIZE, '\0');
    std::memcpy(body.data(), s.data(), s.size());
    return body;
}

TEST(HostileNames, FlatListingKeepsEveryEntryAndWritesWellFormedJson) {
    for (bool in_place : {false, true}) {
        nimbus_items list{};
        list.media = true;
        char msg[NIMBUS_MSG_SIZE] = "";
        char *next = nullptr;
        std::vector<char> body = padded(PAGE);
        int rc = in_place
                     ? nimbus_parse_children_in_place(body.data(), PAGE.size(), nullptr, "/M",
                                                      &list, &next, nullptr, 0, msg, sizeof msg)
                     : nimbus_parse_children_page(PAGE.data(), PAGE.size(), "/M", &list, &next, msg,
                                                  sizeof msg);
        ASSERT_EQ(rc, NIMBUS_OK) << msg;
        ASSERT_NE(next, nullptr);
        EXPECT_STREQ(next, "https://graph/next");
        std::free(next);
        ASSERT_EQ(list.count, IDS.size());
        for (size_t i = 0; i < IDS.size(); i++) {
            EXPECT_EQ(list.items[i].id, IDS[i]);
            EXPECT_EQ(list.items[i].name, NAMES[i]);
            EXPECT_EQ(list.items[i].path, "/M/" + NAMES[i]);
        }
        EXPECT_EQ(list.items[1].media->title, "t" + FFFD);
        EXPECT_EQ(list.items[1].media->artist, "x" + FFFD + "y");
        // A type that cannot be trusted is no type: the name's stands in.
        EXPECT_STREQ(list.items[3].media->mime_type, "video/x-matroska");

        nimbus_buf out{};
        ASSERT_EQ(nimbus_items_json(&out, &list, "/M"), 0);
        EXPECT_TRUE(nimbus_utf8_ok(out.data, out.len));
        yyjson_doc *doc = yyjson_read(out.data, out.len, 0); // strict
        EXPECT_NE(doc, nullptr);
        yyjson_doc_free(doc);
        nimbus_buf_free(&out);
        nimbus_items_free(&list);
    }
}

TEST(HostileNames, HandleListingAndChangeFeedKeepEveryEntry) {
    seen s;
    nimbus_walk walk{};
    walk.prefix = "";
    walk.fn = collect;
    walk.ctx = &s;
    std::vector<char> body = padded(PAGE);
    char *next = nullptr;
    char code[NIMBUS_CODE_SIZE];
    char msg[NIMBUS_MSG_SIZE] = "";
    ASSERT_EQ(nimbus_walk_page(&walk, body.data(), PAGE.size(), nullptr, &next, code, sizeof code,
                               msg, sizeof msg),
              NIMBUS_OK)
        << msg;
    std::free(next);
    nimbus_walk_free(&walk);
    EXPECT_EQ(s.ids, IDS);
    EXPECT_EQ(s.names, NAMES);
    EXPECT_EQ(s.text_title, "t" + FFFD);
    EXPECT_EQ(s.text_artist, "x" + FFFD + "y");
    // An address that cannot be trusted is no address.
    EXPECT_STREQ(s.mime[3], "video/x-matroska"); // the name's type
    EXPECT_EQ(s.url[3], nullptr);
    EXPECT_EQ(s.drive[3], nullptr);

    // The change feed: the same entries beneath the walked folder, even
    // when held back until their folder (also damaged) comes.
    const std::string in_p = ",\"parentReference\":{\"id\":\"P\"}}";
    std::string items = "{\"value\":[";
    for (size_t i = 0; i < IDS.size(); i++)
        items += std::string(i ? "," : "") + "{\"id\":\"" + IDS[i] + "\",\"name\":\"n\xff" +
                 std::to_string(i) + "\"" + in_p;
    // An item whose id or folder id holds a NUL is no entry of P.
    items += ",{\"id\":\"\\u0000x\",\"name\":\"x\"" + in_p +
             ",{\"id\":\"y\",\"name\":\"y\",\"parentReference\":{\"id\":\"\\u0000P\"}}"
             ",{\"id\":\"P\",\"name\":\"p\\udcff\",\"folder\":{},\"parentReference\":{\"id\":"
             "\"TOP\"}}]}";
    seen f;
    nimbus_feed_tree tree{};
    tree.top_id = "TOP";
    tree.top_path = "";
    tree.fn = collect;
    tree.ctx = &f;
    body = padded(items);
    ASSERT_EQ(nimbus_feed_tree_page(&tree, body.data(), items.size(), &next, code, sizeof code, msg,
                                    sizeof msg),
              NIMBUS_OK)
        << msg;
    std::free(next);
    nimbus_feed_tree_free(&tree);
    ASSERT_EQ(f.names.size(), IDS.size() + 1);
    EXPECT_EQ(f.names[0], "p" + FFFD);
    EXPECT_EQ(f.names[1], "n" + FFFD + "0");
}

TEST(HostileNames, SingleItemAndErrorEnvelope) {
    const std::string item = "{\"id\":\"X\",\"name\":\"\\udcff\"}";
    nimbus_item it{};
    char msg[NIMBUS_MSG_SIZE] = "";
    ASSERT_EQ(nimbus_parse_single_item(item.data(), item.size(), "", &it, msg, sizeof msg),
              NIMBUS_OK)
        << msg;
    EXPECT_EQ(std::string(it.name), FFFD);
    nimbus_item_free(&it);
    const std::string bad_id = "{\"id\":\"\\udcff\",\"name\":\"x\"}";
    EXPECT_EQ(nimbus_parse_single_item(bad_id.data(), bad_id.size(), "", &it, msg, sizeof msg),
              NIMBUS_E_FAILED);
    EXPECT_STREQ(msg, "a driveItem carries no id");

    // The envelope of an answer still tells its code.
    const std::string env =
        "{\"error\":{\"code\":\"invalidRequest\",\"message\":\"bad \xff name \\udcff\"}}";
    char code[NIMBUS_CODE_SIZE];
    EXPECT_EQ(nimbus_parse_error(env.data(), env.size(), code, sizeof code, msg, sizeof msg), 0);
    EXPECT_STREQ(code, "invalidRequest");
    EXPECT_TRUE(nimbus_utf8_ok(msg, std::strlen(msg)));
}

// The repair's own allocations (the copy of a body read not in place, the
// repaired texts) fail as "out of memory" and leave nothing behind.
TEST(HostileNames, AllocationFailures) {
    if (!alloc_hook_available())
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    int failures = 0;
    for (long n = 0;; n++) {
        nimbus_items list{};
        char msg[64] = "";
        char *next = nullptr;
        long before = alloc_live();
        alloc_fail_at(n);
        int rc =
            nimbus_parse_children_page(PAGE.data(), PAGE.size(), "", &list, &next, msg, sizeof msg);
        bool failed = alloc_disarm();
        std::free(next);
        size_t count = list.count;
        nimbus_items_free(&list);
        EXPECT_EQ(alloc_live(), before) << n;
        if (!failed) {
            ASSERT_EQ(rc, NIMBUS_OK);
            EXPECT_EQ(count, IDS.size());
            break;
        }
        failures++;
        ASSERT_EQ(rc, NIMBUS_E_FAILED) << n;
        EXPECT_STREQ(msg, "out of memory") << n;
    }
    EXPECT_GT(failures, 5);
}

} // namespace
