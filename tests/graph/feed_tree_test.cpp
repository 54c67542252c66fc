// Change-feed pages read as a tree: the bound on items held back for a
// folder that has not come, at the limit and one past it, and all of them
// handed out with their paths once the folder comes; the bounds on a
// path's levels and bytes, at the limit and one past it, over a chain of
// 100000 folders.
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
    size_t path_bytes = 0;
    size_t null_paths = 0;
    std::vector<std::string> paths; // the first 1000
    std::vector<std::string> files;
};

int count(void *ctx, const nimbus_entry *e) {
    auto *c = static_cast<counted *>(ctx);
    c->entries++;
    c->last_path = e->path ? e->path : "";
    c->path_bytes += c->last_path.size();
    c->null_paths += e->path == nullptr;
    if (c->paths.size() < 1000)
        c->paths.push_back(c->last_path);
    if (!e->folder)
        c->files.push_back(e->path ? e->path : "(null)");
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

// A chain of n folders "a" beneath TOP (ids c1 to cn), then a file in the
// folders of levels 255 and 256 (paths of 256 and 257 levels) and one
// beside the chain.
std::string chain(size_t n) {
    std::string s = "{\"value\":[";
    for (size_t i = 1; i <= n; i++)
        s += "{\"id\":\"c" + std::to_string(i) + "\",\"name\":\"a\",\"folder\":{}," +
             "\"parentReference\":{\"id\":\"" + (i == 1 ? "TOP" : "c" + std::to_string(i - 1)) +
             "\"}},";
    for (int level : {255, 256})
        s += "{\"id\":\"f" + std::to_string(level) +
             "\",\"name\":\"f\",\"parentReference\":{"
             "\"id\":\"c" +
             std::to_string(level) + "\"}},";
    return s + "{\"id\":\"r\",\"name\":\"rest.flac\",\"parentReference\":{\"id\":\"TOP\"}}]}";
}

std::string levels(int n, const std::string &last = "") {
    std::string s;
    for (int i = 0; i < n; i++)
        s += "/a";
    return s + last;
}

TEST(FeedTree, DeepChainIsCutAtTheLevelBoundInLinearWork) {
    const size_t n = 100000;
    static_assert(NIMBUS_WALK_LEVELS_MAX == 256, "the chain's files sit at the bound");
    std::string msg;
    counted c;
    nimbus_feed_tree t{};
    t.top_id = "TOP";
    t.top_path = "";
    t.fn = count;
    t.ctx = &c;
    ASSERT_EQ(NIMBUS_OK, read(&t, chain(n), &msg)) << msg;
    // 256 folders, the file at 256 levels and the one beside the chain;
    // the rest left out, each once, without a path built.
    EXPECT_EQ(258u, c.entries);
    EXPECT_EQ(levels(256), c.paths[255]);
    EXPECT_EQ((std::vector<std::string>{levels(255, "/f"), "/rest.flac"}), c.files);
    EXPECT_LT(c.path_bytes, 258u * 513);
    const char *folder = nullptr;
    EXPECT_EQ(n - 256 + 1, nimbus_feed_tree_cut(&t, &folder));
    EXPECT_EQ(levels(256), folder ? folder : "(null)");
    EXPECT_EQ(0u, nimbus_feed_tree_orphans(&t));
    nimbus_feed_tree_free(&t);

    // The change feed hands out every item; past the bound without a path.
    counted all;
    nimbus_feed_tree u{};
    u.changes = true;
    u.fn = count;
    u.ctx = &all;
    std::string rooted = chain(n);
    rooted.replace(rooted.find("{\"id\":\"c1\""), 0,
                   "{\"id\":\"TOP\",\"name\":\"root\",\"folder\":{},\"root\":{}},");
    ASSERT_EQ(NIMBUS_OK, read(&u, rooted, &msg)) << msg;
    EXPECT_EQ(n + 4, all.entries);
    EXPECT_EQ(n - 256 + 1, all.null_paths);
    EXPECT_EQ(levels(256), all.paths[256]);
    EXPECT_EQ((std::vector<std::string>{levels(255, "/f"), "(null)", "/rest.flac"}), all.files);
    EXPECT_LT(all.path_bytes, 258u * 513);
    EXPECT_EQ(0u, nimbus_feed_tree_cut(&u, nullptr));
    nimbus_feed_tree_free(&u);
}

TEST(FeedTree, PathBytesAtTheBoundPassOnePastIsCutWithItsItems) {
    static_assert(NIMBUS_WALK_PATH_MAX == 2048, "names fill the path to the bound");
    auto entry = [](const std::string &id, const std::string &name, const std::string &parent,
                    bool folder) {
        return "{\"id\":\"" + id + "\",\"name\":\"" + name + "\"," +
               (folder ? "\"folder\":{}," : "") + "\"parentReference\":{\"id\":\"" + parent +
               "\"}}";
    };
    // Names stop at 1024 bytes: "/M/", 1024 bytes, "/" and 1020 fill 2048,
    // a name one longer passes them, and so does a file below the first.
    const std::string x(1024, 'x');
    std::string page = "{\"value\":[" + entry("X", x, "TOP", true) + "," +
                       entry("X2", std::string(1020, 'z'), "X", true) + "," +
                       entry("Y", std::string(1021, 'y'), "X", true) + "," +
                       entry("y", "f", "Y", false) + "," + entry("z", "f", "X2", false) + "]}";
    std::string msg;
    counted c;
    nimbus_feed_tree t{};
    t.top_id = "TOP";
    t.top_path = "/M";
    t.fn = count;
    t.ctx = &c;
    ASSERT_EQ(NIMBUS_OK, read(&t, page, &msg)) << msg;
    EXPECT_EQ((std::vector<std::string>{"/M/" + x, "/M/" + x + "/" + std::string(1020, 'z')}),
              c.paths);
    EXPECT_EQ(2048u, c.paths[1].size());
    const char *folder = nullptr;
    EXPECT_EQ(3u, nimbus_feed_tree_cut(&t, &folder));
    EXPECT_EQ("/M/" + x, folder ? folder : "(null)");
    nimbus_feed_tree_free(&t);
    EXPECT_TRUE(nimbus_walk_path_fits(levels(256).c_str(), 512));
    EXPECT_FALSE(nimbus_walk_path_fits(levels(257).c_str(), 514));
}

} // namespace
