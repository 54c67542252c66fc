// Change-feed pages read as a tree: any bytes, cut into pages at each 0x1E
// byte, read in order by one nimbus_feed_tree. Every entry comes once, its
// path is its folder's path and its name and lies below the walked folder
// within the depth and the path bounds, a stop stops, and the held-back
// items stay in bound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "fuzz_check.h"
#include "graph/feed_tree.h"

namespace {

struct seen {
    const char *top_path;
    int max_depth;
    int stop_after;
    std::set<std::string> ids;
    std::set<std::string> folders; // paths of the folders handed out
    int calls = 0;
    int shortcuts = 0;
};

int on_entry(void *ctx, const nimbus_entry *e) {
    auto *s = static_cast<seen *>(ctx);
    CHECK(e->id && *e->id && std::strlen(e->id) <= NIMBUS_ITEM_ID_MAX);
    CHECK(s->ids.insert(e->id).second);
    CHECK(e->name && *e->name && std::strchr(e->name, '/') == nullptr);
    CHECK(nimbus_utf8_ok(e->name, std::strlen(e->name)) &&
          nimbus_utf8_ok(e->id, std::strlen(e->id)));
    CHECK(e->deleted == 0);
    if (!s->top_path) {
        CHECK(e->path == nullptr);
    } else {
        // The path is a handed-out folder's (or the walked folder's) and
        // the name, at most max_depth levels down.
        CHECK(e->path != nullptr);
        std::string path = e->path;
        CHECK(nimbus_walk_path_fits(path.data(), path.size()));
        size_t top = std::strlen(s->top_path);
        CHECK(path.compare(0, top, s->top_path) == 0 && path.size() > top && path[top] == '/');
        size_t cut = path.rfind('/');
        CHECK(path.substr(cut + 1) == e->name);
        std::string folder = path.substr(0, cut);
        CHECK(folder == s->top_path || s->folders.count(folder));
        int depth = 0;
        for (size_t i = top; i < path.size(); i++)
            depth += path[i] == '/';
        CHECK(s->max_depth <= 0 || depth <= s->max_depth);
        if (e->folder)
            s->folders.insert(path);
    }
    return ++s->calls == s->stop_after;
}

int on_shortcut(void *ctx, const nimbus_entry *e, const char *drive, const char *item, int depth,
                char *, size_t) {
    auto *s = static_cast<seen *>(ctx);
    CHECK(e->folder && s->ids.count(e->id));
    CHECK((drive == nullptr) == (item == nullptr));
    CHECK(!drive || (nimbus_segment_ok(drive, std::strlen(drive)) &&
                     nimbus_segment_ok(item, std::strlen(item))));
    CHECK(s->max_depth <= 0 || depth < s->max_depth);
    s->shortcuts++;
    return NIMBUS_OK;
}

const char *const tops[] = {"", "/Music", nullptr};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t knobs = size > 0 ? data[0] : 0;
    seen s{};
    s.top_path = tops[knobs % 3];
    s.max_depth = (knobs >> 2) % 4;  // 0 (all) to 3
    s.stop_after = (knobs >> 4) % 8; // 0: never
    nimbus_feed_tree t{};
    t.top_id = "TOP";
    t.top_path = s.top_path;
    t.max_depth = s.max_depth;
    t.fn = on_entry;
    t.ctx = &s;
    t.shortcut = on_shortcut;
    t.shortcut_ctx = &s;

    const char *p = reinterpret_cast<const char *>(data) + (size > 0 ? 1 : 0);
    const char *end = reinterpret_cast<const char *>(data) + size;
    int rc = NIMBUS_OK;
    for (int pages = 0; p <= end && pages < 8 && rc == NIMBUS_OK; pages++) {
        const char *cut = static_cast<const char *>(std::memchr(p, 0x1E, end - p));
        size_t n = static_cast<size_t>((cut ? cut : end) - p);
        // The reader parses in place: a writable copy with yyjson's padding.
        std::vector<char> body(n + YYJSON_PADDING_SIZE, '\0');
        std::memcpy(body.data(), p, n);
        char *next = reinterpret_cast<char *>(&t); // anything but null
        char code[NIMBUS_CODE_SIZE];
        char msg[NIMBUS_MSG_SIZE] = "";
        rc = nimbus_feed_tree_page(&t, body.data(), n, &next, code, sizeof code, msg, sizeof msg);
        CHECK(rc == NIMBUS_OK || rc == NIMBUS_E_FAILED || rc == NIMBUS_E_STOPPED);
        // A failure says why; an error envelope may carry its code alone.
        CHECK(rc == NIMBUS_OK || (next == nullptr && (msg[0] != '\0' || code[0] != '\0')));
        CHECK(rc != NIMBUS_E_STOPPED || s.calls == s.stop_after);
        CHECK(!code[0] || rc == NIMBUS_E_FAILED);
        std::free(next);
        CHECK(nimbus_feed_tree_orphans(&t) <= NIMBUS_FEED_WAITING_MAX);
        if (!cut)
            break;
        p = cut + 1;
    }
    nimbus_feed_tree_free(&t);
    CHECK(t.state == nullptr);
    return 0;
}
