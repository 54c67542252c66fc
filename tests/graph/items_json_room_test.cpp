// nimbus_items_json makes room for the whole list up front; the document and
// the buffer's capacity must come out as entry-by-entry appending gives them:
// the smallest 256 times a power of two that holds the text and its NUL.
#include <string>

#include <gtest/gtest.h>

#include "graph/graph.h"

namespace {

size_t doubling_cap(size_t len) {
    size_t cap = 256;
    while (cap < len + 1)
        cap *= 2;
    return cap;
}

TEST(ItemsJsonRoom, SameTextAndCapacityAsAppendingEntryByEntry) {
    const char *const names[] = {"", "a", "Café del Mar.flac", nullptr};
    for (size_t count : {0u, 1u, 2u, 3u, 17u, 300u, 5000u}) {
        for (const char *parent : {static_cast<const char *>(nullptr), "", "P\"q"}) {
            nimbus_items list{};
            std::string want = "{\"items\":[";
            for (size_t i = 0; i < count; i++) {
                std::string id = "i" + std::to_string(i);
                const char *n = names[i % 4];
                std::string body = "{\"value\":[{\"id\":\"" + id + "\"" +
                                   (n ? std::string(",\"name\":\"") + n + "\"" : "") + "}]}";
                char msg[256];
                ASSERT_EQ(nimbus_parse_children_page(body.data(), body.size(), "", &list, nullptr,
                                                     msg, sizeof msg),
                          NIMBUS_OK);
                nimbus_buf one{};
                ASSERT_EQ(nimbus_item_json(&one, &list.items[i], parent), 0);
                want += (i ? "," : "") + std::string(one.data, one.len);
                nimbus_buf_free(&one);
            }
            want += "]}";
            nimbus_buf b{};
            ASSERT_EQ(nimbus_items_json(&b, &list, parent), 0);
            EXPECT_EQ(std::string(b.data, b.len), want);
            EXPECT_EQ(b.cap, doubling_cap(want.size())) << count;
            nimbus_buf_free(&b);
            nimbus_items_free(&list);
        }
    }
}

} // namespace
