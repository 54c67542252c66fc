// driveItems streamed as nimbus_entry views: one children page at a time,
// de-duplicated by id across the pages of a listing, each entry handed to
// the host's callback while its page's document is alive.
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "graph/feed_tree.h"
#include "graph/graph.h"

namespace {

// The members of a driveItem an entry is made of: the value of the first
// member of each key, or null.
using members = nimbus_item_members;

bool usable_id(yyjson_val *id);
const char *text_of(yyjson_val *v);
int fill(const members &m, const char *prefix, size_t prefix_len, nimbus_buf *scratch,
         nimbus_entry *entry);
bool seen_add(nimbus_idset *set, const char *id, size_t n, uint64_t hash, bool *added);
uint64_t hash_id(const char *id, size_t n);
size_t home_of(uint64_t hash_or_slot, size_t cap);

// An entry of a page on its way out: its driveItem's members and, for a
// de-duplicated listing, its id's length up to the first NUL and hash.
struct pending {
    yyjson_val *obj;
    members m;
    size_t id_len;
    uint64_t hash;
};

// Elements are taken in runs of this many: the run's ids are hashed and
// their slots in the id set fetched before the first of them is looked up,
// so that the set's cache misses overlap instead of stalling one entry
// after another (the set outgrows the caches at some ten thousand ids).
constexpr size_t RUN = 32;

int hand_out(nimbus_walk *walk, const pending &p, char *msg, size_t size);

// The virtual path of the folder that holds obj, from its
// parentReference.path, relative to root: 1 with the path in out ("" for
// the root), 0 when the answer gives none usable or the folder lies
// outside root, -1 without memory.
int parent_prefix(yyjson_val *obj, const char *root, nimbus_buf *out) {
    int got = nimbus_ref_folder(obj, out);
    if (got <= 0)
        return got;
    size_t cut = 0;
    if (!nimbus_beneath_root(out->data, out->len, root, &cut))
        return 0;
    std::memmove(out->data, out->data + cut, out->len - cut + 1);
    out->len -= cut;
    return 1;
}

// An entry on another drive: its id in the form that addresses it there.
int remote_entry(nimbus_walk *walk, nimbus_entry *entry) {
    walk->ids.len = 0;
    if (nimbus_remote_id_of(&walk->ids, walk->drive, std::strlen(walk->drive), entry->id) != 0)
        return -1;
    entry->id = walk->ids.data;
    if (!entry->drive_id)
        entry->drive_id = walk->drive;
    return 0;
}

constexpr char OOM[] = "out of memory";

} // namespace

// The host fetches a download URL by itself: only an https:// URL is handed
// out, never a file:, javascript: or plain http: one.
bool nimbus_is_https(const char *url) {
    static const char scheme[] = "https://";
    for (size_t i = 0; i + 1 < sizeof scheme; i++) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i])
            return false;
    }
    return true;
}

bool nimbus_is_folder(yyjson_val *folder, yyjson_val *remote) {
    return yyjson_is_obj(folder) ||
           (yyjson_is_obj(remote) && yyjson_is_obj(nimbus_json_member(remote, "folder")));
}

void nimbus_file_shortcut(nimbus_item_members *m) {
    if (!yyjson_is_obj(m->remote) || nimbus_is_folder(m->folder, m->remote))
        return;
    // The shortcut's own size (0) and time describe the link, not the file
    // a host plays; the remoteItem carries the file's members.
    nimbus_item_members r{};
    nimbus_scan_item(m->remote, &r);
    m->size = r.size;
    m->file = r.file;
    if (text_of(r.mtime))
        m->mtime = r.mtime;
    m->audio = r.audio;
    m->video = r.video;
    m->photo = r.photo;
    m->image = r.image;
}

bool nimbus_remote_of(yyjson_val *item, const char **drive, const char **id) {
    yyjson_val *remote = nimbus_json_member(item, "remoteItem");
    if (!yyjson_is_obj(remote))
        return false;
    yyjson_val *d = nimbus_json_member(nimbus_json_member(remote, "parentReference"), "driveId");
    yyjson_val *i = nimbus_json_member(remote, "id");
    if (!yyjson_is_str(d) || !yyjson_is_str(i) ||
        !nimbus_segment_ok(yyjson_get_str(d), yyjson_get_len(d)) ||
        !nimbus_segment_ok(yyjson_get_str(i), yyjson_get_len(i)))
        return false;
    *drive = yyjson_get_str(d);
    *id = yyjson_get_str(i);
    return true;
}

// Ids from the service end up in URL paths: only bytes that need no
// encoding and cannot leave the segment are accepted.
bool nimbus_segment_ok(const char *s, size_t n) {
    if (n == 0 || n > NIMBUS_ITEM_ID_MAX)
        return false;
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '!' || c == '-' || c == '_' || (c == '.' && (i + 1 == n || s[i + 1] != '.'));
        if (!ok)
            return false;
    }
    return true;
}

int nimbus_ref_folder(yyjson_val *item, nimbus_buf *out) {
    out->len = 0;
    yyjson_val *v = nimbus_json_member(nimbus_json_member(item, "parentReference"), "path");
    if (!yyjson_is_str(v))
        return 0;
    const char *p = yyjson_get_str(v);
    size_t n = yyjson_get_len(v);
    // Each decoded byte takes at most three: a longer text cannot fit.
    const char *colon =
        n <= 3 * NIMBUS_WALK_PATH_MAX + NIMBUS_ITEM_ID_MAX + 16 ? std::strstr(p, "root:") : nullptr;
    if (!colon || std::strlen(p) != n)
        return 0;
    bool own = colon == p + 7 && std::strncmp(p, "/drive/", 7) == 0;
    bool other = colon > p + 8 && std::strncmp(p, "/drives/", 8) == 0 && colon[-1] == '/' &&
                 nimbus_segment_ok(p + 8, static_cast<size_t>(colon - 1 - (p + 8)));
    if (!own && !other)
        return 0;
    // The service percent-encodes the path; a '%' without two hex digits
    // after it stands for itself.
    for (const char *r = colon + 5; *r; r++) {
        int hi = *r == '%' ? nimbus_hex_value(r[1]) : -1;
        int lo = hi >= 0 ? nimbus_hex_value(r[2]) : -1;
        char c = lo >= 0 ? static_cast<char>(hi * 16 + lo) : *r;
        if (lo >= 0)
            r += 2;
        if (nimbus_buf_add(out, &c, 1) != 0)
            return -1;
    }
    if (out->len == 0)
        return nimbus_buf_add(out, "", 0) != 0 ? -1 : 1;
    // An escaped NUL, "." or ".." segments, an empty segment, a bad
    // sequence or a path past the walk's bounds: no usable path.
    const char *d = out->data;
    bool ok = !std::memchr(d, '\0', out->len) && nimbus_path_ok(d) && d[1] &&
              !std::strstr(d, "//") && nimbus_walk_path_fits(d, out->len);
    if (!ok)
        out->len = 0;
    return ok ? 1 : 0;
}

bool nimbus_beneath_root(const char *path, size_t len, const char *root, size_t *cut) {
    size_t n = root ? std::strlen(root) : 0;
    *cut = 0;
    if (n == 0)
        return true;
    if (len < n + 1 || path[0] != '/' || std::memcmp(path + 1, root, n) != 0 ||
        (len > n + 1 && path[n + 1] != '/'))
        return false;
    *cut = n + 1;
    return true;
}

int nimbus_item_vpath(yyjson_val *item, const char *name, const char *root, nimbus_buf *out) {
    out->len = 0;
    int got = 1;
    if (!yyjson_is_obj(nimbus_json_member(item, "root"))) {
        got = nimbus_ref_folder(item, out);
        if (got > 0 && (nimbus_buf_add(out, "/", 1) != 0 || nimbus_buf_adds(out, name) != 0))
            got = -1;
    }
    size_t cut = 0;
    if (got > 0 && (!nimbus_beneath_root(out->data ? out->data : "", out->len, root, &cut) ||
                    !nimbus_walk_path_fits(out->data, out->len)))
        got = 0;
    if (got <= 0) {
        out->len = 0;
        return got;
    }
    if (out->len == cut) { // the root itself
        out->len = 0;
        return nimbus_buf_add(out, "/", 1) != 0 ? -1 : 1;
    }
    std::memmove(out->data, out->data + cut, out->len - cut + 1);
    out->len -= cut;
    return 1;
}

bool nimbus_remote_id(const char *arg, const char **drive, size_t *drive_len, const char **item) {
    static const char head[] = "drives/";
    static const char mid[] = "/items/";
    if (!arg || std::strncmp(arg, head, sizeof head - 1) != 0)
        return false;
    const char *d = arg + sizeof head - 1;
    const char *m = std::strstr(d, mid);
    if (!m || !nimbus_segment_ok(d, static_cast<size_t>(m - d)))
        return false;
    const char *i = m + sizeof mid - 1;
    if (!nimbus_segment_ok(i, std::strlen(i)))
        return false;
    *drive = d;
    *drive_len = static_cast<size_t>(m - d);
    *item = i;
    return true;
}

int nimbus_entry_from(yyjson_val *obj, const char *prefix, size_t prefix_len, nimbus_buf *scratch,
                      nimbus_entry *entry) {
    *entry = nimbus_entry{};
    if (!yyjson_is_obj(obj))
        return 1;
    members m{};
    nimbus_scan_item(obj, &m);
    if (!usable_id(m.id))
        return 1;
    nimbus_file_shortcut(&m);
    return fill(m, prefix, prefix_len, scratch, entry);
}

void nimbus_idset_free(nimbus_idset *set) {
    if (!set)
        return;
    nimbus_buf_free(&set->ids);
    std::free(set->slots);
    *set = nimbus_idset{};
}

void nimbus_walk_free(nimbus_walk *walk) {
    if (!walk)
        return;
    nimbus_idset_free(&walk->seen);
    nimbus_buf_free(&walk->scratch);
    nimbus_buf_free(&walk->ids);
    nimbus_buf_free(&walk->parent);
}

int nimbus_page_open(char *body, size_t len, yyjson_alc *alc, const char *what,
                     nimbus_doc_guard *doc, yyjson_val **value, nimbus_str *next, char *code,
                     size_t code_size, char *msg, size_t size) {
    if (code && code_size > 0)
        code[0] = '\0';
    if (msg && size > 0)
        msg[0] = '\0';
    yyjson_read_err err{};
    nimbus_graph_read(doc, body, len, true, alc, &err);
    yyjson_val *root = yyjson_doc_get_root(doc->doc);
    if (!yyjson_is_obj(root)) {
        if (body && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_NOMEM;
        }
        nimbus_msgf(msg, size, "the %s answer is not a JSON object", what);
        return NIMBUS_E_FAILED;
    }
    if (nimbus_envelope(root, code, code_size, msg, size))
        return nimbus_envelope_failure(what, code, msg, size);
    *value = nimbus_json_member(root, "value");
    if (!yyjson_is_arr(*value)) {
        nimbus_msgf(msg, size, "the %s answer has no value[]", what);
        return NIMBUS_E_FAILED;
    }
    if (nimbus_page_link(root, "@odata.nextLink", next) != 0) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    return NIMBUS_OK;
}

int nimbus_walk_page(nimbus_walk *walk, char *body, size_t len, yyjson_alc *alc, char **next,
                     char *code, size_t code_size, char *msg, size_t size) {
    *next = nullptr;
    // The link is handed over only on success, so no failure leaves one behind.
    nimbus_doc_guard doc{nullptr};
    yyjson_val *value = nullptr;
    nimbus_str link;
    int rc = nimbus_page_open(body, len, alc, "children", &doc, &value, &link, code, code_size, msg,
                              size);
    if (rc != NIMBUS_OK)
        return rc;

    yyjson_arr_iter iter = yyjson_arr_iter_with(value);
    pending run[RUN];
    for (bool more = true; more;) {
        size_t n = 0;
        while (n < RUN) {
            yyjson_val *obj = yyjson_arr_iter_next(&iter);
            if (!obj) {
                more = false;
                break;
            }
            if (!yyjson_is_obj(obj))
                continue;
            pending &p = run[n];
            p.obj = obj;
            p.m = members{};
            nimbus_scan_item(obj, &p.m);
            if (!usable_id(p.m.id))
                continue;
            nimbus_file_shortcut(&p.m);
            p.id_len = std::strlen(yyjson_get_str(p.m.id));
            p.hash = hash_id(yyjson_get_str(p.m.id), p.id_len);
            if (walk->seen.cap > 0)
                __builtin_prefetch(&walk->seen.slots[home_of(p.hash, walk->seen.cap)]);
            n++;
        }
        for (size_t i = 0; i < n; i++) {
            int rc = hand_out(walk, run[i], msg, size);
            if (rc != NIMBUS_OK)
                return rc;
        }
    }
    *next = link.release();
    return NIMBUS_OK;
}

namespace {

// A non-empty id no longer than an entry argument may carry and without a
// NUL, which would cut it short (an item no argument can name could never
// be listed or looked up).
bool usable_id(yyjson_val *id) {
    return yyjson_is_str(id) && yyjson_get_len(id) > 0 &&
           yyjson_get_len(id) <= NIMBUS_ITEM_ID_MAX &&
           !std::memchr(yyjson_get_str(id), '\0', yyjson_get_len(id));
}

const char *text_of(yyjson_val *v) {
    return yyjson_is_str(v) && yyjson_get_len(v) > 0 ? yyjson_get_str(v) : nullptr;
}

// One element of a page: skipped when its id was handed out before, else
// filled and given to the callback.
int hand_out(nimbus_walk *walk, const pending &p, char *msg, size_t size) {
    // The first occurrence of an id wins, on this page or an earlier one;
    // a duplicate costs no copy.
    const char *id = yyjson_get_str(p.m.id);
    if (walk->seen.count >= NIMBUS_MAX_ENTRIES) {
        if (seen_add(&walk->seen, id, p.id_len, p.hash, nullptr))
            return NIMBUS_OK;
        nimbus_msgf(msg, size, "folder has more than %u items",
                    static_cast<unsigned>(NIMBUS_MAX_ENTRIES));
        return NIMBUS_E_FAILED;
    }
    bool added = false;
    if (!seen_add(&walk->seen, id, p.id_len, p.hash, &added)) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    if (!added)
        return NIMBUS_OK;
    nimbus_entry entry;
    const char *prefix = walk->prefix;
    size_t prefix_len = walk->prefix_len;
    if (walk->by_parent) {
        int got = parent_prefix(p.obj, walk->root, &walk->parent);
        if (got < 0) {
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_NOMEM;
        }
        prefix = got ? walk->parent.data : nullptr;
        prefix_len = got ? walk->parent.len : 0;
    }
    if (fill(p.m, prefix, prefix_len, &walk->scratch, &entry) != 0 ||
        (walk->drive && remote_entry(walk, &entry) != 0)) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    // A shortcut to a folder: a walk lists the shared folder on its drive.
    const char *d = nullptr, *i = nullptr;
    if (entry.folder && !yyjson_is_obj(p.m.folder) && !nimbus_remote_of(p.obj, &d, &i))
        d = i = nullptr;
    walk->target_drive = d;
    walk->target_item = i;
    int stop = walk->fn(walk->ctx, &entry);
    walk->target_drive = walk->target_item = nullptr;
    if (stop != 0) {
        nimbus_msgf(msg, size, "the entry callback stopped the listing");
        return NIMBUS_E_STOPPED;
    }
    return NIMBUS_OK;
}

// The name is cleaned into scratch right after the prefix and "/", so the
// path and the name are one text and its tail. 0, or -1 without memory.
int fill(const members &m, const char *prefix, size_t prefix_len, nimbus_buf *scratch,
         nimbus_entry *entry) {
    *entry = nimbus_entry{};
    const char *id = yyjson_get_str(m.id);
    const char *base = nimbus_basename(id);
    scratch->len = 0;
    if ((prefix && prefix_len > 0 && nimbus_buf_add(scratch, prefix, prefix_len) != 0) ||
        nimbus_buf_add(scratch, "/", 1) != 0 ||
        nimbus_name_clean(scratch, text_of(m.name), *base ? base : "item") != 0)
        return -1;
    size_t head = (prefix ? prefix_len : 0) + 1;
    entry->id = id;
    entry->name = scratch->data + head;
    entry->path = prefix ? scratch->data : nullptr;
    entry->folder = nimbus_is_folder(m.folder, m.remote) ? 1 : 0;
    entry->size = nimbus_size_of(m.size);
    const char *mtime = text_of(m.mtime);
    entry->mtime_ms = mtime ? nimbus_iso8601_ms(mtime) : 0;
    if (!entry->folder)
        entry->mime_type = nimbus_file_type(
            yyjson_is_obj(m.file) ? text_of(nimbus_json_member(m.file, "mimeType")) : nullptr,
            entry->name);
    const char *url = text_of(m.graph_url);
    if (!url)
        url = text_of(m.content_url);
    entry->download_url = url && nimbus_is_https(url) ? url : nullptr;
    if (yyjson_is_obj(m.remote))
        entry->drive_id =
            text_of(nimbus_json_member(nimbus_json_member(m.remote, "parentReference"), "driveId"));
    nimbus_media_of(m.audio, m.video, m.photo, m.image, entry);
    if (!entry->folder)
        entry->media_type = nimbus_media_kind(m.audio, m.video, m.photo, m.image, entry->mime_type);
    entry->deleted = yyjson_is_obj(m.deleted) ? 1 : 0;
    return 0;
}

// A hash of the n bytes of id (an id is some 40 bytes, so they are taken
// eight at a time: a byte-serial hash would cost more than the lookup).
// Murmur's finaliser spreads every input bit over the result.
uint64_t hash_id(const char *id, size_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, id + i, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    uint64_t w = 0;
    std::memcpy(&w, id + i, n - i);
    h = (h ^ w) * 0x94D049BB133111EBull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// A slot holds the high half of the id's hash in its high half and the
// id's offset + 1 in its low half. The slot's position comes from the same
// high half, so a probe compares ids only when the whole half agrees, and
// growing the table needs neither the ids nor their hashes again.
uint64_t slot_of(uint64_t hash, size_t off) {
    return (hash & 0xFFFFFFFF00000000ull) | static_cast<uint64_t>(off + 1);
}

size_t home_of(uint64_t hash_or_slot, size_t cap) {
    return static_cast<size_t>(hash_or_slot >> 32) & (cap - 1);
}

void put(uint64_t *slots, size_t cap, uint64_t slot) {
    size_t i = home_of(slot, cap);
    while (slots[i] != 0)
        i = (i + 1) & (cap - 1);
    slots[i] = slot;
}

// Quadruples the table (1024 slots at first) and moves every slot over; on
// failure the old table stays. Moving is random writes into fresh memory,
// so fewer, larger steps cost less than doubling (the table stays below 4
// slots per id), and the home of a slot a few steps ahead is fetched early.
bool grow(nimbus_idset *set) {
    size_t cap = set->cap == 0 ? 1024 : 4 * set->cap;
    uint64_t *slots = static_cast<uint64_t *>(std::calloc(cap, sizeof(uint64_t)));
    if (!slots)
        return false;
    constexpr size_t ahead = 16;
    for (size_t i = 0; i < set->cap; i++) {
        if (i + ahead < set->cap && set->slots[i + ahead] != 0)
            __builtin_prefetch(&slots[home_of(set->slots[i + ahead], cap)], 1);
        if (set->slots[i] != 0)
            put(slots, cap, set->slots[i]);
    }
    std::free(set->slots);
    set->slots = slots;
    set->cap = cap;
    return true;
}

// Looks id (n bytes, NUL after them, hash its hash_id) up and, when added
// is non-null, adds it if new. Without added: true when id is in the set.
// With added: false when memory ran out, else true with *added telling
// whether the id was new.
bool seen_add(nimbus_idset *set, const char *id, size_t n, uint64_t hash, bool *added) {
    if (set->cap > 0) {
        for (size_t i = home_of(hash, set->cap); set->slots[i] != 0; i = (i + 1) & (set->cap - 1)) {
            uint64_t slot = set->slots[i];
            if ((slot ^ hash) >> 32 == 0 &&
                std::memcmp(set->ids.data + (slot & 0xFFFFFFFFu) - 1, id, n + 1) == 0) {
                if (added)
                    *added = false;
                return true;
            }
        }
    }
    if (!added)
        return false;
    if (set->cap < 2 * (set->count + 1) && !grow(set))
        return false;
    size_t off = set->ids.len;
    if (off + n + 1 > 0xFFFFFFFEu || nimbus_buf_add(&set->ids, id, n + 1) != 0) {
        set->ids.len = off;
        return false;
    }
    put(set->slots, set->cap, slot_of(hash, off));
    set->count++;
    *added = true;
    return true;
}

} // namespace
