// One request's session: an access token from the token cache when a fresh
// one is cached for the request's key, otherwise from a refresh grant; and
// the authorised Graph call with its single refresh-and-retry.
#include "auth/auth.h"
#include "graph/graph.h"

namespace {

int refresh(nimbus_sess *sess, const char *fallback, char *msg, size_t size);

} // namespace

int nimbus_sess_open(nimbus_sess *sess, const nimbus_io *io, const nimbus_cfg *cfg, char *msg,
                     size_t size) {
    *sess = nimbus_sess{};
    sess->io = io;
    sess->cfg = cfg;
    if (!cfg) {
        nimbus_msgf(msg, size, "no settings");
        return NIMBUS_E_INVALID;
    }

    // A failed copy of a cached access token falls through to a grant.
    char *access = nullptr;
    char *refresh_token = nullptr;
    if (nimbus_cache_fresh_access(cfg, nimbus_scope_of(cfg), nimbus_now(), &access,
                                  &refresh_token)) {
        sess->access_token = access;
        sess->refresh_token = refresh_token;
        sess->may_refresh = 1;
        return NIMBUS_OK;
    }
    int rc = refresh(sess, cfg->refresh_token, msg, size);
    if (rc != NIMBUS_OK) {
        // A failed open holds no token the caller could present.
        nimbus_sess_keep(sess, sess->access_token);
        sess->access_token = nullptr;
    }
    return rc;
}

int nimbus_sess_call(nimbus_sess *sess, const char *url, nimbus_resp *resp, char *msg,
                     size_t size) {
    const char *headers = nimbus_graph_headers(sess->cfg, url);
    if (nimbus_http_with(sess->io, url, nullptr, nullptr, sess->access_token, headers, resp, msg,
                         size) != 0)
        return NIMBUS_E_UNAVAILABLE;
    if (resp->status != 401 || !sess->may_refresh)
        return NIMBUS_OK;
    nimbus_resp_free(resp);

    // A cached access token was refused: one refresh, one retry.
    sess->may_refresh = 0;
    const char *own = sess->refresh_token ? sess->refresh_token : sess->cfg->refresh_token;
    int rc = refresh(sess, own, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    if (nimbus_http_with(sess->io, url, nullptr, nullptr, sess->access_token, headers, resp, msg,
                         size) != 0)
        return NIMBUS_E_UNAVAILABLE;
    return NIMBUS_OK;
}

void nimbus_sess_close(nimbus_sess *sess) {
    if (!sess)
        return;
    std::free(sess->access_token);
    std::free(sess->refresh_token);
    for (char *token : sess->spent)
        std::free(token);
    *sess = nimbus_sess{};
}

void nimbus_sess_keep(nimbus_sess *sess, char *token) {
    if (!token)
        return;
    for (char *&slot : sess->spent) {
        if (!slot) {
            slot = token;
            return;
        }
    }
    // One open and one refresh never spend more than the list holds.
    std::free(token);
}

void nimbus_sess_scrub(const nimbus_sess *sess, char *msg) {
    nimbus_mask(msg, sess->access_token);
    nimbus_mask(msg, sess->refresh_token);
    for (const char *token : sess->spent)
        nimbus_mask(msg, token);
}

namespace {

// One refresh grant for the session's key, presenting the refresh token the
// cache holds for it (possibly a rotated one), else fallback. The answer
// replaces the session's tokens; the replaced ones join the spent list.
int refresh(nimbus_sess *sess, const char *fallback, char *msg, size_t size) {
    const nimbus_cfg *cfg = sess->cfg;
    const char *scope = nimbus_scope_of(cfg);
    nimbus_token tok{};
    int rc;
    {
        nimbus_str cached(nimbus_cache_refresh_of(cfg, scope));
        const char *presented = cached && *cached.get() ? cached.get() : fallback;
        rc = nimbus_grant(sess->io, cfg, presented, scope, &tok, msg, size);
        nimbus_sess_keep(sess, cached.release());
    }
    if (rc != NIMBUS_OK) {
        nimbus_token_free(&tok);
        return rc;
    }
    // Stored under the request's own settings: the key carries the
    // configured refresh token, not the one presented.
    nimbus_cache_put(cfg, scope, &tok, nimbus_now());

    nimbus_sess_keep(sess, sess->access_token);
    nimbus_sess_keep(sess, sess->refresh_token);
    sess->access_token = tok.access_token;
    sess->refresh_token = tok.refresh_token
                              ? tok.refresh_token
                              : nimbus_strdup(cfg->refresh_token ? cfg->refresh_token : "");
    tok = nimbus_token{};
    if (!sess->access_token || !sess->refresh_token) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return NIMBUS_OK;
}

} // namespace
