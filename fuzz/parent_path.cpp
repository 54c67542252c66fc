// An item answer's parentReference.path as the entry's virtual path, under
// each kind of configured root: any path handed out is a clean "/" path
// within the walk's bounds, and the same answer gives the same path.
#include <cstdint>
#include <cstring>
#include <string>

#include <yyjson.h>

#include "fuzz_check.h"
#include "graph/feed_tree.h"
#include "graph/graph.h"

namespace {

const char *const roots[] = {nullptr, "Music", "Media/Music"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    yyjson_doc *doc = yyjson_read(reinterpret_cast<const char *>(data), size, 0);
    yyjson_val *item = yyjson_doc_get_root(doc);
    const char *root = roots[size > 0 ? data[size - 1] % 3 : 0];
    nimbus_buf out{}, again{};
    int got = nimbus_item_vpath(item, "x.flac", root, &out);
    CHECK(got == 1 || got == 0);
    if (got == 1) {
        CHECK(out.len == std::strlen(out.data));
        CHECK(std::strcmp(out.data, "/") == 0 ||
              (nimbus_path_ok(out.data) && !std::strstr(out.data, "//")));
        CHECK(nimbus_walk_path_fits(out.data, out.len));
    } else {
        CHECK(out.len == 0);
    }
    CHECK(nimbus_item_vpath(item, "x.flac", root, &again) == got);
    CHECK(got == 0 || std::strcmp(out.data, again.data) == 0);
    nimbus_buf_free(&out);
    nimbus_buf_free(&again);
    yyjson_doc_free(doc);
    return 0;
}
