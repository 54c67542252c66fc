// Stream locator: the pre-authorised download URL of one file, with its id,
// name and size, for the host to stream from by itself.
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "ops/ops.h"

namespace {

int item_url(const nimbus_cfg *cfg, const char *entry, nimbus_buf *url, char *msg, size_t size);
int write_locator(nimbus_buf *out, const char *url, const nimbus_item *item);

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
    // The entry, not the URL, names the item in a refusal.
    rc = nimbus_answer_check(&resp, "item", entry, msg, size);
    if (rc != NIMBUS_OK) {
        nimbus_resp_free(&resp);
        return rc;
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
    if (yyjson_doc *doc = yyjson_read_opts(body.get(), len, 0, nullptr, nullptr)) {
        download.reset(nimbus_download_url_of(yyjson_doc_get_root(doc)));
        yyjson_doc_free(doc);
    }
    if (!download || !nimbus_is_https(download.get())) {
        nimbus_item_free(&item);
        nimbus_msgf(msg, size, "the item carries no download URL");
        return NIMBUS_E_UNSUPPORTED;
    }
    rc = write_locator(out, download.get(), &item);
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
    const char *base = nimbus_graph_base();
    int bad = nimbus_buf_adds(url, base ? base : "");
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
        bad |= nimbus_buf_adds(url, "/me/drive/root:");
        bad |= nimbus_buf_addpath(url, joined.data);
    } else {
        if (!nimbus_item_id_ok(entry)) {
            nimbus_msgf(msg, size, "entry id is not a Graph item id");
            return NIMBUS_E_NOT_FOUND;
        }
        bad |= nimbus_buf_adds(url, "/me/drive/items/");
        bad |= nimbus_buf_adds(url, entry);
    }
    if (bad || !url->data) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return NIMBUS_OK;
}

int write_locator(nimbus_buf *out, const char *url, const nimbus_item *item) {
    int bad = nimbus_buf_adds(out, "{\"url\":");
    bad |= nimbus_buf_json_str(out, url);
    bad |= nimbus_buf_adds(out, ",\"id\":");
    bad |= nimbus_buf_json_str(out, item->id);
    bad |= nimbus_buf_adds(out, ",\"name\":");
    bad |= nimbus_buf_json_str(out, item->name);
    bad |= nimbus_buf_addf(out, ",\"size\":%lld,\"range\":true}", (long long)item->size);
    return bad ? -1 : 0;
}

} // namespace
