// The access token shared by the users of one drive handle, refreshed by a
// single grant however many threads find it expired or refused at once.
#include <cstring>

#include "auth/auth.h"

namespace {

constexpr int64_t MARGIN = 60; // seconds of lifetime given up for safety

int64_t expiry(int64_t now, int64_t expires_in);
int copy_out(const char *token, char **access, char *msg, size_t size);
void retire(nimbus_shared *sh, char *token);

} // namespace

nimbus_shared::~nimbus_shared() {
    std::free(access);
    std::free(refresh);
    for (char *token : retired)
        std::free(token);
}

void nimbus_shared_scrub(nimbus_shared *sh, char *msg) {
    std::lock_guard<std::mutex> lock(sh->mu);
    nimbus_mask(msg, sh->access);
    nimbus_mask(msg, sh->refresh);
    for (const char *token : sh->retired)
        nimbus_mask(msg, token);
}

void nimbus_shared_on_token(nimbus_shared *sh, nimbus_token_fn fn, void *ctx) {
    std::lock_guard<std::mutex> lock(sh->mu);
    sh->fn = fn;
    sh->fn_ctx = ctx;
}

int nimbus_shared_access(nimbus_shared *sh, const nimbus_io *io, const nimbus_cfg *cfg,
                         const char *refused, char **access, bool *granted, char *msg,
                         size_t size) {
    *access = nullptr;
    *granted = false;
    std::unique_lock<std::mutex> lock(sh->mu);
    if (sh->granting) {
        // Someone is granting: its outcome is this caller's too.
        uint64_t round = sh->rounds;
        sh->cv.wait(lock, [&] { return sh->rounds != round; });
        *granted = true;
        if (sh->last_rc != NIMBUS_OK) {
            nimbus_msgf(msg, size, "%s", sh->last_msg);
            return sh->last_rc;
        }
        return copy_out(sh->access, access, msg, size);
    }
    if (sh->access &&
        (refused ? std::strcmp(sh->access, refused) != 0 : nimbus_now() < sh->expires_at))
        return copy_out(sh->access, access, msg, size);

    // This caller grants; the others wait for it.
    nimbus_str presented(nimbus_strdup(sh->refresh ? sh->refresh : cfg->refresh_token));
    if (!presented) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    nimbus_token_fn fn = sh->fn;
    void *fn_ctx = sh->fn_ctx;
    sh->granting = true;
    lock.unlock();

    nimbus_token tok{};
    int rc = nimbus_grant(io, cfg, presented.get(), nimbus_scope_of(cfg), &tok, msg, size);
    // The identity platform turned the refresh token away (revoked, expired,
    // or the application's secret expired): no retry mends that, only a new
    // sign-in, so the handle's callers get a code of its own to say so.
    if (rc == NIMBUS_E_AUTH)
        rc = NIMBUS_E_SIGNIN;
    // An answer that repeats the presented refresh token rotated nothing.
    bool rotated = tok.refresh_token && std::strcmp(tok.refresh_token, presented.get()) != 0;
    if (rc == NIMBUS_OK && rotated && fn)
        fn(fn_ctx, tok.refresh_token);
    int64_t now = nimbus_now();

    lock.lock();
    if (rc == NIMBUS_OK) {
        retire(sh, sh->access);
        sh->access = tok.access_token;
        sh->expires_at = expiry(now, tok.expires_in);
        if (rotated) {
            retire(sh, sh->refresh);
            sh->refresh = tok.refresh_token;
        } else {
            std::free(tok.refresh_token);
        }
        tok = nimbus_token{};
    } else {
        nimbus_mask(msg, presented.get());
        nimbus_token_free(&tok);
    }
    // The waiters learn the grant's outcome, not this caller's copy of it.
    sh->last_rc = rc;
    nimbus_msgf(sh->last_msg, sizeof sh->last_msg, "%s", rc == NIMBUS_OK ? "" : (msg ? msg : ""));
    if (rc == NIMBUS_OK)
        rc = copy_out(sh->access, access, msg, size);
    sh->granting = false;
    sh->rounds++;
    *granted = true;
    sh->cv.notify_all();
    return rc;
}

namespace {

// The token is used until MARGIN seconds before its stated end. One whose
// lifetime is shorter still serves the calls that waited for it.
int64_t expiry(int64_t now, int64_t expires_in) {
    if (expires_in <= MARGIN)
        return now;
    if (expires_in - MARGIN > INT64_MAX - now)
        return INT64_MAX;
    return now + (expires_in - MARGIN);
}

// Keeps a replaced token (taken over; null is ignored) among the retired
// ones unless it is there already, in place of the oldest.
void retire(nimbus_shared *sh, char *token) {
    if (!token)
        return;
    for (const char *kept : sh->retired) {
        if (kept && std::strcmp(kept, token) == 0) {
            std::free(token);
            return;
        }
    }
    std::free(sh->retired[sh->next_retired]);
    sh->retired[sh->next_retired] = token;
    sh->next_retired = (sh->next_retired + 1) % NIMBUS_RETIRED_MAX;
}

int copy_out(const char *token, char **access, char *msg, size_t size) {
    *access = nimbus_strdup(token ? token : "");
    if (!*access) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    return NIMBUS_OK;
}

} // namespace
