// The host's entry JSON: {"items":[...]} with one seventeen-key object per
// entry, written without white space; also the other forms an entry takes
// for a host: the stream locator and a walk's one-line object.
//
// A listing holds up to 100000 entries, so an entry is normally written in
// one piece, straight into the buffer; the rare entry too long for the stack
// area is appended piece by piece. Both escape strings with
// nimbus_json_put_str.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "graph/graph.h"

namespace {

int entry(nimbus_buf *b, const nimbus_item *item, const char *tail, size_t tail_len, bool comma);
int pieces(nimbus_buf *b, const nimbus_item *item, const char *tail, size_t tail_len);
int parent_tail(nimbus_buf *b, const char *parent);
size_t least_size(size_t count, size_t tail_len);
int reserve(nimbus_buf *b, size_t room);
int media_entries(nimbus_buf *b, const nimbus_items *list, const char *parent);
int media_parent(nimbus_buf *tail, const char *parent);
int media_tail(nimbus_buf *tail, const nimbus_item &it);
int str_or_null(nimbus_buf *b, const char *key, const char *s);
int num_or_null(nimbus_buf *b, const char *key, int64_t v);

// The fixed texts of an entry object, in order; the sizes below are
// computed from them, so a changed key changes every bound with it.
constexpr char NAME_KEY[] = "{\"name\":";
constexpr char PATH_KEY[] = ",\"path\":";
constexpr char FOLDER_RUN[] = ",\"folder\":true,\"kind\":\"dir\"";
constexpr char FILE_RUN[] = ",\"folder\":false,\"kind\":\"file\"";
constexpr char SIZE_KEY[] = ",\"size\":";
constexpr char MTIME_KEY[] = ",\"mtime_ms\":";
constexpr char ID_KEY[] = ",\"id\":";
constexpr char BACKEND_KEY[] = ",\"backend_id\":";
constexpr char PARENT_KEY[] = ",\"parent_id\":";
// Everything after the parent text is the same for every entry.
constexpr char FIXED_TAIL[] = ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":null,"
                              "\"container\":null,\"imdb\":null,\"tmdb\":null,\"available\":false}";

template <size_t N> constexpr size_t lit(const char (&)[N]) {
    return N - 1;
}
constexpr size_t INT_CHARS = 20; // any int64_t
// The run between the path and the id, with its two numbers, at its longest.
constexpr size_t MIDDLE_MAX = (lit(FOLDER_RUN) > lit(FILE_RUN) ? lit(FOLDER_RUN) : lit(FILE_RUN)) +
                              lit(SIZE_KEY) + INT_CHARS + lit(MTIME_KEY) + INT_CHARS + lit(ID_KEY);
// An entry before its tail, less the bytes of its four strings: a comma, the
// keys, the middle run and four strings as quotes or null.
constexpr size_t ENTRY_FIXED_MAX =
    1 + lit(NAME_KEY) + lit(PATH_KEY) + MIDDLE_MAX + lit(BACKEND_KEY) + 4 * lit("null");
// The same with every string empty and both numbers 0: its fewest bytes.
constexpr size_t ENTRY_FIXED_MIN =
    1 + lit(NAME_KEY) + lit(PATH_KEY) +
    (lit(FOLDER_RUN) < lit(FILE_RUN) ? lit(FOLDER_RUN) : lit(FILE_RUN)) + lit(SIZE_KEY) + 1 +
    lit(MTIME_KEY) + 1 + lit(ID_KEY) + lit(BACKEND_KEY) + 4 * lit("\"\"");

} // namespace

int nimbus_item_json(nimbus_buf *b, const nimbus_item *item, const char *parent) {
    nimbus_buf tail{};
    nimbus_buf_guard tail_guard{&tail};
    if (parent_tail(&tail, parent) != 0)
        return -1;
    return entry(b, item, tail.data, tail.len, false);
}

int nimbus_item_media_json(nimbus_buf *b, const nimbus_item *item, const char *parent) {
    nimbus_buf tail{};
    nimbus_buf_guard tail_guard{&tail};
    if (media_parent(&tail, parent) != 0 || media_tail(&tail, *item) != 0)
        return -1;
    return pieces(b, item, tail.data, tail.len);
}

size_t nimbus_items_json_size(const nimbus_items *list, const char *parent) {
    size_t tail =
        lit(PARENT_KEY) + (parent ? std::strlen(parent) + 2 : lit("null")) + lit(FIXED_TAIL);
    size_t want = lit("{\"items\":[") + lit("]}") + 1;
    for (size_t i = 0; i < list->count; i++) {
        const nimbus_item &it = list->items[i];
        size_t name = it.name ? std::strlen(it.name) : 0;
        size_t path = it.path ? std::strlen(it.path) : 0;
        size_t id = it.id ? std::strlen(it.id) : 0;
        want += ENTRY_FIXED_MAX + tail + name + path + 2 * id;
    }
    return want;
}

int nimbus_items_json(nimbus_buf *b, const nimbus_items *list, const char *parent) {
    // The parent text is escaped once for the whole document.
    nimbus_buf tail{};
    nimbus_buf_guard tail_guard{&tail};
    if (parent_tail(&tail, parent) != 0 ||
        nimbus_buf_add(b, "{\"items\":[", lit("{\"items\":[")) != 0 ||
        reserve(b, least_size(list->count, tail.len)) != 0)
        return -1;
    if (list->media)
        return media_entries(b, list, parent);
    for (size_t i = 0; i < list->count; i++)
        if (entry(b, &list->items[i], tail.data, tail.len, i > 0) != 0)
            return -1;
    return nimbus_buf_add(b, "]}", 2);
}

int nimbus_locator_json(nimbus_buf *b, const char *url, const char *id, const char *name,
                        int64_t size) {
    int bad = nimbus_buf_adds(b, "{\"url\":");
    bad |= nimbus_buf_json_str(b, url);
    bad |= nimbus_buf_adds(b, ",\"id\":");
    bad |= nimbus_buf_json_str(b, id);
    bad |= nimbus_buf_adds(b, ",\"name\":");
    bad |= nimbus_buf_json_str(b, name);
    bad |= nimbus_buf_addf(b, ",\"size\":%lld,\"range\":true}", static_cast<long long>(size));
    return bad ? -1 : 0;
}

int nimbus_entry_line_json(nimbus_buf *b, const nimbus_entry *e) {
    int bad = str_or_null(b, "{\"path\":", e->path);
    bad |= str_or_null(b, ",\"name\":", e->name);
    bad |= nimbus_buf_adds(b, e->folder ? ",\"folder\":true" : ",\"folder\":false");
    bad |= nimbus_buf_addf(b, ",\"size\":%lld", static_cast<long long>(e->size));
    bad |= str_or_null(b, ",\"id\":", e->id);
    bad |= nimbus_buf_addf(b, ",\"mtime_ms\":%lld", static_cast<long long>(e->mtime_ms));
    bad |= str_or_null(b, ",\"mime_type\":", e->mime_type);
    bad |= str_or_null(b, ",\"media_type\":", e->media_type);
    bad |= str_or_null(b, ",\"title\":", e->title);
    bad |= str_or_null(b, ",\"artist\":", e->artist);
    bad |= str_or_null(b, ",\"album\":", e->album);
    bad |= num_or_null(b, ",\"track\":", e->track);
    bad |= num_or_null(b, ",\"year\":", e->year);
    bad |= num_or_null(b, ",\"duration_ms\":", e->duration_ms);
    bad |= num_or_null(b, ",\"width\":", e->width);
    bad |= num_or_null(b, ",\"height\":", e->height);
    bad |= nimbus_buf_add(b, "}", 1);
    return bad ? -1 : 0;
}

namespace {

// `,"parent_id":` with the parent as a JSON string (or null), then the fixed
// tail of every entry object.
int parent_tail(nimbus_buf *b, const char *parent) {
    if (nimbus_buf_add(b, PARENT_KEY, lit(PARENT_KEY)) != 0 ||
        nimbus_buf_json_str(b, parent) != 0 || nimbus_buf_add(b, FIXED_TAIL, lit(FIXED_TAIL)) != 0)
        return -1;
    return 0;
}

// The fewest bytes the entries of a list add, with the closing "]}" and the
// NUL: each entry has its fixed texts (an empty string is the shortest
// value), the tail and a comma, one comma fewer than entries.
size_t least_size(size_t count, size_t tail_len) {
    size_t each = ENTRY_FIXED_MIN + tail_len;
    return count > 0 && count <= (SIZE_MAX - 2) / each ? count * each + 2 : 0;
}

// Makes room for room more bytes in one step, growing the capacity by the
// buffer's own doubling rule. The writes would reach at least this capacity
// anyway, so the final capacity is the same; what is saved is the chain of
// ever larger blocks below it, each of them fresh memory that is filled,
// copied and dropped on the way up.
int reserve(nimbus_buf *b, size_t room) {
    if (room == 0 || room > SIZE_MAX - b->len)
        return 0;
    size_t need = b->len + room;
    if (b->cap >= need)
        return 0;
    size_t cap = b->cap == 0 ? 256 : b->cap;
    while (cap < need) {
        if (cap >> 63 != 0)
            return 0;
        cap *= 2;
    }
    void *p = std::realloc(b->data, cap);
    if (!p)
        return -1;
    b->data = static_cast<char *>(p);
    b->cap = cap;
    return 0;
}

template <size_t N> char *put(char *p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

char *put_int(char *p, int64_t v) {
    return std::to_chars(p, p + INT_CHARS, v).ptr;
}

// The run between the path and the id: at most MIDDLE_MAX bytes.
char *put_middle(char *p, const nimbus_item *item) {
    p = item->folder ? put(p, FOLDER_RUN) : put(p, FILE_RUN);
    p = put(p, SIZE_KEY);
    p = put_int(p, item->size);
    p = put(p, MTIME_KEY);
    p = put_int(p, item->mtime_ms);
    return put(p, ID_KEY);
}

// A string or null: at most 6 * strlen + 4 bytes.
char *put_str_or_null(char *p, const char *s, size_t n) {
    return s ? nimbus_json_put_str(p, s, n) : put(p, "null");
}

constexpr size_t STACK_ENTRY = 4096;

// The entry object at p, which has room for the bound entry() computes:
// ENTRY_FIXED_MAX, the tail and six bytes per string byte.
char *put_entry(char *p, const nimbus_item *item, size_t name_len, size_t path_len, size_t id_len,
                const char *tail, size_t tail_len) {
    p = put(p, NAME_KEY);
    p = put_str_or_null(p, item->name, name_len);
    p = put(p, PATH_KEY);
    p = put_str_or_null(p, item->path, path_len);
    p = put_middle(p, item);
    char *id = p;
    p = put_str_or_null(p, item->id, id_len);
    size_t id_json = static_cast<size_t>(p - id);
    p = put(p, BACKEND_KEY);
    std::memcpy(p, id, id_json);
    p += id_json;
    std::memcpy(p, tail, tail_len);
    return p + tail_len;
}

// One entry object, preceded by a comma when asked. It is written straight
// into the buffer when its largest size fits the room left, else on the
// stack and appended in one piece; only an entry larger than the stack area
// is appended piece by piece.
int entry(nimbus_buf *b, const nimbus_item *item, const char *tail, size_t tail_len, bool comma) {
    size_t name_len = item->name ? std::strlen(item->name) : 0;
    size_t path_len = item->path ? std::strlen(item->path) : 0;
    size_t id_len = item->id ? std::strlen(item->id) : 0;
    // Each string byte takes at most 6.
    size_t fixed = ENTRY_FIXED_MAX + tail_len;
    size_t strings = name_len + path_len + 2 * id_len;
    size_t bound = strings <= (SIZE_MAX - fixed) / 6 ? fixed + 6 * strings : SIZE_MAX;
    char stack[STACK_ENTRY];
    char *out;
    if (b->data && b->cap - b->len - 1 >= bound)
        out = b->data + b->len;
    else if (bound <= STACK_ENTRY)
        out = stack;
    else
        return (comma && nimbus_buf_add(b, ",", 1) != 0) || pieces(b, item, tail, tail_len) != 0
                   ? -1
                   : 0;
    char *p = out;
    if (comma)
        *p++ = ',';
    p = put_entry(p, item, name_len, path_len, id_len, tail, tail_len);
    size_t n = static_cast<size_t>(p - out);
    if (out == stack)
        return nimbus_buf_add(b, stack, n);
    b->len += n;
    b->data[b->len] = '\0';
    return 0;
}

// The entry appended piece by piece, the strings by nimbus_buf_json_str.
int pieces(nimbus_buf *b, const nimbus_item *item, const char *tail, size_t tail_len) {
    char mid[MIDDLE_MAX];
    char *end = put_middle(mid, item);
    if (nimbus_buf_add(b, NAME_KEY, lit(NAME_KEY)) != 0 ||
        nimbus_buf_json_str(b, item->name) != 0 ||
        nimbus_buf_add(b, PATH_KEY, lit(PATH_KEY)) != 0 ||
        nimbus_buf_json_str(b, item->path) != 0 ||
        nimbus_buf_add(b, mid, static_cast<size_t>(end - mid)) != 0 ||
        nimbus_buf_json_str(b, item->id) != 0 ||
        nimbus_buf_add(b, BACKEND_KEY, lit(BACKEND_KEY)) != 0 ||
        nimbus_buf_json_str(b, item->id) != 0 || nimbus_buf_add(b, tail, tail_len) != 0)
        return -1;
    return 0;
}

int str_or_null(nimbus_buf *b, const char *key, const char *s) {
    return nimbus_buf_adds(b, key) | nimbus_buf_json_str(b, s);
}

int num_or_null(nimbus_buf *b, const char *key, int64_t v) {
    if (nimbus_buf_adds(b, key) != 0)
        return -1;
    return v ? nimbus_buf_addf(b, "%lld", static_cast<long long>(v)) : nimbus_buf_adds(b, "null");
}

// The file name's extension in lower case, into out (empty when none: no
// dot, a leading dot only, or a dot at the end).
void container_of(const char *name, char *out, size_t size) {
    out[0] = '\0';
    const char *dot = name ? std::strrchr(name, '.') : nullptr;
    if (!dot || dot == name || !dot[1] || std::strlen(dot + 1) >= size)
        return;
    size_t i = 0;
    for (const char *p = dot + 1; *p; p++)
        out[i++] = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
    out[i] = '\0';
}

// The tail of an entry with what its facets say: title, year, media_type
// and container filled, and the media keys after "available". tail holds
// the parent text and keeps it.
int media_tail(nimbus_buf *tail, const nimbus_item &it) {
    static const nimbus_item_media none{};
    const nimbus_item_media &m = it.media ? *it.media : none;
    char ext[32];
    container_of(it.folder ? nullptr : it.name, ext, sizeof ext);
    int bad = str_or_null(tail, ",\"title\":", m.title);
    bad |= num_or_null(tail, ",\"year\":", m.year);
    bad |= str_or_null(tail, ",\"type\":null,\"media_type\":", m.media_type);
    bad |= str_or_null(tail, ",\"container\":", ext[0] ? ext : nullptr);
    bad |= nimbus_buf_adds(tail, ",\"imdb\":null,\"tmdb\":null,\"available\":false");
    bad |= str_or_null(tail, ",\"mime_type\":", m.mime_type);
    bad |= str_or_null(tail, ",\"artist\":", m.artist);
    bad |= str_or_null(tail, ",\"album\":", m.album);
    bad |= num_or_null(tail, ",\"track\":", m.track);
    bad |= num_or_null(tail, ",\"duration_ms\":", m.duration_ms);
    bad |= nimbus_buf_adds(tail, "}");
    return bad ? -1 : 0;
}

int media_parent(nimbus_buf *tail, const char *parent) {
    return nimbus_buf_add(tail, PARENT_KEY, lit(PARENT_KEY)) != 0 ||
                   nimbus_buf_json_str(tail, parent) != 0
               ? -1
               : 0;
}

// The entries with their media keys, written piece by piece; a listing asks
// for them only when its settings do.
int media_entries(nimbus_buf *b, const nimbus_items *list, const char *parent) {
    nimbus_buf tail{};
    nimbus_buf_guard tg{&tail};
    if (media_parent(&tail, parent) != 0)
        return -1;
    size_t head = tail.len;
    for (size_t i = 0; i < list->count; i++) {
        const nimbus_item &it = list->items[i];
        tail.len = head;
        if (media_tail(&tail, it) != 0 || (i > 0 && nimbus_buf_add(b, ",", 1) != 0) ||
            pieces(b, &it, tail.data, tail.len) != 0)
            return -1;
    }
    return nimbus_buf_add(b, "]}", 2);
}

} // namespace
