// Settings validation probe: obtain a token and list the configured root to
// the end, then tell the host which settings values to store.
#include <cstring>

#include "ops/ops.h"

namespace {

int write_answer(nimbus_buf *out, const nimbus_cfg *cfg, const char *id, const char *cached);

} // namespace

int nimbus_do_validate(const nimbus_io *io, const nimbus_cfg *cfg, const char *id, nimbus_buf *out,
                       char *msg, size_t size) {
    nimbus_sess sess{};
    int rc = nimbus_sess_open(&sess, io, cfg, msg, size);
    if (rc != NIMBUS_OK) {
        nimbus_sess_scrub(&sess, msg);
        nimbus_sess_close(&sess);
        return rc;
    }
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    rc = nimbus_children_url(cfg, nullptr, &url, msg, size);
    if (rc == NIMBUS_OK) {
        nimbus_items scratch{};
        rc = nimbus_list_url(&sess, url.data, &scratch, msg, size);
        nimbus_items_free(&scratch);
    }
    if (rc == NIMBUS_OK) {
        // When the cache lost this account's entry meanwhile (wiped, or
        // evicted by other accounts), the session still knows the token it
        // was given.
        nimbus_str kept(nimbus_cache_refresh_of(cfg, nimbus_scope_of(cfg)));
        const char *cached = kept && *kept.get() ? kept.get() : sess.refresh_token;
        if (write_answer(out, cfg, id, cached) != 0) {
            nimbus_msgf(msg, size, "out of memory");
            rc = NIMBUS_E_FAILED;
        }
    }
    // The answer is written with the settings only: the session's tokens
    // are masked here, before it is closed.
    if (rc != NIMBUS_OK)
        nimbus_sess_scrub(&sess, msg);
    nimbus_sess_close(&sess);
    return rc;
}

namespace {

int write_answer(nimbus_buf *out, const nimbus_cfg *cfg, const char *id, const char *cached) {
    int bad = nimbus_buf_adds(out, "{\"RuntimeType\":");
    bad |= nimbus_buf_json_str(out, cfg->business ? "ONEDRIVEB" : "ONEDRIVE");
    if (cached && *cached &&
        (!cfg->refresh_token || std::strcmp(cfg->refresh_token, cached) != 0)) {
        bad |= nimbus_buf_adds(out, cfg->business ? ",\"RefreshToken\":" : ",\"refresh_token\":");
        bad |= nimbus_buf_json_str(out, cached);
    }
    if (!id || !*id) {
        char guid[40];
        if (!nimbus_new_guid(guid, sizeof guid))
            return -1;
        bad |= nimbus_buf_adds(out, ",\"ID\":");
        bad |= nimbus_buf_json_str(out, guid);
    }
    bad |= nimbus_buf_adds(out, "}");
    return bad ? -1 : 0;
}

} // namespace
