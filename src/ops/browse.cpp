// The drive handle's operations: a folder listing streamed page by page to
// the host's callback, and one item looked up; both through the handle's
// shared access token.
#include <cctype>
#include <cstring>
#include <string>

#include <yyjson.h>

#include "graph/feed_tree.h"
#include "ops/ops.h"

namespace {

bool is_root(const char *arg) {
    return !arg || !*arg || std::strcmp(arg, "/") == 0;
}

int read_item(nimbus_resp *resp, const char *path, const char *vroot, const char *drive,
              const char *name, nimbus_remote *target, nimbus_entry_fn fn, void *ctx, char *msg,
              size_t size);
int caller_get(void *ctx, const char *url, nimbus_resp *resp, char *msg, size_t size);
int pages(nimbus_caller *c, nimbus_walk *walk, const char *first, char *msg, size_t size,
          bool *locked = nullptr);
int locked_folder(const char *folder, const char *prefix, bool *broken, char *msg, size_t size);
int feed_pages(nimbus_caller *c, nimbus_feed_tree *tree, const char *first, char *msg, size_t size);
int locate(void *ctx, const char *id, std::string *path, bool *known, char *msg, size_t size);

struct walk_guard {
    nimbus_walk *walk;
    ~walk_guard() { nimbus_walk_free(walk); }
};

struct tree_guard {
    nimbus_feed_tree *tree;
    ~tree_guard() { nimbus_feed_tree_free(tree); }
};

// Every allocation failure answers the same code and message.
int no_memory(char *msg, size_t size) {
    nimbus_msgf(msg, size, "out of memory");
    return NIMBUS_E_NOMEM;
}

} // namespace

int nimbus_caller_get(nimbus_caller *c, const char *url, nimbus_resp *resp, char *msg,
                      size_t size) {
    *resp = nimbus_resp{};
    const char *headers = nimbus_graph_headers(c->cfg, url);
    if (!c->token) {
        int rc = nimbus_shared_access(c->shared, c->io, c->cfg, nullptr, &c->token, &c->granted,
                                      msg, size);
        if (rc != NIMBUS_OK)
            return rc;
    }
    auto sent = std::chrono::steady_clock::now();
    if (nimbus_http_with(c->io, url, nullptr, nullptr, c->token, headers, resp, msg, size) != 0)
        return NIMBUS_E_UNAVAILABLE;
    if (c->pace)
        c->pace->answered(std::chrono::steady_clock::now() - sent, resp->status);
    if (resp->status != 401 || c->granted || c->retried)
        return NIMBUS_OK;

    // The shared token was refused: one refresh (or the one another caller
    // made meanwhile), one retry.
    nimbus_resp_free(resp);
    c->retried = true;
    char *fresh = nullptr;
    int rc =
        nimbus_shared_access(c->shared, c->io, c->cfg, c->token, &fresh, &c->granted, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    std::free(c->token);
    c->token = fresh;
    if (nimbus_http_with(c->io, url, nullptr, nullptr, c->token, headers, resp, msg, size) != 0)
        return NIMBUS_E_UNAVAILABLE;
    return NIMBUS_OK;
}

void nimbus_caller_free(nimbus_caller *c) {
    std::free(c->token);
    c->token = nullptr;
}

int nimbus_drive_arg(const nimbus_cfg *cfg, const char *arg, bool item, char *msg, size_t size) {
    const char *what = item ? "path" : "folder";
    if (is_root(arg)) {
        if (item && (!arg || !*arg)) {
            nimbus_msgf(msg, size, "the path is empty (\"/\" is the root)");
            return NIMBUS_E_BAD_PATH;
        }
        return NIMBUS_OK;
    }
    if (arg[0] != '/') {
        if (nimbus_item_id_ok(arg))
            return NIMBUS_OK;
        nimbus_msgf(msg, size, "%s id is not a Graph item id", what);
        return NIMBUS_E_BAD_PATH;
    }
    if (!nimbus_path_ok(arg)) {
        nimbus_msgf(msg, size, "%s is not a valid drive path", what);
        return NIMBUS_E_BAD_PATH;
    }
    size_t joined = std::strlen(arg);
    if (cfg && cfg->path && *cfg->path)
        joined += 1 + std::strlen(cfg->path);
    if (joined > NIMBUS_PATH_MAX) {
        nimbus_msgf(msg, size, "the virtual path is longer than 2048 bytes");
        return NIMBUS_E_BAD_PATH;
    }
    return NIMBUS_OK;
}

int nimbus_drive_children(nimbus_caller *c, const char *folder, const char *prefix, bool *broken,
                          nimbus_entry_fn fn, void *ctx, char *msg, size_t size,
                          nimbus_enter *enter) {
    if (broken)
        *broken = false;
    nimbus_buf first{};
    nimbus_buf_guard fg{&first};
    int rc = nimbus_children_url(c->cfg, is_root(folder) ? nullptr : folder, &first, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    nimbus_walk walk{};
    walk_guard wg{&walk};
    const char *d, *i;
    size_t dn;
    // Entries of a folder reached by id take the path the answer gives
    // their folder; the others get the folder's.
    walk.prefix = prefix ? prefix : is_root(folder) ? "" : folder[0] == '/' ? folder : nullptr;
    walk.prefix_len = walk.prefix ? std::strlen(walk.prefix) : 0;
    walk.by_parent = !walk.prefix && !nimbus_remote_id(folder, &d, &dn, &i);
    walk.root = c->cfg->path;
    walk.fn = fn;
    walk.ctx = ctx;
    struct enter_guard {
        nimbus_enter *e;
        ~enter_guard() {
            if (e)
                e->walk = nullptr;
        }
    } eg{enter};
    if (enter)
        enter->walk = &walk;
    // A folder named by its "drives/<d>/items/<i>" id lies on that drive.
    nimbus_buf drive{};
    nimbus_buf_guard dg{&drive};
    if (!is_root(folder) && nimbus_remote_id(folder, &d, &dn, &i)) {
        if (nimbus_buf_add(&drive, d, dn) != 0)
            return no_memory(msg, size);
        walk.drive = drive.data;
    }
    bool locked = false;
    rc = pages(c, &walk, first.data, msg, size, &locked);
    if (locked)
        return locked_folder(folder, prefix, broken, msg, size);
    // An empty page does not tell an empty folder from a file or a
    // shortcut (the service lists both as empty), and a 404 may come from
    // a path beneath a shortcut: the item answers' facets tell.
    if (walk.seen.count || is_root(folder) ||
        !(rc == NIMBUS_OK ||
          (rc == NIMBUS_E_NOT_FOUND && !walk.drive && nimbus_item_not_found(msg))))
        return rc;
    nimbus_remote remote{};
    nimbus_remote_guard rg{&remote};
    nimbus_str first_msg(msg && size ? nimbus_strdup(msg) : nullptr);
    if (msg && size && !first_msg)
        return no_memory(msg, size);
    nimbus_kind kind = nimbus_kind::missing;
    int found =
        nimbus_shortcut_find(caller_get, c, c->cfg, folder, false, &kind, &remote, msg, size);
    if (found != NIMBUS_OK)
        return found;
    if (kind == nimbus_kind::file) {
        nimbus_msgf(msg, size, "%s is a file, not a folder", folder);
        return NIMBUS_E_NOT_FOLDER;
    }
    if (kind == nimbus_kind::folder)
        return rc;
    if (kind == nimbus_kind::missing) {
        // The listing's own 404 stands; an empty page of nothing is the
        // item answer's 404.
        if (rc != NIMBUS_OK) {
            nimbus_msgf(msg, size, "%s", first_msg ? first_msg.get() : "");
        } else {
            char shown[NIMBUS_URL_MSG];
            nimbus_redact_into(folder, shown, sizeof shown);
            nimbus_msgf(msg, size, "item: %s answered HTTP 404", shown);
        }
        return NIMBUS_E_NOT_FOUND;
    }
    if (enter && remote.rest.len == 0 &&
        !enter->fn(enter->ctx, remote.drive.data, remote.item.data))
        return NIMBUS_OK;
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_remote_url(c->cfg, &remote, true, &url) != 0)
        return no_memory(msg, size);
    // The shared folder's drive is not the one the root lies on.
    walk.drive = remote.drive.data;
    walk.by_parent = false;
    rc = pages(c, &walk, url.data, msg, size, &locked);
    if (locked)
        return locked_folder(folder, prefix, broken, msg, size);
    if (walk.seen.count || (rc != NIMBUS_E_AUTH && rc != NIMBUS_E_NOT_FOUND))
        return rc;
    if (broken)
        *broken = true;
    // A folder addressed by id whose path is known is named by its path.
    if (prefix && *prefix) {
        remote.shortcut.len = 0;
        if (nimbus_buf_adds(&remote.shortcut, prefix) != 0)
            return no_memory(msg, size);
    }
    return nimbus_shortcut_broken(rc, &remote, msg, size);
}

int nimbus_drive_lookup(nimbus_caller *c, const char *path_or_id, nimbus_entry_fn fn, void *ctx,
                        char *msg, size_t size, nimbus_remote *target) {
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_item_url(c->cfg, path_or_id, &url) != 0 || nimbus_add_select(&url, c->select) != 0)
        return no_memory(msg, size);
    nimbus_resp resp{};
    int rc = nimbus_caller_get(c, url.data, &resp, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    // A path beneath a shortcut answers 404: the item lives on the
    // shortcut's drive.
    nimbus_remote remote{};
    nimbus_remote_guard rg{&remote};
    if (resp.status == 404 && nimbus_item_not_found(resp.body)) {
        nimbus_kind kind = nimbus_kind::missing;
        int found = nimbus_shortcut_find(caller_get, c, c->cfg, path_or_id, true, &kind, &remote,
                                         msg, size);
        if (found == NIMBUS_OK && kind == nimbus_kind::remote) {
            nimbus_resp_free(&resp);
            url.len = 0;
            if (nimbus_remote_url(c->cfg, &remote, false, &url) != 0 ||
                nimbus_add_select(&url, c->select) != 0)
                return no_memory(msg, size);
            rc = nimbus_caller_get(c, url.data, &resp, msg, size);
            if (rc != NIMBUS_OK)
                return rc;
        } else if (found != NIMBUS_OK) {
            nimbus_resp_free(&resp);
            return found;
        }
    }
    // The argument, not the URL, names the item in a refusal.
    rc = nimbus_answer_check(&resp, "item", path_or_id, msg, size);
    int shortcut = rc == NIMBUS_OK && !remote.drive.data
                       ? nimbus_file_shortcut_of(resp.body, resp.len, &remote)
                       : 0;
    if (shortcut < 0) {
        nimbus_resp_free(&resp);
        return no_memory(msg, size);
    }
    if (shortcut > 0) {
        // A shortcut to a file stands for that file, which its own drive
        // describes (with the download URL): one more request. The entry
        // keeps the shortcut's name, the one its path ends in.
        nimbus_resp_free(&resp);
        url.len = 0;
        if (nimbus_buf_adds(&remote.shortcut, path_or_id) != 0 ||
            nimbus_remote_url(c->cfg, &remote, false, &url) != 0 ||
            nimbus_add_select(&url, c->select) != 0)
            return no_memory(msg, size);
        rc = nimbus_caller_get(c, url.data, &resp, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
        rc = nimbus_answer_check(&resp, "item", path_or_id, msg, size);
    }
    if (rc != NIMBUS_OK && remote.drive.data)
        nimbus_shortcut_broken(rc, &remote, msg, size);
    nimbus_buf drive{};
    nimbus_buf_guard dg{&drive};
    const char *d, *i;
    size_t dn;
    bool bad = false;
    if (rc == NIMBUS_OK && remote.drive.data)
        bad = nimbus_buf_adds(&drive, remote.drive.data) != 0;
    else if (rc == NIMBUS_OK && nimbus_remote_id(path_or_id, &d, &dn, &i))
        bad = nimbus_buf_add(&drive, d, dn) != 0;
    if (bad)
        rc = no_memory(msg, size);
    if (rc == NIMBUS_OK)
        rc = read_item(&resp, path_or_id[0] == '/' ? path_or_id : nullptr,
                       drive.data     ? nullptr
                       : c->cfg->path ? c->cfg->path
                                      : "",
                       drive.data, remote.name.data, target, fn, ctx, msg, size);
    nimbus_resp_free(&resp);
    return rc;
}

int nimbus_drive_find(nimbus_caller *c, const char *text, nimbus_entry_fn fn, void *ctx, char *msg,
                      size_t size) {
    size_t n = text ? std::strlen(text) : 0;
    if (n == 0 || n > NIMBUS_SEARCH_MAX) {
        nimbus_msgf(msg, size,
                    n ? "the search text is longer than %zu bytes" : "the search text is empty",
                    NIMBUS_SEARCH_MAX);
        return NIMBUS_E_INVALID;
    }
    for (size_t i = 0; i < n; i++) {
        if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7f) {
            nimbus_msgf(msg, size, "the search text holds a control character");
            return NIMBUS_E_INVALID;
        }
    }
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_search_url(c->cfg, text, &url) != 0)
        return no_memory(msg, size);
    nimbus_walk walk{};
    walk_guard wg{&walk};
    walk.fn = fn;
    walk.ctx = ctx;
    walk.by_parent = true;
    walk.root = c->cfg->path;
    return pages(c, &walk, url.data, msg, size);
}

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
            return no_memory(msg, size);
    } else if (nimbus_delta_url(c->cfg, folder, latest, &first) != 0) {
        return no_memory(msg, size);
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

// Hands the item of a successful answer to fn; path is the virtual path it
// was asked by, or null: then, when vroot (the configured root path without
// its "/", "" for none) is given, the path the answer gives the item
// beneath it; name, when given, replaces the item's own.
int read_item(nimbus_resp *resp, const char *path, const char *vroot, const char *drive,
              const char *name, nimbus_remote *target, nimbus_entry_fn fn, void *ctx, char *msg,
              size_t size) {
    yyjson_read_err err{};
    nimbus_doc_guard doc{nullptr};
    nimbus_graph_read(&doc, resp->body, resp->len, true, nullptr, &err);
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!doc.doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION)
        return no_memory(msg, size);
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "the item answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    if (yyjson_is_obj(nimbus_json_member(root, "error"))) {
        nimbus_msgf(msg, size, "the item answer is an error envelope");
        return NIMBUS_E_FAILED;
    }
    nimbus_buf scratch{};
    nimbus_buf_guard sg{&scratch};
    nimbus_entry entry;
    int got = nimbus_entry_from(root, nullptr, 0, &scratch, &entry);
    if (got < 0)
        return no_memory(msg, size);
    if (got > 0) {
        nimbus_msgf(msg, size, "a driveItem carries no id");
        return NIMBUS_E_FAILED;
    }
    entry.path = path;
    nimbus_buf where{};
    nimbus_buf_guard wg{&where};
    if (!path && vroot) {
        int got = nimbus_item_vpath(root, entry.name, vroot, &where);
        if (got < 0)
            return no_memory(msg, size);
        entry.path = got ? where.data : nullptr;
    }
    if (name)
        entry.name = name;
    // Where a folder on another drive is listed: a shortcut's shared
    // folder, or a folder beneath one, by its own id there.
    const char *d = drive, *i = entry.id;
    if (target && entry.folder &&
        (drive ||
         (!yyjson_is_obj(nimbus_json_member(root, "folder")) && nimbus_remote_of(root, &d, &i))) &&
        (nimbus_buf_adds(&target->drive, d) != 0 || nimbus_buf_adds(&target->item, i) != 0))
        return no_memory(msg, size);
    // An item on another drive is addressed by drive and id.
    nimbus_buf id{};
    nimbus_buf_guard ig{&id};
    if (drive) {
        if (nimbus_remote_id_of(&id, drive, std::strlen(drive), entry.id) != 0)
            return no_memory(msg, size);
        entry.id = id.data;
        if (!entry.drive_id)
            entry.drive_id = drive;
    }
    if (fn(ctx, &entry) != 0) {
        nimbus_msgf(msg, size, "the entry callback stopped the lookup");
        return NIMBUS_E_STOPPED;
    }
    return NIMBUS_OK;
}

int caller_get(void *ctx, const char *url, nimbus_resp *resp, char *msg, size_t size) {
    return nimbus_caller_get(static_cast<nimbus_caller *>(ctx), url, resp, msg, size);
}

// Requests the pages of a paged answer from first on, handing each body to
// read(body, len, &next, code, code_size), which reads it in place and
// gives the next link, until a page has none. label names the answer in
// messages; with resync a 410 is the change feed's refused cursor.
// locked, when given, is set when the service refused the first page as a
// locked folder's (NIMBUS_E_AUTH).
template <class Read>
int page_loop(nimbus_caller *c, const char *first, const char *label, bool resync, Read read,
              char *msg, size_t size, bool *locked = nullptr) {
    nimbus_str cur(nimbus_strdup(first));
    if (!cur)
        return no_memory(msg, size);
    for (int budget = NIMBUS_MAX_PAGES;;) {
        nimbus_buf req{};
        nimbus_buf_guard rg{&req};
        if (nimbus_page_url(c->cfg, cur.get(), &req, c->select) != 0)
            return no_memory(msg, size);
        nimbus_resp resp{};
        int rc = nimbus_caller_get(c, req.data, &resp, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
        if (resync && resp.status == 410) {
            nimbus_resp_free(&resp);
            nimbus_msgf(msg, size,
                        "changes: the service no longer accepts the cursor (resyncRequired); "
                        "start over without one");
            return NIMBUS_E_RESYNC;
        }
        if (locked && nimbus_locked_folder(resp.status, resp.body, resp.len)) {
            nimbus_resp_free(&resp);
            *locked = true;
            return NIMBUS_E_AUTH;
        }
        rc = nimbus_status_check(&resp, label, req.data, msg, size);
        if (rc != NIMBUS_OK) {
            nimbus_resp_free(&resp);
            return rc;
        }
        char *next = nullptr;
        char code[NIMBUS_CODE_SIZE];
        rc = read(resp.body, resp.len, &next, code, sizeof code);
        nimbus_resp_free(&resp);
        if (rc != NIMBUS_OK)
            return rc;
        if (!next)
            return NIMBUS_OK;
        cur.reset(next);
        rc = nimbus_next_link_check(c->cfg, cur.get(), "children", "folder", &budget, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
    }
}

// Requests the pages of one listing from first on, handing their entries
// to walk; *locked tells a folder the service keeps locked.
int pages(nimbus_caller *c, nimbus_walk *walk, const char *first, char *msg, size_t size,
          bool *locked) {
    // Each page's document comes from the standard heap, which hands a
    // freed page's block straight back: a pool kept across pages (as
    // nimbus_list keeps) measured no faster here.
    return page_loop(
        c, first, "children", false,
        [&](char *body, size_t len, char **next, char *code, size_t code_size) {
            return nimbus_walk_page(walk, body, len, nullptr, next, code, code_size, msg, size);
        },
        msg, size, locked);
}

// A folder the service keeps locked (a Personal Vault) is refused, named
// by its path when known; a walk leaves it out (*broken) and goes on.
int locked_folder(const char *folder, const char *prefix, bool *broken, char *msg, size_t size) {
    if (broken)
        *broken = true;
    const char *shown = prefix && *prefix ? prefix : is_root(folder) ? "/" : folder;
    // At most 200 bytes of the name, cut between characters.
    size_t n = std::strlen(shown);
    bool cut = n > 200;
    if (cut) {
        n = 200;
        while (n > 0 && (static_cast<unsigned char>(shown[n]) & 0xC0) == 0x80)
            n--;
    }
    nimbus_msgf(msg, size, "%.*s%s is locked (a Personal Vault: unlock it in OneDrive to list it)",
                static_cast<int>(n), shown, cut ? "..." : "");
    return NIMBUS_E_AUTH;
}

// Requests the change feed's pages from first on into tree.
int feed_pages(nimbus_caller *c, nimbus_feed_tree *tree, const char *first, char *msg,
               size_t size) {
    return page_loop(
        c, first, "changes", true,
        [&](char *body, size_t len, char **next, char *code, size_t code_size) {
            return nimbus_feed_tree_page(tree, body, len, next, code, code_size, msg, size);
        },
        msg, size);
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
        return no_memory(msg, size);
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
            rc = no_memory(msg, size);
        *known = got > 0;
    }
    nimbus_resp_free(&resp);
    return rc;
}

} // namespace
