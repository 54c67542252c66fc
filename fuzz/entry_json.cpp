// The entry JSON writer on arbitrary texts: the same bytes as the entry
// written piece by piece with nimbus_buf_json_str.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "graph/graph.h"
#include "support/entry_tail.h"

namespace {

constexpr char TAIL[] = NIMBUS_ENTRY_TAIL;

void reference(nimbus_buf *b, const nimbus_item &it, const char *parent) {
    nimbus_buf_adds(b, "{\"name\":");
    nimbus_buf_json_str(b, it.name);
    nimbus_buf_adds(b, ",\"path\":");
    nimbus_buf_json_str(b, it.path);
    nimbus_buf_adds(b, it.folder ? ",\"folder\":true,\"kind\":\"dir\""
                                 : ",\"folder\":false,\"kind\":\"file\"");
    nimbus_buf_addf(b, ",\"size\":%lld,\"mtime_ms\":%lld", static_cast<long long>(it.size),
                    static_cast<long long>(it.mtime_ms));
    nimbus_buf_adds(b, ",\"id\":");
    nimbus_buf_json_str(b, it.id);
    nimbus_buf_adds(b, ",\"backend_id\":");
    nimbus_buf_json_str(b, it.id);
    nimbus_buf_adds(b, ",\"parent_id\":");
    nimbus_buf_json_str(b, parent);
    nimbus_buf_adds(b, TAIL);
}

} // namespace

// Input: flags byte, then name, path, id and parent separated by NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    std::string parts[4];
    size_t k = 0;
    for (size_t i = 1; i < size && k < 4; i++) {
        if (data[i] == 0)
            k++;
        else
            parts[k] += static_cast<char>(data[i]);
    }
    // Long texts without a large input: the flags can repeat a part.
    uint8_t flags = data[0];
    if (flags & 0x40)
        for (int i = 0; i < 7; i++)
            parts[0] += parts[0].substr(0, 1000);
    nimbus_item it{};
    it.name = flags & 1 ? nullptr : const_cast<char *>(parts[0].c_str());
    it.path = flags & 2 ? nullptr : const_cast<char *>(parts[1].c_str());
    it.id = flags & 4 ? nullptr : const_cast<char *>(parts[2].c_str());
    const char *parent = flags & 8 ? nullptr : parts[3].c_str();
    it.folder = flags >> 4 & 1;
    it.size = flags & 0x20 ? INT64_MIN : static_cast<int64_t>(size) - 1;
    it.mtime_ms = static_cast<int64_t>(parts[0].size()) * 1000003;

    nimbus_buf got{}, want{};
    CHECK(nimbus_item_json(&got, &it, parent) == 0);
    reference(&want, it, parent);
    CHECK(got.len == want.len && std::memcmp(got.data, want.data, got.len) == 0);
    nimbus_items list{&it, 1, 1, nullptr, 0, false};
    nimbus_buf doc{};
    CHECK(nimbus_items_json(&doc, &list, parent) == 0);
    CHECK(doc.len == want.len + 12 && std::memcmp(doc.data + 10, want.data, want.len) == 0);
    nimbus_buf_free(&got);
    nimbus_buf_free(&want);
    nimbus_buf_free(&doc);
    return 0;
}
