// The flat listing: a folder's children, page by page, into an entry list
// (through a shortcut onto the drive it leads to).
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "ops/ops.h"

namespace {

bool is_root_folder(const char *folder) {
    return !folder || !*folder || std::strcmp(folder, "/") == 0;
}

// The document allocator of one listing, reused from page to page.
struct alc_guard {
    yyjson_alc *alc;
    ~alc_guard() {
        if (alc)
            yyjson_alc_dyn_free(alc);
    }
};

int sess_get(void *ctx, const char *url, nimbus_resp *resp, char *msg, size_t size) {
    return nimbus_sess_call(static_cast<nimbus_sess *>(ctx), url, resp, msg, size);
}

// What the flat listing's pages are read into: its entry list, with the
// allocator its page documents share.
struct flat_pages {
    nimbus_items *list;
    yyjson_alc *alc;
};

int flat_answer(void *, int, const nimbus_resp *resp, char *msg, size_t size) {
    if (!nimbus_locked_folder(resp->status, resp->body, resp->len))
        return NIMBUS_OK;
    nimbus_msgf(msg, size,
                "children: the folder is locked (a Personal Vault: unlock it in OneDrive "
                "to list it)");
    return NIMBUS_E_AUTH;
}

int flat_read(void *ctx, char *body, size_t len, char **next, char *code, size_t code_size,
              char *msg, size_t size) {
    auto *fp = static_cast<flat_pages *>(ctx);
    if (msg && size)
        msg[0] = '\0';
    int rc = nimbus_parse_children_in_place(body, len, fp->alc, "", fp->list, next, code, code_size,
                                            msg, size);
    if (code[0])
        rc = nimbus_envelope_failure("children", code, msg, size);
    return rc;
}

// A folder that listed nothing (rc NIMBUS_OK) or answered Graph's 404 may
// be a shortcut or lie beneath one, which the item answers' facets tell:
// listed on the shortcut's drive when it does; otherwise the listing's own
// answer stands. A request that fails on the way fails the listing.
int through_shortcut(nimbus_sess *sess, const char *folder, int rc, nimbus_items *list,
                     nimbus_remote *remote, char *msg, size_t size) {
    nimbus_str first(msg && size ? nimbus_strdup(msg) : nullptr);
    if (msg && size && !first) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    nimbus_kind kind = nimbus_kind::missing;
    int found =
        nimbus_shortcut_find(sess_get, sess, sess->cfg, folder, false, &kind, remote, msg, size);
    if (found != NIMBUS_OK)
        return found == NIMBUS_E_NOMEM ? NIMBUS_E_FAILED : found; // the flat requests' code
    if (kind != nimbus_kind::remote) {
        nimbus_msgf(msg, size, "%s", first ? first.get() : "");
        return rc;
    }
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_remote_url(sess->cfg, remote, true, &url) != 0) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    rc = nimbus_list_url(sess, url.data, list, msg, size);
    if (rc != NIMBUS_OK && list->count == 0)
        rc = nimbus_shortcut_broken(rc, remote, msg, size);
    return rc;
}

} // namespace

int nimbus_list_url(nimbus_sess *sess, const char *url, nimbus_items *list, char *msg,
                    size_t size) {
    // Without an allocator of its own (no memory for one), each page's
    // document comes from the standard heap.
    alc_guard alc{yyjson_alc_dyn_new()};
    flat_pages fp{list, alc.alc};
    nimbus_pager p{};
    p.get = sess_get;
    p.get_ctx = sess;
    p.cfg = sess->cfg;
    p.add_query = true;
    p.select = nimbus_select::all;
    p.label = p.link_label = "children";
    p.whole = "folder";
    p.no_memory = NIMBUS_E_FAILED; // the flat requests' code
    p.answer = flat_answer;
    p.read = flat_read;
    p.ctx = &fp;
    return nimbus_pages(&p, url, msg, size);
}

int nimbus_do_list(nimbus_sess *sess, const char *folder, nimbus_items *list, char **parent,
                   char *msg, size_t size) {
    list->media = sess->cfg && sess->cfg->metadata;
    if (parent)
        *parent = nullptr;
    if (folder && !*folder)
        folder = nullptr;
    nimbus_str scratch;
    if (folder) {
        scratch.reset(nimbus_strdup(folder));
        if (!scratch) {
            nimbus_msgf(msg, size, "out of memory");
            return NIMBUS_E_BUFFER;
        }
    }
    if (parent) {
        *parent = nimbus_strdup(folder ? folder : "");
        if (!*parent) {
            nimbus_msgf(msg, size, "out of memory");
            return NIMBUS_E_BUFFER;
        }
    }

    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    int rc = nimbus_children_url(sess->cfg, scratch.get(), &url, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    rc = nimbus_list_url(sess, url.data, list, msg, size);
    const char *drive = nullptr;
    size_t drive_len = 0;
    const char *item;
    nimbus_remote remote{};
    nimbus_remote_guard remote_guard{&remote};
    if (list->count == 0 && !is_root_folder(scratch.get()) &&
        (rc == NIMBUS_OK || (rc == NIMBUS_E_NOT_FOUND && nimbus_item_not_found(msg))))
        rc = through_shortcut(sess, scratch.get(), rc, list, &remote, msg, size);
    if (rc != NIMBUS_OK || is_root_folder(scratch.get()))
        return rc;
    if (remote.drive.data) {
        drive = remote.drive.data;
        drive_len = remote.drive.len;
    } else if (!nimbus_remote_id(scratch.get(), &drive, &drive_len, &item)) {
        drive = nullptr; // the account's own drive: ids as the service gave them
    }
    if (drive && (rc = nimbus_remote_ids(list, drive, drive_len, msg, size)) != NIMBUS_OK)
        return rc;

    // The parser made every path "/" + name; the requested folder goes in front.
    size_t flen = std::strlen(scratch.get());
    for (size_t i = 0; i < list->count; i++) {
        nimbus_item *it = &list->items[i];
        size_t plen = it->path ? std::strlen(it->path) : 0;
        char *joined = static_cast<char *>(std::malloc(flen + plen + 1));
        if (!joined) {
            nimbus_msgf(msg, size, "out of memory");
            return NIMBUS_E_BUFFER;
        }
        std::memcpy(joined, scratch.get(), flen);
        if (plen)
            std::memcpy(joined + flen, it->path, plen);
        joined[flen + plen] = '\0';
        std::free(it->path);
        it->path = joined;
    }
    return NIMBUS_OK;
}
