// A change feed read as a tree. The feed's items name their folder by id
// only, and the service does not promise folders before their items: an
// item whose folder has not come yet is kept (its JSON text) until the
// folder comes, at most NIMBUS_FEED_WAITING_MAX of them. Every folder met
// keeps its path and level, every item its id, so that a repeated item is
// handed out once; a walk of N items holds some 60 bytes per item. Read
// for a host's change feed call, every item is handed out and every item
// keeps its path, and folders the feed never names are found by id at the
// end. No path is built past NIMBUS_WALK_LEVELS_MAX levels or
// NIMBUS_WALK_PATH_MAX bytes: a folder beyond them is kept without one, so
// that a chain of any depth costs the same per item as a shallow tree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <yyjson.h>

#include "graph/feed_tree.h"

namespace {

struct folder_at {
    std::string path;
    bool has_path;
    int depth;        // the folder's own level: 0 for the walked folder
    bool cut = false; // walk mode: left out, with everything beneath it
};

// An item kept until its folder comes: its JSON text, and which sight of
// its id it was (change feed mode: only the latest sight is handed out).
struct kept_item {
    std::string json;
    uint32_t sight;
};

constexpr char OOM[] = "out of memory";

} // namespace

struct nimbus_feed_state {
    std::unordered_map<std::string, folder_at> folders;
    std::unordered_set<std::string> placed;
    std::unordered_map<std::string, std::vector<kept_item>> waiting; // by folder id
    size_t waiting_count = 0;
    std::vector<std::string> order; // waiting's folder ids, first met first
    // Change feed mode: the items ever held back, each with its latest
    // sight, so that an older copy still held is dropped, not handed out
    // after the newer one.
    std::unordered_map<std::string, uint32_t> held;
    std::string real;  // change feed mode: an entry's drive path
    std::string shown; // and its virtual path
    // Walk mode: the entries left out for their paths' bounds, and the
    // folder the first of them lies in.
    size_t cut = 0;
    std::string cut_in;
    bool cut_in_known = false;
    nimbus_buf scratch{};
    ~nimbus_feed_state() { nimbus_buf_free(&scratch); }
};

namespace {

int take(nimbus_feed_tree *t, yyjson_val *obj, char *msg, size_t size);
int place(nimbus_feed_tree *t, yyjson_val *obj, const nimbus_item_members &m, const std::string &id,
          const folder_at &where, std::vector<std::string> *ready, char *msg, size_t size);
int release(nimbus_feed_tree *t, std::vector<std::string> *ready, char *msg, size_t size);
const char *text_of(yyjson_val *v);
bool ref_path(yyjson_val *obj, std::string *path);
bool virtual_path(const std::string &real, const char *root, std::string *out);
bool fits(const std::string &path) {
    return nimbus_walk_path_fits(path.data(), path.size());
}

} // namespace

bool nimbus_walk_path_fits(const char *path, size_t len) {
    if (len > NIMBUS_WALK_PATH_MAX)
        return false;
    size_t levels = 0;
    for (size_t i = 0; i < len; i++)
        levels += path[i] == '/';
    return levels <= static_cast<size_t>(NIMBUS_WALK_LEVELS_MAX);
}

void nimbus_feed_tree_free(nimbus_feed_tree *t) {
    if (!t)
        return;
    delete t->state;
    t->state = nullptr;
    std::free(t->delta_link);
    t->delta_link = nullptr;
}

size_t nimbus_feed_tree_orphans(const nimbus_feed_tree *t) {
    return t->state ? t->state->waiting_count : 0;
}

size_t nimbus_feed_tree_cut(const nimbus_feed_tree *t, const char **folder) {
    const nimbus_feed_state *st = t->state;
    if (folder)
        *folder = st && st->cut_in_known ? st->cut_in.c_str() : nullptr;
    return st ? st->cut : 0;
}

int nimbus_feed_tree_page(nimbus_feed_tree *t, char *body, size_t len, char **next, char *code,
                          size_t code_size, char *msg, size_t size) {
    *next = nullptr;
    nimbus_doc_guard doc{nullptr};
    yyjson_val *value = nullptr;
    nimbus_str link;
    int rc = nimbus_page_open(body, len, nullptr, "change feed", &doc, &value, &link, code,
                              code_size, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    if (t->changes && !link) {
        nimbus_str delta;
        if (nimbus_page_link(yyjson_doc_get_root(doc.doc), "@odata.deltaLink", &delta) != 0) {
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_NOMEM;
        }
        if (delta) {
            std::free(t->delta_link);
            t->delta_link = delta.release();
        }
    }
    try {
        if (!t->state) {
            t->state = new nimbus_feed_state;
            if (!t->changes)
                t->state->folders.emplace(
                    t->top_id ? t->top_id : "",
                    folder_at{t->top_path ? t->top_path : "", t->top_path != nullptr, 0});
        }
        yyjson_arr_iter iter = yyjson_arr_iter_with(value);
        while (yyjson_val *obj = yyjson_arr_iter_next(&iter)) {
            rc = take(t, obj, msg, size);
            if (rc != NIMBUS_OK)
                return rc;
        }
    } catch (const std::bad_alloc &) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    *next = link.release();
    return NIMBUS_OK;
}

int nimbus_feed_tree_finish(nimbus_feed_tree *t, char *msg, size_t size) {
    nimbus_feed_state *st = t->state;
    if (!st)
        return NIMBUS_OK;
    try {
        // A folder the feed named but held back comes with its own folder;
        // only folders held back in a ring are looked up in the second round.
        for (size_t i = 0; i < 2 * st->order.size(); i++) {
            const std::string id = st->order[i % st->order.size()];
            if (!st->waiting.count(id) || (i < st->order.size() && st->held.count(id)))
                continue; // its folder came later in the feed, or will come
            std::string path;
            bool known = false;
            if (!id.empty() && t->locate && t->lookups < NIMBUS_FEED_LOOKUPS_MAX) {
                t->lookups++;
                int rc = t->locate(t->locate_ctx, id.c_str(), &path, &known, msg, size);
                if (rc != NIMBUS_OK)
                    return rc;
            }
            known = known && fits(path);
            st->folders.insert_or_assign(id, folder_at{known ? path : std::string(), known, 0});
            std::vector<std::string> ready{id};
            int rc = release(t, &ready, msg, size);
            if (rc != NIMBUS_OK)
                return rc;
        }
    } catch (const std::bad_alloc &) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    return NIMBUS_OK;
}

int nimbus_feed_item_path(char *body, size_t len, std::string *path) {
    yyjson_read_err err{};
    nimbus_doc_guard doc{nullptr};
    nimbus_graph_read(&doc, body, len, true, nullptr, &err);
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root))
        return body && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? -1 : 0;
    if (yyjson_is_obj(nimbus_json_member(root, "error")))
        return 0;
    try {
        if (yyjson_is_obj(nimbus_json_member(root, "root"))) {
            path->clear();
            return 1;
        }
        std::string parent;
        if (!ref_path(root, &parent))
            return 0;
        nimbus_buf scratch{};
        nimbus_buf_guard sg{&scratch};
        nimbus_entry e;
        int got = nimbus_entry_from(root, parent.c_str(), parent.size(), &scratch, &e);
        if (got < 0)
            return -1;
        if (got > 0 || !e.path)
            return 0;
        path->assign(e.path);
        return 1;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

namespace {

// The drive path an item's parentReference gives its folder ("" for the
// root); throws std::bad_alloc without memory, as the callers' strings do.
bool ref_path(yyjson_val *obj, std::string *path) {
    nimbus_buf folder{};
    nimbus_buf_guard fg{&folder};
    int got = nimbus_ref_folder(obj, &folder);
    if (got < 0)
        throw std::bad_alloc();
    if (got == 0)
        return false;
    path->assign(folder.data, folder.len);
    return true;
}

// A drive path as a path beneath the configured root: the root itself is
// "/", a path outside it has none.
bool virtual_path(const std::string &real, const char *root, std::string *out) {
    size_t cut = 0;
    if (!nimbus_beneath_root(real.data(), real.size(), root, &cut))
        return false;
    out->assign(real.size() == cut ? "/" : real.c_str() + cut);
    return true;
}

const char *text_of(yyjson_val *v) {
    return yyjson_is_str(v) && yyjson_get_len(v) > 0 ? yyjson_get_str(v) : nullptr;
}

// One item of a page: placed when its folder is known, else kept for later.
int take(nimbus_feed_tree *t, yyjson_val *obj, char *msg, size_t size) {
    nimbus_feed_state *st = t->state;
    if (!yyjson_is_obj(obj))
        return NIMBUS_OK;
    nimbus_item_members m{};
    nimbus_scan_item(obj, &m);
    // Ids as listings take them; a deleted item, the walked folder itself
    // and a drive's root are no entries beneath the folder.
    if (!yyjson_is_str(m.id) || yyjson_get_len(m.id) == 0 ||
        yyjson_get_len(m.id) > NIMBUS_ITEM_ID_MAX ||
        std::memchr(yyjson_get_str(m.id), '\0', yyjson_get_len(m.id)))
        return NIMBUS_OK;
    bool top = yyjson_is_obj(nimbus_json_member(obj, "root"));
    if (!t->changes && (yyjson_is_obj(m.deleted) || top))
        return NIMBUS_OK;
    std::string id(yyjson_get_str(m.id), yyjson_get_len(m.id));
    if (!t->changes && t->top_id && id == t->top_id)
        return NIMBUS_OK;
    uint32_t sight = 0;
    if (t->changes) {
        auto h = st->held.find(id);
        if (h != st->held.end())
            sight = ++h->second; // the copies held so far are out of date
    }
    if (top) { // the drive's root: its own folder, whatever its reference says
        std::vector<std::string> ready;
        int rc = place(t, obj, m, id, folder_at{"", true, 0}, &ready, msg, size);
        return rc != NIMBUS_OK ? rc : release(t, &ready, msg, size);
    }
    yyjson_val *parent = nimbus_json_member(nimbus_json_member(obj, "parentReference"), "id");
    std::string folder;
    // A folder id holding a NUL names no folder (as an item's own id).
    if (yyjson_is_str(parent) && !std::memchr(yyjson_get_str(parent), '\0', yyjson_get_len(parent)))
        folder.assign(yyjson_get_str(parent), yyjson_get_len(parent));
    // An item without its folder's id is kept as one whose folder never
    // comes.
    auto f = folder.empty() ? st->folders.end() : st->folders.find(folder);
    std::string from_ref;
    if (t->changes && !folder.empty() && f == st->folders.end() && ref_path(obj, &from_ref)) {
        bool known = fits(from_ref);
        f = st->folders
                .emplace(folder, folder_at{known ? std::move(from_ref) : std::string(), known, 0})
                .first;
    }
    if (f != st->folders.end()) {
        std::vector<std::string> ready;
        folder_at where = f->second;
        int rc = place(t, obj, m, id, where, &ready, msg, size);
        return rc != NIMBUS_OK ? rc : release(t, &ready, msg, size);
    }
    if (!t->changes && !folder.empty() && st->placed.count(folder))
        return NIMBUS_OK; // inside a file or package: no listing shows it
    if (st->waiting_count >= NIMBUS_FEED_WAITING_MAX) {
        nimbus_msgf(msg, size, "the change feed gave more than %zu items before their folders",
                    NIMBUS_FEED_WAITING_MAX);
        return NIMBUS_E_FAILED;
    }
    size_t n = 0;
    char *json = yyjson_val_write(obj, 0, &n);
    if (!json) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    nimbus_str owned(json);
    auto &kept = st->waiting[folder];
    if (kept.empty())
        st->order.push_back(folder);
    kept.push_back(kept_item{std::string(json, n), sight});
    if (t->changes)
        st->held.emplace(id, sight);
    st->waiting_count++;
    return NIMBUS_OK;
}

// Leaves out (walk mode) an item whose path would pass the bounds, or that
// lies beneath one that did: no path is built, and a folder is kept as
// left out, so that its own items follow it.
void cut(nimbus_feed_tree *t, const nimbus_item_members &m, const std::string &id,
         const folder_at &where, int depth) {
    nimbus_feed_state *st = t->state;
    if (yyjson_is_obj(m.folder))
        st->folders.emplace(id, folder_at{std::string(), false, depth, true});
    if (t->max_depth > 0 && depth > t->max_depth)
        return;
    if (st->cut++ == 0 && !where.cut) {
        st->cut_in = where.path;
        st->cut_in_known = where.has_path;
    }
}

// Hands out one item whose folder is known, once per id; ready gets its id
// for the items kept back for it.
int place(nimbus_feed_tree *t, yyjson_val *obj, const nimbus_item_members &m, const std::string &id,
          const folder_at &where, std::vector<std::string> *ready, char *msg, size_t size) {
    nimbus_feed_state *st = t->state;
    if (!t->changes && !st->placed.insert(id).second)
        return NIMBUS_OK;
    ready->push_back(id);
    int depth = where.depth + 1;
    if (where.cut) {
        cut(t, m, id, where, depth);
        return NIMBUS_OK;
    }
    nimbus_entry e;
    if (nimbus_entry_from(obj, where.has_path ? where.path.c_str() : nullptr, where.path.size(),
                          &st->scratch, &e) < 0) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    if (t->changes) {
        // Every item may be a folder here (a deleted one has no facet), and
        // a later sight of it counts. A deletion without its name has no
        // path (the id's stand-in is no name the drive had), nor has an
        // item past the bounds.
        bool top = yyjson_is_obj(nimbus_json_member(obj, "root"));
        bool known = where.has_path && (top || text_of(m.name));
        if (top)
            st->real.clear();
        else if (known)
            st->real.assign(e.path);
        known = known && fits(st->real);
        st->folders.insert_or_assign(id, folder_at{known ? st->real : std::string(), known, 0});
        e.path = known && virtual_path(st->real, t->root, &st->shown) ? st->shown.c_str() : nullptr;
        if (t->fn(t->ctx, &e) != 0) {
            nimbus_msgf(msg, size, "the entry callback stopped the change feed");
            return NIMBUS_E_STOPPED;
        }
        return NIMBUS_OK;
    }
    if (e.path ? !nimbus_walk_path_fits(e.path, std::strlen(e.path))
               : depth > NIMBUS_WALK_LEVELS_MAX) {
        cut(t, m, id, where, depth);
        return NIMBUS_OK;
    }
    // A folder's own facet: the feed goes on beneath it. A shortcut's
    // folder lies on another drive, which this feed does not cover.
    bool own = yyjson_is_obj(m.folder);
    if (own)
        st->folders.emplace(id, folder_at{e.path ? e.path : "", e.path != nullptr, depth});
    if (t->max_depth > 0 && depth > t->max_depth)
        return NIMBUS_OK;
    if (t->fn(t->ctx, &e) != 0) {
        nimbus_msgf(msg, size, "the entry callback stopped the walk");
        return NIMBUS_E_STOPPED;
    }
    if (e.folder && !own && t->shortcut && (t->max_depth <= 0 || depth < t->max_depth)) {
        const char *d = nullptr, *i = nullptr;
        if (!nimbus_remote_of(obj, &d, &i))
            d = i = nullptr;
        return t->shortcut(t->shortcut_ctx, &e, d, i, depth, msg, size);
    }
    return NIMBUS_OK;
}

// Places the items kept back for the ids in ready, and theirs in turn.
int release(nimbus_feed_tree *t, std::vector<std::string> *ready, char *msg, size_t size) {
    nimbus_feed_state *st = t->state;
    while (!ready->empty()) {
        std::string id = std::move(ready->back());
        ready->pop_back();
        auto w = st->waiting.find(id);
        if (w == st->waiting.end())
            continue;
        std::vector<kept_item> kept = std::move(w->second);
        st->waiting.erase(w);
        st->waiting_count -= kept.size();
        auto f = st->folders.find(id);
        if (f == st->folders.end())
            continue; // kept for a file or package: left out
        folder_at where = f->second;
        for (kept_item &item : kept) {
            yyjson_read_err err{};
            nimbus_doc_guard doc{
                yyjson_read_opts(item.json.data(), item.json.size(), 0, nullptr, &err)};
            yyjson_val *obj = yyjson_doc_get_root(doc.doc);
            if (!obj) {
                nimbus_msgf(msg, size, "%s", OOM); // it was read once already
                return NIMBUS_E_NOMEM;
            }
            nimbus_item_members m{};
            nimbus_scan_item(obj, &m);
            std::string child(yyjson_get_str(m.id), yyjson_get_len(m.id));
            if (t->changes) {
                auto h = st->held.find(child);
                if (h != st->held.end() && h->second != item.sight)
                    continue; // the feed gave this item again later
            }
            int rc = place(t, obj, m, child, where, ready, msg, size);
            if (rc != NIMBUS_OK)
                return rc;
        }
    }
    return NIMBUS_OK;
}

} // namespace
