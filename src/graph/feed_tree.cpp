// A change feed read as a tree. The feed's items name their folder by id
// only, and the service does not promise folders before their items: an
// item whose folder has not come yet is kept (its JSON text) until the
// folder comes, at most NIMBUS_FEED_WAITING_MAX of them. Every folder met
// keeps its path and level, every item its id, so that a repeated item is
// handed out once; a walk of N items holds some 60 bytes per item.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <yyjson.h>

#include "graph/feed_tree.h"

namespace {

struct folder_at {
    std::string path;
    bool has_path;
    int depth; // the folder's own level: 0 for the walked folder
};

constexpr char OOM[] = "out of memory";

} // namespace

struct nimbus_feed_state {
    std::unordered_map<std::string, folder_at> folders;
    std::unordered_set<std::string> placed;
    std::unordered_map<std::string, std::vector<std::string>> waiting; // by folder id
    size_t waiting_count = 0;
    nimbus_buf scratch{};
    ~nimbus_feed_state() { nimbus_buf_free(&scratch); }
};

namespace {

int take(nimbus_feed_tree *t, yyjson_val *obj, char *msg, size_t size);
int place(nimbus_feed_tree *t, yyjson_val *obj, const nimbus_item_members &m, const std::string &id,
          const folder_at &where, std::vector<std::string> *ready, char *msg, size_t size);
int release(nimbus_feed_tree *t, std::vector<std::string> *ready, char *msg, size_t size);
const char *text_of(yyjson_val *v);

} // namespace

void nimbus_feed_tree_free(nimbus_feed_tree *t) {
    if (!t)
        return;
    delete t->state;
    t->state = nullptr;
}

size_t nimbus_feed_tree_orphans(const nimbus_feed_tree *t) {
    return t->state ? t->state->waiting_count : 0;
}

int nimbus_feed_tree_page(nimbus_feed_tree *t, char *body, size_t len, char **next, char *code,
                          size_t code_size, char *msg, size_t size) {
    *next = nullptr;
    if (code && code_size > 0)
        code[0] = '\0';
    yyjson_read_err err{};
    nimbus_doc_guard doc{body ? yyjson_read_opts(body, len, YYJSON_READ_INSITU, nullptr, &err)
                              : nullptr};
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root)) {
        if (body && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_NOMEM;
        }
        nimbus_msgf(msg, size, "the change feed answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    if (nimbus_envelope(root, code, code_size, msg, size))
        return NIMBUS_E_FAILED;
    yyjson_val *value = nimbus_json_member(root, "value");
    if (!yyjson_is_arr(value)) {
        nimbus_msgf(msg, size, "the change feed answer has no value[]");
        return NIMBUS_E_FAILED;
    }
    nimbus_str link;
    if (const char *l = text_of(nimbus_json_member(root, "@odata.nextLink"))) {
        link.reset(nimbus_strdup(l));
        if (!link) {
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_NOMEM;
        }
    }
    try {
        if (!t->state) {
            t->state = new nimbus_feed_state;
            t->state->folders.emplace(
                t->top_id ? t->top_id : "",
                folder_at{t->top_path ? t->top_path : "", t->top_path != nullptr, 0});
        }
        yyjson_arr_iter iter = yyjson_arr_iter_with(value);
        while (yyjson_val *obj = yyjson_arr_iter_next(&iter)) {
            int rc = take(t, obj, msg, size);
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

namespace {

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
        yyjson_get_len(m.id) > NIMBUS_ITEM_ID_MAX || yyjson_is_obj(m.deleted) ||
        yyjson_is_obj(nimbus_json_member(obj, "root")))
        return NIMBUS_OK;
    std::string id(yyjson_get_str(m.id), yyjson_get_len(m.id));
    if (t->top_id && id == t->top_id)
        return NIMBUS_OK;
    yyjson_val *parent = nimbus_json_member(nimbus_json_member(obj, "parentReference"), "id");
    std::string folder;
    if (yyjson_is_str(parent))
        folder.assign(yyjson_get_str(parent), yyjson_get_len(parent));
    // An item without its folder's id is kept as one whose folder never
    // comes.
    auto f = folder.empty() ? st->folders.end() : st->folders.find(folder);
    if (f != st->folders.end()) {
        std::vector<std::string> ready;
        folder_at where = f->second;
        int rc = place(t, obj, m, id, where, &ready, msg, size);
        return rc != NIMBUS_OK ? rc : release(t, &ready, msg, size);
    }
    if (!folder.empty() && st->placed.count(folder))
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
    st->waiting[folder].emplace_back(json, n);
    st->waiting_count++;
    return NIMBUS_OK;
}

// Hands out one item whose folder is known, once per id; ready gets its id
// for the items kept back for it.
int place(nimbus_feed_tree *t, yyjson_val *obj, const nimbus_item_members &m, const std::string &id,
          const folder_at &where, std::vector<std::string> *ready, char *msg, size_t size) {
    nimbus_feed_state *st = t->state;
    if (!st->placed.insert(id).second)
        return NIMBUS_OK;
    ready->push_back(id);
    int depth = where.depth + 1;
    nimbus_entry e;
    if (nimbus_entry_from(obj, where.has_path ? where.path.c_str() : nullptr, where.path.size(),
                          &st->scratch, &e) < 0) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
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
    if (e.folder && !own && t->shortcut && (t->max_depth <= 0 || depth < t->max_depth))
        return t->shortcut(t->shortcut_ctx, &e, depth, msg, size);
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
        std::vector<std::string> kept = std::move(w->second);
        st->waiting.erase(w);
        st->waiting_count -= kept.size();
        auto f = st->folders.find(id);
        if (f == st->folders.end())
            continue; // kept for a file or package: left out
        folder_at where = f->second;
        for (const std::string &json : kept) {
            yyjson_read_err err{};
            nimbus_doc_guard doc{
                yyjson_read_opts(const_cast<char *>(json.data()), json.size(), 0, nullptr, &err)};
            yyjson_val *obj = yyjson_doc_get_root(doc.doc);
            if (!obj) {
                nimbus_msgf(msg, size, "%s", OOM); // it was read once already
                return NIMBUS_E_NOMEM;
            }
            nimbus_item_members m{};
            nimbus_scan_item(obj, &m);
            std::string child(yyjson_get_str(m.id), yyjson_get_len(m.id));
            int rc = place(t, obj, m, child, where, ready, msg, size);
            if (rc != NIMBUS_OK)
                return rc;
        }
    }
    return NIMBUS_OK;
}

} // namespace
