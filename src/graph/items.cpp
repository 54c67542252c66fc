// driveItems of Microsoft Graph into entry records: children pages collected
// into a de-duplicating list, single items, and download URLs.
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "graph/graph.h"

namespace {

// The members of a driveItem that an entry is made of; each points at the
// value of the first member with that key, or is null.
using fields = nimbus_item_members;

yyjson_doc *read_json(nimbus_doc_guard *doc, char *body, size_t len, bool in_place, yyjson_alc *alc,
                      bool *oom);
int children(yyjson_val *root, bool oom, const char *prefix, nimbus_items *list, char **next,
             char *msg, size_t size);
bool nonempty_str(yyjson_val *v);
bool id_too_long(yyjson_val *id);
bool id_cut(yyjson_val *id);
char *str_of(yyjson_val *v);
int fill_entry(yyjson_val *obj, nimbus_item *item, const char *prefix, char *msg, size_t size);
int fill(const fields &f, nimbus_item *item, const char *prefix, size_t prefix_len,
         nimbus_buf *scratch, char *msg, size_t size);
uint64_t hash_id(const char *id);
int add(nimbus_items *list, const fields &f, const char *prefix, size_t prefix_len,
        nimbus_buf *scratch, char *msg, size_t size);
size_t find(const nimbus_items *list, const char *id, uint64_t hash);
void put_index(uint64_t *index, size_t index_cap, uint64_t hash, uint64_t k);
int grow_items(nimbus_items *list);
int grow_index(nimbus_items *list);
int media_of(const fields &f, nimbus_item *item);

constexpr char OOM[] = "out of memory";

} // namespace

int nimbus_parse_children_page(const char *body, size_t len, const char *prefix, nimbus_items *list,
                               char **next, char *msg, size_t size) {
    if (next)
        *next = nullptr;
    bool oom;
    // Read not in place, the body stays as it is.
    nimbus_doc_guard doc{nullptr};
    read_json(&doc, const_cast<char *>(body), len, false, nullptr, &oom);
    return children(yyjson_doc_get_root(doc.doc), oom, prefix, list, next, msg, size);
}

int nimbus_parse_children_in_place(char *body, size_t len, yyjson_alc *alc, const char *prefix,
                                   nimbus_items *list, char **next, char *code, size_t code_size,
                                   char *msg, size_t size) {
    if (next)
        *next = nullptr;
    if (code && code_size > 0)
        code[0] = '\0';
    bool oom;
    nimbus_doc_guard doc{nullptr};
    read_json(&doc, body, len, true, alc, &oom);
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (yyjson_is_obj(root) && nimbus_envelope(root, code, code_size, msg, size))
        return NIMBUS_E_FAILED;
    return children(root, oom, prefix, list, next, msg, size);
}

int nimbus_parse_single_item(const char *body, size_t len, const char *prefix, nimbus_item *item,
                             char *msg, size_t size) {
    *item = nimbus_item{};
    bool oom;
    nimbus_doc_guard doc{nullptr};
    read_json(&doc, const_cast<char *>(body), len, false, nullptr, &oom);
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "%s", oom ? OOM : "the item answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    if (yyjson_is_obj(nimbus_json_member(root, "error"))) {
        nimbus_msgf(msg, size, "the item answer is an error envelope");
        return NIMBUS_E_FAILED;
    }
    if (fill_entry(root, item, prefix ? prefix : "", msg, size) != 0)
        return NIMBUS_E_FAILED;
    return NIMBUS_OK;
}

yyjson_doc *nimbus_graph_read(nimbus_doc_guard *doc, char *body, size_t len, bool in_place,
                              yyjson_alc *alc, yyjson_read_err *err) {
    // Keys of the texts that address something: a repaired one would
    // address nothing, or something else.
    static const char *const addresses[] = {
        "id",       "driveId", "@microsoft.graph.downloadUrl", "@content.downloadUrl",
        "mimeType", nullptr};
    return nimbus_json_read(doc, body, len, in_place, alc, addresses, err);
}

char *nimbus_download_url_of(yyjson_val *item) {
    if (!yyjson_is_obj(item))
        return nullptr;
    yyjson_val *v = nimbus_json_member(item, "@microsoft.graph.downloadUrl");
    if (!nonempty_str(v))
        v = nimbus_json_member(item, "@content.downloadUrl");
    return str_of(v);
}

void nimbus_item_free(nimbus_item *item) {
    if (!item)
        return;
    if (item->media) {
        std::free(item->media->mime_type);
        std::free(item->media->title);
        std::free(item->media->artist);
        std::free(item->media->album);
        std::free(item->media);
    }
    std::free(item->id);
    std::free(item->name);
    std::free(item->path);
    *item = nimbus_item{};
}

void nimbus_items_free(nimbus_items *list) {
    if (!list)
        return;
    for (size_t i = 0; i < list->count; i++)
        nimbus_item_free(&list->items[i]);
    std::free(list->items);
    std::free(list->index);
    *list = nimbus_items{};
}

namespace {

bool key_is(const char *s, size_t n, const char *key, size_t key_len) {
    return n == key_len && std::memcmp(s, key, n) == 0;
}

// The answer into doc, read in place or not. Null for an absent or
// malformed body; oom tells when the reader itself ran out of memory,
// which is reported as such rather than as a malformed answer.
yyjson_doc *read_json(nimbus_doc_guard *doc, char *body, size_t len, bool in_place, yyjson_alc *alc,
                      bool *oom) {
    *oom = false;
    yyjson_read_err err{};
    yyjson_doc *d = nimbus_graph_read(doc, body, len, in_place, alc, &err);
    *oom = !d && body && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION;
    return d;
}

// The entries of a children page with the root root (null when the body
// did not parse; oom tells why) appended to list.
int children(yyjson_val *root, bool oom, const char *prefix, nimbus_items *list, char **next,
             char *msg, size_t size) {
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "%s", oom ? OOM : "the children answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    yyjson_val *value = nimbus_json_member(root, "value");
    if (!yyjson_is_arr(value)) {
        nimbus_msgf(msg, size, "the children answer has no value[]");
        return NIMBUS_E_FAILED;
    }
    // The link is handed over only on success, so no failure leaves one behind.
    nimbus_str link;
    if (next && nimbus_page_link(root, "@odata.nextLink", &link) != 0) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_FAILED;
    }

    size_t prefix_len = prefix ? std::strlen(prefix) : 0;
    nimbus_buf scratch{};
    nimbus_buf_guard scratch_guard{&scratch};
    yyjson_arr_iter iter = yyjson_arr_iter_with(value);
    yyjson_val *obj;
    while ((obj = yyjson_arr_iter_next(&iter))) {
        if (!yyjson_is_obj(obj))
            continue;
        fields f{};
        nimbus_scan_item(obj, &f);
        // An element without a usable id, or with one longer than an entry
        // argument may carry, is skipped.
        if (!nonempty_str(f.id) || id_too_long(f.id) || id_cut(f.id))
            continue;
        nimbus_file_shortcut(&f);
        int rc = add(list, f, prefix, prefix_len, &scratch, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
    }
    if (next)
        *next = link.release();
    return NIMBUS_OK;
}

bool nonempty_str(yyjson_val *v) {
    return yyjson_is_str(v) && yyjson_get_len(v) > 0;
}

// An item whose id no entry argument can carry could never be streamed or
// listed; keeping it would only let a page grow memory without bound.
bool id_too_long(yyjson_val *id) {
    return yyjson_get_len(id) > NIMBUS_ITEM_ID_MAX;
}

// An id holding a NUL (escaped, or raw in a lenient reading) would be cut
// short as a text: it names no item a request could reach.
bool id_cut(yyjson_val *id) {
    return std::memchr(yyjson_get_str(id), '\0', yyjson_get_len(id)) != nullptr;
}

// An owned copy of a member's value when it is a non-empty string (escaped
// NULs stay in the copy); null for any other value and on allocation failure.
// Callers look the member up themselves: a driveItem's members are all found
// in one walk.
char *str_of(yyjson_val *v) {
    return nonempty_str(v) ? nimbus_strndup(yyjson_get_str(v), yyjson_get_len(v)) : nullptr;
}

int fill_entry(yyjson_val *obj, nimbus_item *item, const char *prefix, char *msg, size_t size) {
    fields f{};
    nimbus_scan_item(obj, &f);
    nimbus_file_shortcut(&f);
    nimbus_buf scratch{};
    nimbus_buf_guard scratch_guard{&scratch};
    return fill(f, item, prefix, prefix ? std::strlen(prefix) : 0, &scratch, msg, size);
}

} // namespace

int64_t nimbus_size_of(yyjson_val *v) {
    int64_t n = -1;
    if (yyjson_is_uint(v)) {
        n = static_cast<int64_t>(yyjson_get_uint(v));
    } else if (yyjson_is_sint(v)) {
        n = yyjson_get_sint(v);
    } else if (yyjson_is_real(v)) {
        double d = yyjson_get_real(v);
        if (d >= -9.2e18 && d < 9.2e18)
            n = static_cast<int64_t>(d);
    }
    return n < -1 ? -1 : n;
}

void nimbus_scan_item(yyjson_val *obj, nimbus_item_members *m) {
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(obj, idx, max, key, val) {
        const char *s = unsafe_yyjson_get_str(key);
        size_t n = unsafe_yyjson_get_len(key);
        yyjson_val **slot = nullptr;
        switch (n) {
        case 2:
            if (key_is(s, n, "id", 2))
                slot = &m->id;
            break;
        case 4:
            if (key_is(s, n, "name", 4))
                slot = &m->name;
            else if (key_is(s, n, "size", 4))
                slot = &m->size;
            else if (key_is(s, n, "file", 4))
                slot = &m->file;
            break;
        case 5:
            if (key_is(s, n, "audio", 5))
                slot = &m->audio;
            else if (key_is(s, n, "video", 5))
                slot = &m->video;
            else if (key_is(s, n, "photo", 5))
                slot = &m->photo;
            else if (key_is(s, n, "image", 5))
                slot = &m->image;
            break;
        case 6:
            if (key_is(s, n, "folder", 6))
                slot = &m->folder;
            break;
        case 7:
            if (key_is(s, n, "deleted", 7))
                slot = &m->deleted;
            break;
        case 10:
            if (key_is(s, n, "remoteItem", 10))
                slot = &m->remote;
            break;
        case 20:
            if (key_is(s, n, "lastModifiedDateTime", 20))
                slot = &m->mtime;
            else if (key_is(s, n, "@content.downloadUrl", 20))
                slot = &m->content_url;
            break;
        case 28:
            if (key_is(s, n, "@microsoft.graph.downloadUrl", 28))
                slot = &m->graph_url;
            break;
        default:
            break;
        }
        if (slot && !*slot)
            *slot = val;
    }
}

namespace {

// Fills item from the members nimbus_scan_item found. The name is cleaned into the
// caller's scratch buffer right after the path's prefix and "/", so the path
// and the name are both cut from one pass and copied at their exact size.
int fill(const fields &f, nimbus_item *item, const char *prefix, size_t prefix_len,
         nimbus_buf *scratch, char *msg, size_t size) {
    *item = nimbus_item{};
    if (!nonempty_str(f.id)) {
        nimbus_msgf(msg, size, "a driveItem carries no id");
        return -1;
    }
    if (id_too_long(f.id)) {
        nimbus_msgf(msg, size, "a driveItem id is longer than %zu bytes", NIMBUS_ITEM_ID_MAX);
        return -1;
    }
    if (id_cut(f.id)) {
        nimbus_msgf(msg, size, "a driveItem carries no id");
        return -1;
    }
    item->id = str_of(f.id);
    if (!item->id) {
        nimbus_msgf(msg, size, "%s", OOM);
        return -1;
    }
    item->folder = nimbus_is_folder(f.folder, f.remote) ? 1 : 0;
    item->size = nimbus_size_of(f.size);
    item->mtime_ms = nonempty_str(f.mtime) ? nimbus_iso8601_ms(yyjson_get_str(f.mtime)) : 0;

    const char *base = nimbus_basename(item->id);
    const char *name = nonempty_str(f.name) ? yyjson_get_str(f.name) : nullptr;
    scratch->len = 0;
    size_t head = prefix_len + 1;
    if ((prefix_len > 0 && nimbus_buf_add(scratch, prefix, prefix_len) != 0) ||
        nimbus_buf_add(scratch, "/", 1) != 0 ||
        nimbus_name_clean(scratch, name, *base ? base : "item") != 0 ||
        !(item->path = nimbus_strndup(scratch->data, scratch->len)) ||
        !(item->name = nimbus_strndup(scratch->data + head, scratch->len - head))) {
        nimbus_item_free(item);
        nimbus_msgf(msg, size, "%s", OOM);
        return -1;
    }
    return 0;
}

// Adds the element unless its id is listed already. Duplicates are
// recognised on the document's own bytes, before anything is copied.
int add(nimbus_items *list, const fields &f, const char *prefix, size_t prefix_len,
        nimbus_buf *scratch, char *msg, size_t size) {
    uint64_t hash = hash_id(yyjson_get_str(f.id));
    if (find(list, yyjson_get_str(f.id), hash))
        return NIMBUS_OK;
    if (list->count >= NIMBUS_MAX_ENTRIES) {
        nimbus_msgf(msg, size, "folder has more than %u items",
                    static_cast<unsigned>(NIMBUS_MAX_ENTRIES));
        return NIMBUS_E_FAILED;
    }
    nimbus_item item;
    if (fill(f, &item, prefix, prefix_len, scratch, msg, size) != 0 ||
        (list->media && media_of(f, &item) != 0) ||
        (list->count == list->cap && grow_items(list) != 0) ||
        (list->index_cap < 2 * (list->count + 1) && grow_index(list) != 0)) {
        nimbus_item_free(&item);
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_FAILED;
    }
    list->items[list->count++] = item;
    put_index(list->index, list->index_cap, hash, list->count);
    return NIMBUS_OK;
}

char *dup_or_null(const char *s) {
    return s ? nimbus_strdup(s) : nullptr;
}

// The facets of a file into item->media; 0, or -1 without memory.
int media_of(const fields &f, nimbus_item *item) {
    if (item->folder)
        return 0;
    nimbus_entry e{};
    nimbus_media_of(f.audio, f.video, f.photo, f.image, &e);
    auto *m = static_cast<nimbus_item_media *>(std::calloc(1, sizeof(nimbus_item_media)));
    if (!m)
        return -1;
    item->media = m;
    yyjson_val *mime = yyjson_is_obj(f.file) ? nimbus_json_member(f.file, "mimeType") : nullptr;
    const char *mt =
        nimbus_file_type(nonempty_str(mime) ? yyjson_get_str(mime) : nullptr, item->name);
    m->track = e.track;
    m->year = e.year;
    m->duration_ms = e.duration_ms;
    if ((mt && !(m->mime_type = nimbus_strdup(mt))) ||
        (e.title && !(m->title = dup_or_null(e.title))) ||
        (e.artist && !(m->artist = dup_or_null(e.artist))) ||
        (e.album && !(m->album = dup_or_null(e.album))))
        return -1;
    m->media_type = nimbus_media_kind(f.audio, f.video, f.photo, f.image, mt);
    return 0;
}

constexpr uint64_t FNV_BASIS = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;

// 64-bit FNV-1a over the bytes of id up to its NUL.
uint64_t hash_id(const char *id) {
    uint64_t h = FNV_BASIS;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(id); *p; p++) {
        h ^= *p;
        h *= FNV_PRIME;
    }
    return h;
}

// The position + 1 of the entry whose id equals id, or 0.
size_t find(const nimbus_items *list, const char *id, uint64_t hash) {
    if (list->index_cap == 0)
        return 0;
    size_t mask = list->index_cap - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        uint64_t k = list->index[i];
        if (k == 0)
            return 0;
        if (std::strcmp(list->items[k - 1].id, id) == 0)
            return k;
    }
}

void put_index(uint64_t *index, size_t index_cap, uint64_t hash, uint64_t k) {
    size_t mask = index_cap - 1;
    size_t i = hash & mask;
    while (index[i] != 0)
        i = (i + 1) & mask;
    index[i] = k;
}

int grow_items(nimbus_items *list) {
    size_t cap = list->count == 0 ? 64 : 2 * list->count;
    void *p = std::realloc(list->items, cap * sizeof(nimbus_item));
    if (!p)
        return -1;
    list->items = static_cast<nimbus_item *>(p);
    list->cap = cap;
    return 0;
}

// Doubles the index and re-inserts every entry; on failure the old table stays.
int grow_index(nimbus_items *list) {
    size_t cap = list->index_cap == 0 ? 128 : 2 * list->index_cap;
    uint64_t *index = static_cast<uint64_t *>(std::calloc(cap, sizeof(uint64_t)));
    if (!index)
        return -1;
    for (size_t k = 1; k <= list->count; k++)
        put_index(index, cap, hash_id(list->items[k - 1].id), k);
    std::free(list->index);
    list->index = index;
    list->index_cap = cap;
    return 0;
}

} // namespace
