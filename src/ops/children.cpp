// The drive handle's listing and item look-up: a folder's children streamed
// page by page to the host's callback (through a shortcut onto the drive it
// leads to), and one item looked up.
#include <cstring>

#include <yyjson.h>

#include "ops/ops.h"

namespace {

bool is_root(const char *arg) {
    return !arg || !*arg || std::strcmp(arg, "/") == 0;
}

int read_item(nimbus_resp *resp, const char *path, const char *vroot, const char *drive,
              const char *name, nimbus_remote *target, nimbus_entry_fn fn, void *ctx, char *msg,
              size_t size);
int locked_folder(const char *folder, const char *prefix, bool *broken, char *msg, size_t size);

} // namespace

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
    nimbus_walk_guard wg{&walk};
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
            return nimbus_no_memory(msg, size);
        walk.drive = drive.data;
    }
    bool locked = false;
    rc = nimbus_walk_pages(c, &walk, first.data, msg, size, &locked);
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
        return nimbus_no_memory(msg, size);
    nimbus_kind kind = nimbus_kind::missing;
    int found = nimbus_shortcut_find(nimbus_caller_fetch, c, c->cfg, folder, false, &kind, &remote,
                                     msg, size);
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
        return nimbus_no_memory(msg, size);
    // The shared folder's drive is not the one the root lies on.
    walk.drive = remote.drive.data;
    walk.by_parent = false;
    rc = nimbus_walk_pages(c, &walk, url.data, msg, size, &locked);
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
            return nimbus_no_memory(msg, size);
    }
    return nimbus_shortcut_broken(rc, &remote, msg, size);
}

int nimbus_drive_lookup(nimbus_caller *c, const char *path_or_id, nimbus_entry_fn fn, void *ctx,
                        char *msg, size_t size, nimbus_remote *target) {
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_item_url(c->cfg, path_or_id, &url) != 0 || nimbus_add_select(&url, c->select) != 0)
        return nimbus_no_memory(msg, size);
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
        int found = nimbus_shortcut_find(nimbus_caller_fetch, c, c->cfg, path_or_id, true, &kind,
                                         &remote, msg, size);
        if (found == NIMBUS_OK && kind == nimbus_kind::remote) {
            nimbus_resp_free(&resp);
            url.len = 0;
            if (nimbus_remote_url(c->cfg, &remote, false, &url) != 0 ||
                nimbus_add_select(&url, c->select) != 0)
                return nimbus_no_memory(msg, size);
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
        return nimbus_no_memory(msg, size);
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
            return nimbus_no_memory(msg, size);
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
        rc = nimbus_no_memory(msg, size);
    if (rc == NIMBUS_OK)
        rc = read_item(&resp, path_or_id[0] == '/' ? path_or_id : nullptr,
                       drive.data     ? nullptr
                       : c->cfg->path ? c->cfg->path
                                      : "",
                       drive.data, remote.name.data, target, fn, ctx, msg, size);
    nimbus_resp_free(&resp);
    return rc;
}

int nimbus_walk_pages(nimbus_caller *c, nimbus_walk *walk, const char *first, char *msg,
                      size_t size, bool *locked) {
    // Each page's document comes from the standard heap, which hands a
    // freed page's block straight back: a pool kept across pages (as
    // nimbus_list keeps) measured no faster here.
    return nimbus_caller_pages(
        c, first, "children", false,
        [](void *ctx, char *body, size_t len, char **next, char *code, size_t code_size, char *msg,
           size_t size) {
            return nimbus_walk_page(static_cast<nimbus_walk *>(ctx), body, len, nullptr, next, code,
                                    code_size, msg, size);
        },
        walk, msg, size, locked);
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
        return nimbus_no_memory(msg, size);
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
        return nimbus_no_memory(msg, size);
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
            return nimbus_no_memory(msg, size);
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
        return nimbus_no_memory(msg, size);
    // An item on another drive is addressed by drive and id.
    nimbus_buf id{};
    nimbus_buf_guard ig{&id};
    if (drive) {
        if (nimbus_remote_id_of(&id, drive, std::strlen(drive), entry.id) != 0)
            return nimbus_no_memory(msg, size);
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

} // namespace
