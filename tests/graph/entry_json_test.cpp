// The host's entry JSON, byte for byte.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "graph/graph.h"
#include "support/alloc_hook.h"
#include "support/entry_tail.h"

namespace {

constexpr char TAIL[] = NIMBUS_ENTRY_TAIL;

// An item whose strings point at literals; never released.
nimbus_item make(const char *id, const char *name, const char *path, int64_t size, int64_t mtime_ms,
                 int folder) {
    return nimbus_item{const_cast<char *>(id),
                       const_cast<char *>(name),
                       const_cast<char *>(path),
                       size,
                       mtime_ms,
                       folder,
                       nullptr};
}

std::string items_json(nimbus_item *items, size_t count, const char *parent) {
    nimbus_items list{items, count, count, nullptr, 0, false};
    nimbus_buf b{};
    EXPECT_EQ(nimbus_items_json(&b, &list, parent), 0);
    std::string s(b.data ? b.data : "<null>", b.len);
    nimbus_buf_free(&b);
    return s;
}

std::string item_json(const nimbus_item &item, const char *parent) {
    nimbus_buf b{};
    EXPECT_EQ(nimbus_item_json(&b, &item, parent), 0);
    std::string s(b.data ? b.data : "<null>", b.len);
    nimbus_buf_free(&b);
    return s;
}

} // namespace

TEST(EntryJson, Documents) {
    EXPECT_EQ(items_json(nullptr, 0, ""), R"({"items":[]})");
    EXPECT_EQ(items_json(nullptr, 0, nullptr), R"({"items":[]})");

    nimbus_item one = make("X1", "a.mp3", "/a.mp3", 5, 0, 0);
    EXPECT_EQ(
        items_json(&one, 1, ""),
        R"({"items":[{"name":"a.mp3","path":"/a.mp3","folder":false,"kind":"file",)"
        R"("size":5,"mtime_ms":0,"id":"X1","backend_id":"X1","parent_id":"")" NIMBUS_ENTRY_TAIL
        "]}");

    nimbus_item two[] = {
        make("01BYE5RZ6QN3ZWBTUFOFD3GSPGOHDJD36K", "Albums", "/Music/Albums", 1843761152,
             1699172142000, 1),
        make("D6F2D6F4AB783575!1234", "cover.jpg", "/Music/cover.jpg", -1, 0, 0),
    };
    std::string want =
        std::string(R"({"items":[)") +
        R"({"name":"Albums","path":"/Music/Albums","folder":true,"kind":"dir",)"
        R"("size":1843761152,"mtime_ms":1699172142000,"id":"01BYE5RZ6QN3ZWBTUFOFD3GSPGOHDJD36K",)"
        R"("backend_id":"01BYE5RZ6QN3ZWBTUFOFD3GSPGOHDJD36K","parent_id":"/Music")" +
        TAIL + "," +
        R"({"name":"cover.jpg","path":"/Music/cover.jpg","folder":false,"kind":"file",)"
        R"("size":-1,"mtime_ms":0,"id":"D6F2D6F4AB783575!1234",)"
        R"("backend_id":"D6F2D6F4AB783575!1234","parent_id":"/Music")" +
        TAIL + "]}";
    EXPECT_EQ(items_json(two, 2, "/Music"), want);

    // No parent text: null.
    std::string no_parent = items_json(two, 2, nullptr);
    EXPECT_NE(no_parent.find(R"("backend_id":"D6F2D6F4AB783575!1234","parent_id":null,"title")"),
              std::string::npos);
    EXPECT_EQ(no_parent.find(R"("parent_id":")"), std::string::npos);

    // Appends to whatever the buffer holds.
    nimbus_buf b{};
    ASSERT_EQ(nimbus_buf_add(&b, "pre:", 4), 0);
    nimbus_items list{&one, 1, 1, nullptr, 0, false};
    ASSERT_EQ(nimbus_items_json(&b, &list, "p"), 0);
    EXPECT_EQ(std::string(b.data, 4), "pre:");
    EXPECT_EQ(std::string(b.data + 4, 11), R"({"items":[{)");
    nimbus_buf_free(&b);

    // The result is valid JSON with exactly the seventeen keys, in order.
    std::string doc = items_json(two, 2, "/Mu\"sic");
    yyjson_doc *d = yyjson_read(doc.data(), doc.size(), 0);
    ASSERT_NE(d, nullptr);
    yyjson_val *arr = yyjson_obj_get(yyjson_doc_get_root(d), "items");
    ASSERT_EQ(yyjson_arr_size(arr), 2u);
    const char *keys[] = {"name",       "path",       "folder",    "kind",  "size",     "mtime_ms",
                          "id",         "backend_id", "parent_id", "title", "year",     "type",
                          "media_type", "container",  "imdb",      "tmdb",  "available"};
    yyjson_val *entry = yyjson_arr_get(arr, 1);
    ASSERT_EQ(yyjson_obj_size(entry), 17u);
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(entry, idx, max, key, val) {
        EXPECT_STREQ(yyjson_get_str(key), keys[idx]);
    }
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "parent_id")), "/Mu\"sic");
    yyjson_doc_free(d);
}

TEST(EntryJson, SingleEntry) {
    nimbus_item folder = make("F", "Live", "/Live", 0, 31536000000, 1);
    EXPECT_EQ(item_json(folder, "F0"),
              R"({"name":"Live","path":"/Live","folder":true,"kind":"dir","size":0,)"
              R"("mtime_ms":31536000000,"id":"F","backend_id":"F","parent_id":"F0")" +
                  std::string(TAIL));
    nimbus_item big = make("B", "b", "/b", INT64_MAX, INT64_MIN, 7);
    EXPECT_EQ(item_json(big, nullptr),
              R"({"name":"b","path":"/b","folder":true,"kind":"dir",)"
              R"("size":9223372036854775807,"mtime_ms":-9223372036854775808,"id":"B",)"
              R"("backend_id":"B","parent_id":null)" +
                  std::string(TAIL));
    // Absent strings are written as null.
    nimbus_item empty{};
    EXPECT_EQ(item_json(empty, ""),
              R"({"name":null,"path":null,"folder":false,"kind":"file","size":0,"mtime_ms":0,)"
              R"("id":null,"backend_id":null,"parent_id":"")" +
                  std::string(TAIL));
}

TEST(EntryJson, AllocationFailures) {
    if (!alloc_hook_available())
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    std::string name(3000, 'n'); // forces the output buffer to grow several times
    nimbus_item items[] = {make("A", name.c_str(), "/x", 1, 2, 0), make("B", "b", "/b", 3, 4, 1)};
    nimbus_items list{items, 2, 2, nullptr, 0, false};
    int failures = 0;
    for (long n = 0;; n++) {
        nimbus_buf b{};
        long before = alloc_live();
        alloc_fail_at(n);
        int rc = nimbus_items_json(&b, &list, "/p");
        bool failed = alloc_disarm();
        nimbus_buf_free(&b);
        EXPECT_EQ(alloc_live(), before) << n;
        if (!failed) {
            EXPECT_EQ(rc, 0);
            break;
        }
        failures++;
        EXPECT_EQ(rc, -1) << n;
    }
    EXPECT_GE(failures, 3);
    nimbus_item one = make("A", "a", "/a", 1, 2, 0);
    for (long n = 0; n < 2; n++) {
        nimbus_buf b{};
        alloc_fail_at(n);
        EXPECT_EQ(nimbus_item_json(&b, &one, "/p"), -1);
        EXPECT_TRUE(alloc_disarm());
        nimbus_buf_free(&b);
    }
}

namespace {

// The entry object written piece by piece with nimbus_buf_json_str, as the
// format is defined; the writer under test must give the same bytes.
std::string reference_entry(const nimbus_item &it, const char *parent) {
    nimbus_buf b{};
    nimbus_buf_adds(&b, "{\"name\":");
    nimbus_buf_json_str(&b, it.name);
    nimbus_buf_adds(&b, ",\"path\":");
    nimbus_buf_json_str(&b, it.path);
    nimbus_buf_adds(&b, it.folder ? ",\"folder\":true,\"kind\":\"dir\""
                                  : ",\"folder\":false,\"kind\":\"file\"");
    nimbus_buf_addf(&b, ",\"size\":%lld,\"mtime_ms\":%lld", static_cast<long long>(it.size),
                    static_cast<long long>(it.mtime_ms));
    nimbus_buf_adds(&b, ",\"id\":");
    nimbus_buf_json_str(&b, it.id);
    nimbus_buf_adds(&b, ",\"backend_id\":");
    nimbus_buf_json_str(&b, it.id);
    nimbus_buf_adds(&b, ",\"parent_id\":");
    nimbus_buf_json_str(&b, parent);
    nimbus_buf_adds(&b, TAIL);
    std::string s(b.data, b.len);
    nimbus_buf_free(&b);
    return s;
}

struct rng {
    uint64_t s = 88172645463325252ull;
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    // Bytes 1..255, biased towards the ones that need escaping.
    std::string text(size_t n) {
        static const char special[] = "\"\\\n\r\t\x01\x1f\x7f\x08\x0c/ \xc3\xa9\xe2\x88\x95";
        std::string t;
        for (size_t i = 0; i < n; i++) {
            uint64_t r = next();
            t += r % 4 == 0 ? special[r / 4 % (sizeof special - 1)]
                            : static_cast<char>(1 + (r >> 8) % 255);
        }
        return t;
    }
};

} // namespace

TEST(EntryJson, SameBytesAsThePiecewiseWriter) {
    rng r;
    for (int round = 0; round < 3000; round++) {
        // Lengths around the size that still fits the writer's stack area.
        size_t scale = round % 3 == 0 ? 700 : round % 3 == 1 ? 60 : 8;
        std::string name = r.text(r.next() % scale), path = r.text(r.next() % scale),
                    id = r.text(r.next() % scale), parent = r.text(r.next() % (scale / 2 + 1));
        nimbus_item it =
            make(id.c_str(), name.c_str(), path.c_str(), static_cast<int64_t>(r.next()),
                 static_cast<int64_t>(r.next()), static_cast<int>(r.next() % 2));
        if (r.next() % 10 == 0)
            it.name = nullptr;
        if (r.next() % 10 == 0)
            it.id = nullptr;
        const char *par = r.next() % 5 == 0 ? nullptr : parent.c_str();
        ASSERT_EQ(item_json(it, par), reference_entry(it, par)) << round;
    }
    // Exactly at the edge of the stack area and one byte past it, with
    // strings that all grow sixfold.
    for (size_t n = 640; n < 700; n++) {
        std::string ctl(n, '\x01');
        nimbus_item it = make("I", ctl.c_str(), "/p", 1, 2, 0);
        ASSERT_EQ(item_json(it, ""), reference_entry(it, "")) << n;
        ASSERT_EQ(item_json(it, ctl.c_str()), reference_entry(it, ctl.c_str())) << n;
    }
    // A list: entries joined by commas.
    std::string n1 = r.text(3000), n2 = r.text(20);
    nimbus_item two[] = {make("A", n1.c_str(), "/a", 1, 2, 1),
                         make("B\"", n2.c_str(), "/b", 3, 4, 0)};
    EXPECT_EQ(items_json(two, 2, "/P"), "{\"items\":[" + reference_entry(two[0], "/P") + "," +
                                            reference_entry(two[1], "/P") + "]}");
}
