// Change-feed pages read as a tree: the bound on items held back for a
// folder that has not come, at the limit and one past it, and all of them
// handed out with their paths once the folder comes.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "graph/feed_tree.h"

namespace {

struct counted {
    size_t entries = 0;
    std::string last_path;
};

int count(void *ctx, const nimbus_entry *e) {
    auto *c = static_cast<counted *>(ctx);
    c->entries++;
    c->last_path = e->path ? e->path : "";
    return 0;
}

// n files in folder "P", numbered from first.
std::string items_in_p(size_t first, size_t n) {
    std::string s;
    for (size_t i = first; i < first + n; i++) {
        s += s.empty() ? "" : ",";
        s += "{\"id\":\"f" + std::to_string(i) + "\",\"name\":\"" + std::to_string(i) +
             ".flac\",\"parentReference\":{\"id\":\"P\"}}";
    }
    return s;
}

int read(nimbus_feed_tree *t, const std::string &page, std::string *msg) {
    std::vector<char> body(page.size() + YYJSON_PADDING_SIZE, '\0');
    std::memcpy(body.data(), page.data(), page.size());
    char *next = nullptr;
    char code[NIMBUS_CODE_SIZE];
    char text[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_feed_tree_page(t, body.data(), page.size(), &next, code, sizeof code, text,
                                   sizeof text);
    std::free(next);
    *msg = text;
    return rc;
}

TEST(FeedTree, HoldsBackUpToItsBoundUntilTheFolderComes) {
    const size_t max = NIMBUS_FEED_WAITING_MAX;
    std::string held = "{\"value\":[" + items_in_p(0, max) + "]}";
    std::string one_more = "{\"value\":[" + items_in_p(max, 1) + "]}";
    std::string folder = "{\"value\":[{\"id\":\"P\",\"name\":\"Album\",\"folder\":{},"
                         "\"parentReference\":{\"id\":\"TOP\"}}]}";
    std::string msg;

    counted c;
    nimbus_feed_tree t{};
    t.top_id = "TOP";
    t.top_path = "/Music";
    t.fn = count;
    t.ctx = &c;
    ASSERT_EQ(NIMBUS_OK, read(&t, held, &msg)) << msg;
    EXPECT_EQ(0u, c.entries);
    EXPECT_EQ(max, nimbus_feed_tree_orphans(&t));
    EXPECT_EQ(NIMBUS_E_FAILED, read(&t, one_more, &msg));
    EXPECT_EQ("the change feed gave more than 100000 items before their folders", msg);
    nimbus_feed_tree_free(&t);

    // At the bound, the folder's coming hands every one of them out.
    counted all;
    nimbus_feed_tree u{};
    u.top_id = "TOP";
    u.top_path = "/Music";
    u.fn = count;
    u.ctx = &all;
    ASSERT_EQ(NIMBUS_OK, read(&u, held, &msg)) << msg;
    ASSERT_EQ(NIMBUS_OK, read(&u, folder, &msg)) << msg;
    EXPECT_EQ(max + 1, all.entries);
    EXPECT_EQ(0u, nimbus_feed_tree_orphans(&u));
    EXPECT_EQ("/Music/Album/99999.flac", all.last_path);
    // Held no longer: the next item of the folder goes out at once.
    ASSERT_EQ(NIMBUS_OK, read(&u, one_more, &msg)) << msg;
    EXPECT_EQ(max + 2, all.entries);
    nimbus_feed_tree_free(&u);
}

} // namespace
