// The host's entry JSON: {"items":[...]} with one seventeen-key object per
// entry, written without white space.
#include <charconv>
#include <cstring>

#include "graph/graph.h"

namespace {

int entry(nimbus_buf *b, const nimbus_item *item, const char *tail, size_t tail_len);
int parent_tail(nimbus_buf *b, const char *parent);

// Everything after the parent text is the same for every entry.
constexpr char FIXED_TAIL[] = ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":null,"
                              "\"container\":null,\"imdb\":null,\"tmdb\":null,\"available\":false}";

} // namespace

int nimbus_item_json(nimbus_buf *b, const nimbus_item *item, const char *parent) {
    nimbus_buf tail{};
    nimbus_buf_guard tail_guard{&tail};
    if (parent_tail(&tail, parent) != 0)
        return -1;
    return entry(b, item, tail.data, tail.len);
}

int nimbus_items_json(nimbus_buf *b, const nimbus_items *list, const char *parent) {
    // The parent text is escaped once for the whole document.
    nimbus_buf tail{};
    nimbus_buf_guard tail_guard{&tail};
    if (parent_tail(&tail, parent) != 0 || nimbus_buf_add(b, "{\"items\":[", 10) != 0)
        return -1;
    for (size_t i = 0; i < list->count; i++) {
        if ((i > 0 && nimbus_buf_add(b, ",", 1) != 0) ||
            entry(b, &list->items[i], tail.data, tail.len) != 0)
            return -1;
    }
    return nimbus_buf_add(b, "]}", 2);
}

namespace {

// `,"parent_id":` with the parent as a JSON string (or null), then the fixed
// tail of every entry object.
int parent_tail(nimbus_buf *b, const char *parent) {
    if (nimbus_buf_add(b, ",\"parent_id\":", 13) != 0 || nimbus_buf_json_str(b, parent) != 0 ||
        nimbus_buf_add(b, FIXED_TAIL, sizeof FIXED_TAIL - 1) != 0)
        return -1;
    return 0;
}

template <size_t N> char *put(char *p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

// Any int64_t fits in 20 characters.
char *put_int(char *p, int64_t v) {
    return std::to_chars(p, p + 20, v).ptr;
}

// One entry object; the run between the path and the id, with its two
// numbers, is formatted on the stack and appended in one piece.
int entry(nimbus_buf *b, const nimbus_item *item, const char *tail, size_t tail_len) {
    char mid[128];
    char *p = item->folder ? put(mid, ",\"folder\":true,\"kind\":\"dir\"")
                           : put(mid, ",\"folder\":false,\"kind\":\"file\"");
    p = put(p, ",\"size\":");
    p = put_int(p, item->size);
    p = put(p, ",\"mtime_ms\":");
    p = put_int(p, item->mtime_ms);
    p = put(p, ",\"id\":");
    if (nimbus_buf_add(b, "{\"name\":", 8) != 0 || nimbus_buf_json_str(b, item->name) != 0 ||
        nimbus_buf_add(b, ",\"path\":", 8) != 0 || nimbus_buf_json_str(b, item->path) != 0 ||
        nimbus_buf_add(b, mid, static_cast<size_t>(p - mid)) != 0 ||
        nimbus_buf_json_str(b, item->id) != 0 || nimbus_buf_add(b, ",\"backend_id\":", 14) != 0 ||
        nimbus_buf_json_str(b, item->id) != 0 || nimbus_buf_add(b, tail, tail_len) != 0)
        return -1;
    return 0;
}

} // namespace
