// Stream locator: the pre-authorised download URL of one file, with its id,
// name and size, for the host to stream from by itself.
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "ops/ops.h"

namespace {

int item_url(const nimbus_cfg *cfg, const char *entry, nimbus_buf *url, char *msg, size_t size);

int sess_get(void *ctx, const char *url, nimbus_resp *resp, char *msg, size_t size) {
    return nimbus_sess_call(static_cast<nimbus_sess *>(ctx), url, resp, msg, size);
}

// Replaces the answer in resp with the remote item's.
int refetch(nimbus_sess *sess, const nimbus_remote *remote, nimbus_resp *resp, char *msg,
            size_t size) {
    nimbus_resp_free(resp);
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_remote_url(sess->cfg, remote, false, &url) != 0) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return nimbus_sess_call(sess, url.data, resp, msg, size);
}

// When the answer in resp is a shortcut to a file without a download URL
// of its own, fills remote and replaces the answer with the remote file's.
int file_shortcut(nimbus_sess *sess, const char *entry, nimbus_resp *resp, nimbus_remote *remote,
                  char *msg, size_t size) {
    int got = nimbus_file_shortcut_of(resp->body, resp->len, remote);
    if (got == 0)
        return NIMBUS_OK;
    if (got < 0 || nimbus_buf_adds(&remote->shortcut, entry) != 0) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return refetch(sess, remote, resp, msg, size);
}

// An item on another drive is named by the id that addresses it there, and
// the file a shortcut leads to by the shortcut's name. 0, or -1 without
// memory.
int as_reached(nimbus_item *item, const char *entry, const nimbus_remote *remote) {
    const char *d = remote->drive.data, *i;
    size_t dn = remote->drive.len;
    if (!d && !nimbus_remote_id(entry, &d, &dn, &i))
        return 0;
    nimbus_buf id{};
    nimbus_buf_guard ig{&id};
    if (nimbus_remote_id_of(&id, d, dn, item->id) != 0)
        return -1;
    char *name = remote->name.data ? nimbus_strdup(remote->name.data) : nullptr;
    if (remote->name.data && !name)
        return -1;
    std::free(item->id);
    item->id = id.data;
    id = nimbus_buf{};
    if (name) {
        std::free(item->name);
        item->name = name;
    }
    return 0;
}

} // namespace

int nimbus_do_stream(nimbus_sess *sess, const char *entry, nimbus_buf *out, char *msg,
                     size_t size) {
    if (!entry || !*entry) {
        nimbus_msgf(msg, size, "entry is empty");
        return NIMBUS_E_NOT_FOUND;
    }
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    int rc = item_url(sess->cfg, entry, &url, msg, size);
    if (rc != NIMBUS_OK)
        return rc;

    nimbus_resp resp{};
    rc = nimbus_sess_call(sess, url.data, &resp, msg, size);
    nimbus_buf_free(&url);
    if (rc != NIMBUS_OK)
        return rc;
    // A path beneath a shortcut answers 404: the item lives on the
    // shortcut's drive.
    nimbus_remote remote{};
    nimbus_remote_guard remote_guard{&remote};
    if (resp.status == 404 && nimbus_item_not_found(resp.body)) {
        nimbus_kind kind = nimbus_kind::missing;
        rc =
            nimbus_shortcut_find(sess_get, sess, sess->cfg, entry, true, &kind, &remote, msg, size);
        if (rc == NIMBUS_OK && kind == nimbus_kind::remote)
            rc = refetch(sess, &remote, &resp, msg, size);
        if (rc != NIMBUS_OK) {
            nimbus_resp_free(&resp);
            return rc == NIMBUS_E_NOMEM ? NIMBUS_E_FAILED : rc;
        }
    }
    rc = nimbus_answer_check(&resp, "item", entry, msg, size);
    if (rc == NIMBUS_OK && !remote.drive.data) {
        // A shortcut to a file stands for that file, which its own drive
        // describes (with the download URL): one more request.
        rc = file_shortcut(sess, entry, &resp, &remote, msg, size);
        if (rc == NIMBUS_OK && remote.drive.data)
            rc = nimbus_answer_check(&resp, "item", entry, msg, size);
    }
    if (rc != NIMBUS_OK) {
        nimbus_resp_free(&resp);
        if (remote.drive.data)
            nimbus_shortcut_broken(rc, &remote, msg, size);
        return rc == NIMBUS_E_NOMEM ? NIMBUS_E_FAILED : rc;
    }
    nimbus_str body(resp.body ? resp.body : nimbus_strdup(""));
    size_t len = resp.body ? resp.len : 0;
    resp.body = nullptr;
    nimbus_resp_free(&resp);
    if (!body) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }

    nimbus_item item{};
    rc = nimbus_parse_single_item(body.get(), len, "", &item, msg, size);
    if (rc != NIMBUS_OK) {
        nimbus_item_free(&item);
        return rc;
    }
    if (item.folder) {
        nimbus_item_free(&item);
        nimbus_msgf(msg, size, "item %s is a folder, not a playable file", entry);
        return NIMBUS_E_NOT_FOUND;
    }
    nimbus_str download;
    {
        yyjson_read_err err{};
        nimbus_doc_guard doc{nullptr};
        if (nimbus_graph_read(&doc, body.get(), len, false, nullptr, &err))
            download.reset(nimbus_download_url_of(yyjson_doc_get_root(doc.doc)));
    }
    if (!download || !nimbus_is_https(download.get())) {
        nimbus_item_free(&item);
        nimbus_msgf(msg, size, "the item carries no download URL");
        return NIMBUS_E_UNSUPPORTED;
    }
    rc = as_reached(&item, entry, &remote);
    if (rc == 0)
        rc = nimbus_locator_json(out, download.get(), item.id, item.name, item.size);
    nimbus_item_free(&item);
    if (rc != 0) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return NIMBUS_OK;
}

namespace {

// The item's Graph URL: by drive path under the configured root, or by id.
int item_url(const nimbus_cfg *cfg, const char *entry, nimbus_buf *url, char *msg, size_t size) {
    int bad = 0;
    if (entry[0] == '/') {
        if (!nimbus_path_ok(entry)) {
            nimbus_msgf(msg, size, "entry is not a valid drive path");
            return NIMBUS_E_NOT_FOUND;
        }
        nimbus_buf joined{};
        nimbus_buf_guard jg{&joined};
        if (nimbus_join_checked(cfg, entry, &joined) != 0) {
            nimbus_msgf(msg, size, "out of memory");
            return NIMBUS_E_FAILED;
        }
        if (joined.len > NIMBUS_PATH_MAX) {
            nimbus_msgf(msg, size, "the virtual path is longer than 2048 bytes");
            return NIMBUS_E_NOT_FOUND;
        }
        bad |= nimbus_root_path_url(cfg, joined.data, url);
    } else {
        if (!nimbus_item_id_ok(entry)) {
            nimbus_msgf(msg, size, "entry id is not a Graph item id");
            return NIMBUS_E_NOT_FOUND;
        }
        bad |= nimbus_item_url(cfg, entry, url);
    }
    if (bad || !url->data) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return NIMBUS_OK;
}

} // namespace
