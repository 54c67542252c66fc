// Shortcuts: a shared folder or file that the user added to the drive is an
// item holding a "remoteItem" that names another drive. Graph does not
// follow such an item in path or children requests: the shortcut's own
// children are an empty page, and a path beneath it is not found (or
// empty). What an item is comes from its facets alone; the levels of a path
// that does not resolve are asked for from the top down to the shortcut it
// lies beneath, and everything beneath that is addressed on its own drive.
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "ops/ops.h"

namespace {

int probe(nimbus_get_fn get, void *ctx, const char *url, const char *shown, nimbus_remote *remote,
          nimbus_kind *kind, char *msg, size_t size);
int probe_path(nimbus_get_fn get, void *ctx, const nimbus_cfg *cfg, const char *arg, size_t end,
               nimbus_remote *remote, nimbus_kind *kind, char *msg, size_t size);

constexpr char OOM[] = "out of memory";

} // namespace

void nimbus_remote_free(nimbus_remote *r) {
    nimbus_buf_free(&r->drive);
    nimbus_buf_free(&r->item);
    nimbus_buf_free(&r->rest);
    nimbus_buf_free(&r->shortcut);
    nimbus_buf_free(&r->name);
}

int nimbus_shortcut_find(nimbus_get_fn get, void *ctx, const nimbus_cfg *cfg, const char *arg,
                         bool asked, nimbus_kind *kind, nimbus_remote *remote, char *msg,
                         size_t size) {
    *kind = nimbus_kind::missing;
    if (!arg || !*arg || std::strcmp(arg, "/") == 0)
        return NIMBUS_OK;
    if (arg[0] != '/') {
        // An item id has no folders above it to ask: only the item itself.
        if (asked)
            return NIMBUS_OK;
        nimbus_buf url{};
        nimbus_buf_guard ug{&url};
        if (nimbus_item_url(cfg, arg, &url) != 0) {
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_NOMEM;
        }
        int rc = probe(get, ctx, url.data, arg, remote, kind, msg, size);
        if (rc == NIMBUS_OK && *kind == nimbus_kind::remote &&
            nimbus_buf_adds(&remote->shortcut, arg) != 0) {
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_NOMEM;
        }
        return rc;
    }
    // A path: the item itself, then (when it is not there) the folders on
    // its way from the top, each one request, down to the shortcut. An
    // ordinary folder lets the search go deeper; a missing item or a file
    // ends it, so a path that does not exist costs no more requests than
    // its levels that do.
    size_t n = std::strlen(arg);
    for (size_t end = asked ? 1 : n; end <= n; end++) {
        if (end < n && arg[end] != '/')
            continue;
        if (end == n && asked)
            break;
        nimbus_kind here = nimbus_kind::missing;
        int rc = probe_path(get, ctx, cfg, arg, end, remote, &here, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
        if (end == n || here == nimbus_kind::remote) {
            *kind = here;
            if (here == nimbus_kind::remote &&
                (nimbus_buf_add(&remote->rest, arg + end, n - end) != 0 ||
                 nimbus_buf_add(&remote->shortcut, arg, end) != 0)) {
                nimbus_msgf(msg, size, "%s", OOM);
                return NIMBUS_E_NOMEM;
            }
            if (end == n && here == nimbus_kind::missing) {
                end = 0; // not there: the folders on its way, from the top
                asked = true;
                continue;
            }
            return NIMBUS_OK;
        }
        if (here != nimbus_kind::folder)
            break;
    }
    return NIMBUS_OK;
}

bool nimbus_item_not_found(const char *body_or_msg) {
    return body_or_msg && std::strstr(body_or_msg, "\"itemNotFound\"") != nullptr;
}

int nimbus_shortcut_broken(int rc, const nimbus_remote *r, char *msg, size_t size) {
    return nimbus_shortcut_broken_at(rc, r->shortcut.data ? r->shortcut.data : "", msg, size);
}

int nimbus_shortcut_broken_at(int rc, const char *name, char *msg, size_t size) {
    if (rc != NIMBUS_E_AUTH && rc != NIMBUS_E_NOT_FOUND)
        return rc;
    char shown[NIMBUS_URL_MSG];
    nimbus_redact_into(name, shown, sizeof shown);
    nimbus_msgf(msg, size,
                "shortcut %s is broken: the shared item is gone or no longer shared with you (%s)",
                shown, rc == NIMBUS_E_AUTH ? "access denied" : "not found");
    return rc;
}

int nimbus_file_shortcut_of(const char *body, size_t len, nimbus_remote *remote) {
    if (!body)
        return 0;
    yyjson_read_err err{};
    nimbus_doc_guard doc{nullptr};
    nimbus_graph_read(&doc, const_cast<char *>(body), len, false, nullptr, &err);
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!doc.doc)
        return err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? -1 : 0;
    const char *d, *i;
    if (!yyjson_is_obj(root) ||
        nimbus_is_folder(nimbus_json_member(root, "folder"),
                         nimbus_json_member(root, "remoteItem")) ||
        nimbus_json_member(root, "@microsoft.graph.downloadUrl") ||
        nimbus_json_member(root, "@content.downloadUrl") || !nimbus_remote_of(root, &d, &i))
        return 0;
    // The name as a listing of the shortcut's folder shows it.
    nimbus_buf scratch{};
    nimbus_buf_guard sg{&scratch};
    nimbus_entry e;
    int got = nimbus_entry_from(root, nullptr, 0, &scratch, &e);
    if (got > 0)
        return 0;
    if (got < 0 || nimbus_buf_adds(&remote->drive, d) != 0 ||
        nimbus_buf_adds(&remote->item, i) != 0 || nimbus_buf_adds(&remote->name, e.name) != 0)
        return -1;
    return 1;
}

int nimbus_remote_ids(nimbus_items *list, const char *drive, size_t drive_len, char *msg,
                      size_t size) {
    for (size_t i = 0; i < list->count; i++) {
        nimbus_buf id{};
        if (nimbus_remote_id_of(&id, drive, drive_len, list->items[i].id) != 0) {
            nimbus_buf_free(&id);
            nimbus_msgf(msg, size, "%s", OOM);
            return NIMBUS_E_BUFFER;
        }
        std::free(list->items[i].id);
        list->items[i].id = id.data;
    }
    return NIMBUS_OK;
}

namespace {

// probe for the first end bytes of the virtual path arg.
int probe_path(nimbus_get_fn get, void *ctx, const nimbus_cfg *cfg, const char *arg, size_t end,
               nimbus_remote *remote, nimbus_kind *kind, char *msg, size_t size) {
    nimbus_buf prefix{};
    nimbus_buf_guard pg{&prefix};
    nimbus_buf joined{};
    nimbus_buf_guard jg{&joined};
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    int bad = nimbus_buf_add(&prefix, arg, end);
    if (!bad)
        bad |= nimbus_join_checked(cfg, prefix.data, &joined);
    if (!bad)
        bad |= nimbus_root_path_url(cfg, joined.data, &url);
    if (bad || !url.data) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    return probe(get, ctx, url.data, prefix.data, remote, kind, msg, size);
}

// Asks for one item and tells what it is by its facets (kind): missing
// (404), an ordinary folder, a file or a shortcut to one, or a shortcut to
// a folder (remote's drive and item filled). Another code when the request
// failed.
int probe(nimbus_get_fn get, void *ctx, const char *url, const char *shown, nimbus_remote *remote,
          nimbus_kind *kind, char *msg, size_t size) {
    *kind = nimbus_kind::missing;
    nimbus_resp resp{};
    int rc = get(ctx, url, &resp, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    if (resp.status == 404) {
        nimbus_resp_free(&resp);
        return NIMBUS_OK;
    }
    rc = nimbus_answer_check(&resp, "item", shown, msg, size);
    if (rc != NIMBUS_OK) {
        nimbus_resp_free(&resp);
        return rc;
    }
    yyjson_read_err err{};
    nimbus_doc_guard doc{nullptr};
    nimbus_graph_read(&doc, resp.body, resp.len, true, nullptr, &err);
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    const char *d, *i;
    if (!doc.doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
        nimbus_msgf(msg, size, "%s", OOM);
        rc = NIMBUS_E_NOMEM;
    } else if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "the item answer is not a JSON object");
        rc = NIMBUS_E_FAILED;
    } else if (yyjson_is_obj(nimbus_json_member(root, "folder"))) {
        *kind = nimbus_kind::folder;
    } else if (!nimbus_is_folder(nullptr, nimbus_json_member(root, "remoteItem"))) {
        *kind = nimbus_kind::file;
    } else if (nimbus_remote_of(root, &d, &i)) {
        if (nimbus_buf_adds(&remote->drive, d) != 0 || nimbus_buf_adds(&remote->item, i) != 0) {
            nimbus_msgf(msg, size, "%s", OOM);
            rc = NIMBUS_E_NOMEM;
        } else {
            *kind = nimbus_kind::remote;
        }
    }
    // A shortcut to a folder whose ids cannot be used leads nowhere: missing.
    nimbus_resp_free(&resp);
    return rc;
}

} // namespace
