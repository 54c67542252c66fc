// The drive handle's change feed: what changed in a folder since a cursor
// (or all it holds, or only the cursor of the present), each change
// streamed to the host's callback with its path, and the next cursor.
#include <cctype>
#include <cstring>
#include <string>

#include "graph/feed_tree.h"
#include "ops/ops.h"

namespace {

bool is_root(const char *arg) {
    return !arg || !*arg || std::strcmp(arg, "/") == 0;
}

int feed_pages(nimbus_caller *c, nimbus_feed_tree *tree, const char *first, char *msg, size_t size);
int locate(void *ctx, const char *id, std::string *path, bool *known, char *msg, size_t size);

struct tree_guard {
    nimbus_feed_tree *tree;
    ~tree_guard() { nimbus_feed_tree_free(tree); }
};

} // namespace

int nimbus_drive_delta(nimbus_caller *c, const char *folder, const char *cursor, nimbus_entry_fn fn,
                       void *ctx, char **next_cursor, char *msg, size_t size) {
    *next_cursor = nullptr;
    bool root = is_root(folder) && !(c->cfg->path && *c->cfg->path);
    if (c->cfg->business && !root) {
        nimbus_msgf(msg, size,
                    "changes: a business drive's change feed covers only the drive's root");
        return NIMBUS_E_UNSUPPORTED;
    }
    nimbus_buf first{};
    nimbus_buf_guard fg{&first};
    // "latest": the cursor of the present, without reading what is there
    // already (a drive's whole feed is one page per 1000 items).
    bool latest = cursor && std::strcmp(cursor, NIMBUS_CURSOR_LATEST) == 0;
    if (cursor && !latest) {
        // The token goes with the cursor's request: only a Graph link is one.
        if (!nimbus_on_graph(c->cfg, cursor)) {
            nimbus_msgf(msg, size, "the change cursor is not a link on the Graph service");
            return NIMBUS_E_INVALID;
        }
        if (nimbus_buf_adds(&first, cursor) != 0 || !first.data)
            return nimbus_no_memory(msg, size);
    } else if (nimbus_delta_url(c->cfg, folder, latest, &first) != 0) {
        return nimbus_no_memory(msg, size);
    }
    // The feed names an item's folder by id: folders it names give their
    // items a path, the others are looked up once each after the last page.
    nimbus_feed_tree tree{};
    tree_guard tg{&tree};
    tree.fn = fn;
    tree.ctx = ctx;
    tree.changes = true;
    tree.root = c->cfg->path;
    tree.locate = locate;
    tree.locate_ctx = c;
    int rc = feed_pages(c, &tree, first.data, msg, size);
    if (rc == NIMBUS_OK)
        rc = nimbus_feed_tree_finish(&tree, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    if (!tree.delta_link || !nimbus_on_graph(c->cfg, tree.delta_link)) {
        nimbus_msgf(msg, size,
                    "changes: the feed's last page carries no deltaLink on the Graph "
                    "service");
        return NIMBUS_E_FAILED;
    }
    *next_cursor = tree.delta_link;
    tree.delta_link = nullptr;
    return NIMBUS_OK;
}

namespace {

// Requests the change feed's pages from first on into tree.
int feed_pages(nimbus_caller *c, nimbus_feed_tree *tree, const char *first, char *msg,
               size_t size) {
    return nimbus_caller_pages(
        c, first, "changes", true,
        [](void *ctx, char *body, size_t len, char **next, char *code, size_t code_size, char *msg,
           size_t size) {
            return nimbus_feed_tree_page(static_cast<nimbus_feed_tree *>(ctx), body, len, next,
                                         code, code_size, msg, size);
        },
        tree, msg, size);
}

// A folder the change feed names by id only, asked for by id on the
// drive: its drive path, or none when it is gone (404) or the id is not
// one of the service's plain ids.
int locate(void *ctx, const char *id, std::string *path, bool *known, char *msg, size_t size) {
    *known = false;
    for (const char *p = id; *p; p++)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && !std::strchr("!-_.~", *p))
            return NIMBUS_OK;
    auto *c = static_cast<nimbus_caller *>(ctx);
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_item_url(c->cfg, id, &url) != 0 || nimbus_add_select(&url, c->select) != 0)
        return nimbus_no_memory(msg, size);
    nimbus_resp resp{};
    int rc = nimbus_caller_get(c, url.data, &resp, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    if (resp.status == 404) {
        nimbus_resp_free(&resp);
        return NIMBUS_OK;
    }
    rc = nimbus_status_check(&resp, "changes", url.data, msg, size);
    if (rc == NIMBUS_OK) {
        int got = nimbus_feed_item_path(resp.body, resp.len, path);
        if (got < 0)
            rc = nimbus_no_memory(msg, size);
        *known = got > 0;
    }
    nimbus_resp_free(&resp);
    return rc;
}

} // namespace
