// The virtual path an answer gives an item through parentReference.path:
// the configured root's prefix (at it, beneath it, outside it, a sibling
// sharing its first bytes), percent-escapes, and hostile paths that stand
// as no path at all.
#include <string>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "graph/feed_tree.h"
#include "graph/graph.h"

namespace {

// The item's virtual path beneath root, "-" when it has none.
std::string vpath(const std::string &ref, const char *root, const char *name = "x.mp3") {
    std::string json = R"({"id":"I1","parentReference":{"id":"P","path":)" + ref + "}}";
    yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
    EXPECT_NE(nullptr, doc) << json;
    nimbus_buf out{};
    int got = nimbus_item_vpath(yyjson_doc_get_root(doc), name, root, &out);
    std::string s = got > 0 ? std::string(out.data, out.len) : got == 0 ? "-" : "oom";
    nimbus_buf_free(&out);
    yyjson_doc_free(doc);
    return s;
}

TEST(ParentPathTest, RootPrefix) {
    EXPECT_EQ("/Music/Album/x.mp3", vpath(R"("/drive/root:/Music/Album")", nullptr));
    EXPECT_EQ("/x.mp3", vpath(R"("/drive/root:")", nullptr));
    EXPECT_EQ("/Album/x.mp3", vpath(R"("/drive/root:/Music/Album")", "Music"));
    EXPECT_EQ("/x.mp3", vpath(R"("/drive/root:/Music")", "Music"));
    EXPECT_EQ("/x.mp3", vpath(R"("/drives/b!DRV-1/root:/Music")", "Music"));
    // The root folder itself, reached by id, is "/".
    EXPECT_EQ("/", vpath(R"("/drive/root:")", "Music", "Music"));
    EXPECT_EQ("/", vpath(R"("/drive/root:/Media")", "Media/Music", "Music"));
    // Outside the root: above it, beside it, a sibling with a common prefix.
    EXPECT_EQ("-", vpath(R"("/drive/root:")", "Music"));
    EXPECT_EQ("-", vpath(R"("/drive/root:/Films")", "Music"));
    EXPECT_EQ("-", vpath(R"("/drive/root:/Music2")", "Music"));
    EXPECT_EQ("-", vpath(R"("/drive/root:/Music2/A")", "Music"));
    EXPECT_EQ("-", vpath(R"("/drive/root:/Musi")", "Music"));
}

TEST(ParentPathTest, PercentEscapes) {
    EXPECT_EQ("/Rock Hits/AC%DC/x.mp3", vpath(R"("/drive/root:/Rock%20Hits/AC%25DC")", nullptr));
    EXPECT_EQ("/Caf\xC3\xA9/x.mp3", vpath(R"("/drive/root:/Caf%C3%a9")", nullptr));
    EXPECT_EQ("/A/x.mp3", vpath(R"("/drive/root:/My%20Music/A")", "My Music"));
    // A '%' without two hex digits stands for itself.
    EXPECT_EQ("/50%off/1%/x.mp3", vpath(R"("/drive/root:/50%off/1%")", nullptr));
}

TEST(ParentPathTest, HostilePathsStandForNone) {
    for (const char *ref :
         {R"("/drive/root:/a/../b")", R"("/drive/root:/a/%2E%2E/b")", R"("/drive/root:/a%00b")",
          R"("/drive/root:/a\u0000b")", R"("/drive/root:/a%FFb")", R"("/drive/root:/a%C3")",
          R"("/drive/root:/a%2F%2Fb")", R"("/drive/root:/a/")", R"("/drive/root:a")",
          R"("/drives/../root:/a")", R"("/drives//root:/a")", R"("/me/root:/a")", R"(42)", R"("")"})
        EXPECT_EQ("-", vpath(ref, nullptr)) << ref;

    // The walk's bounds: the item's whole path at NIMBUS_WALK_PATH_MAX
    // bytes, and one past it; an escaped text up to three times as long.
    std::string seg(NIMBUS_WALK_PATH_MAX - 7, 'a'); // "/" seg "/x.mp3"
    EXPECT_EQ("/" + seg + "/x.mp3", vpath("\"/drive/root:/" + seg + "\"", nullptr));
    EXPECT_EQ("-", vpath("\"/drive/root:/" + seg + "a\"", nullptr));
    std::string esc;
    for (size_t i = 0; i < seg.size(); i++)
        esc += "%61";
    EXPECT_EQ("/" + seg + "/x.mp3", vpath("\"/drive/root:/" + esc + "\"", nullptr));
    EXPECT_EQ("-", vpath("\"/drive/root:/" + esc + "%61\"", nullptr));
    std::string deep;
    for (int i = 0; i < NIMBUS_WALK_LEVELS_MAX; i++)
        deep += "/d";
    EXPECT_EQ("-", vpath("\"/drive/root:" + deep + "\"", nullptr));
    EXPECT_EQ(deep.substr(2) + "/x.mp3", vpath("\"/drive/root:" + deep.substr(2) + "\"", nullptr));
}

} // namespace
