// One request's session: an access token from the token cache when a fresh
// one is cached for the request's key, otherwise from a refresh grant.
#include "auth/auth.h"

int nimbus_sess_open(nimbus_sess *sess, const nimbus_io *io, const nimbus_cfg *cfg, char *msg,
                     size_t size) {
    *sess = nimbus_sess{};
    sess->io = io;
    sess->cfg = cfg;
    if (!cfg) {
        nimbus_msgf(msg, size, "no settings");
        return NIMBUS_E_INVALID;
    }
    const char *scope = nimbus_scope_of(cfg);
    int64_t now = nimbus_now();

    // A failed copy of a cached access token falls through to a grant.
    char *access = nullptr;
    char *refresh = nullptr;
    if (nimbus_cache_fresh_access(cfg, scope, now, &access, &refresh)) {
        sess->access_token = access;
        sess->refresh_token = refresh;
        sess->may_refresh = 1;
        return NIMBUS_OK;
    }

    // Present the refresh token cached for this key (possibly a rotated one),
    // else the configured one.
    nimbus_token tok{};
    int rc;
    {
        nimbus_str cached(nimbus_cache_refresh_of(cfg, scope));
        nimbus_cfg presented = *cfg;
        if (cached)
            presented.refresh_token = cached.get();
        rc = nimbus_grant(io, &presented, scope, &tok, msg, size);
        nimbus_sess_keep(sess, cached.release());
    }
    if (rc != NIMBUS_OK)
        return rc;

    // Stored under the request's own settings: the key carries the
    // configured refresh token, not the one presented.
    nimbus_cache_put(cfg, scope, &tok, nimbus_now());

    sess->access_token = tok.access_token;
    tok.access_token = nullptr;
    if (tok.refresh_token) {
        sess->refresh_token = tok.refresh_token;
        tok.refresh_token = nullptr;
    } else {
        sess->refresh_token = nimbus_strdup(cfg->refresh_token ? cfg->refresh_token : "");
    }
    nimbus_token_free(&tok);
    if (!sess->refresh_token) {
        std::free(sess->access_token);
        sess->access_token = nullptr;
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
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
    mask(msg, sess->access_token);
    mask(msg, sess->refresh_token);
    for (const char *token : sess->spent)
        mask(msg, token);
}
