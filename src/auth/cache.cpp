// The process-wide token cache: 16 slots keyed by the cloud, the
// application credentials, the effective scope and the configured refresh
// token.
#include <cstring>
#include <mutex>

#include "auth/auth.h"

namespace {

constexpr int TOK_SLOTS = 16;
constexpr int64_t TOK_MARGIN = 60; // seconds of lifetime given up for safety

// One cache slot; client_id null means the slot is empty. The configured
// refresh token (key_refresh) is part of the key; refresh_token is the newest
// refresh token known for that key, possibly one the service rotated.
struct tok_slot {
    char *client_id;
    char *client_secret;
    char *scope;
    char *key_refresh;
    char *access_token;
    char *refresh_token;
    int64_t expires_at;
    int32_t cloud;
    uint32_t tick;
};

tok_slot g_tok[TOK_SLOTS];
uint32_t g_tok_tick;
std::mutex g_tok_lock;

const char *or_empty(const char *s) {
    return s ? s : "";
}
const char *key_scope(const char *scope) {
    return scope && *scope ? scope : NIMBUS_DEFAULT_SCOPE;
}
int tok_key_is(const tok_slot *slot, const nimbus_cfg *cfg, const char *scope);
void tok_free(tok_slot *slot);
void tok_put(const nimbus_cfg *cfg, const char *scope, const nimbus_token *tok, int64_t now);

} // namespace

void nimbus_cache_put(const nimbus_cfg *cfg, const char *scope, const nimbus_token *tok,
                      int64_t now) {
    tok_put(cfg, scope, tok, now);
}

void nimbus_cache_clear() {
    std::lock_guard<std::mutex> lock(g_tok_lock);
    for (tok_slot &slot : g_tok)
        tok_free(&slot);
}

int nimbus_cache_fresh_access(const nimbus_cfg *cfg, const char *scope, int64_t now,
                              char **access_token, char **refresh_token) {
    *access_token = nullptr;
    *refresh_token = nullptr;
    if (!cfg)
        return 0;
    scope = key_scope(scope);
    std::lock_guard<std::mutex> lock(g_tok_lock);
    for (tok_slot &slot : g_tok) {
        if (!tok_key_is(&slot, cfg, scope) || !slot.access_token || now >= slot.expires_at)
            continue;
        *access_token = nimbus_strdup(slot.access_token);
        *refresh_token =
            nimbus_strdup(slot.refresh_token ? slot.refresh_token : cfg->refresh_token);
        slot.tick = ++g_tok_tick;
        break;
    }
    if (*access_token)
        return 1;
    std::free(*refresh_token);
    *refresh_token = nullptr;
    return 0;
}

char *nimbus_cache_refresh_of(const nimbus_cfg *cfg, const char *scope) {
    if (!cfg)
        return nullptr;
    scope = key_scope(scope);
    std::lock_guard<std::mutex> lock(g_tok_lock);
    for (const tok_slot &slot : g_tok)
        if (tok_key_is(&slot, cfg, scope) && slot.refresh_token)
            return nimbus_strdup(slot.refresh_token);
    return nullptr;
}

int nimbus_cache_debug_slot(int i, nimbus_cache_view *out) {
    *out = nimbus_cache_view{};
    if (i < 0 || i >= TOK_SLOTS)
        return 0;
    std::lock_guard<std::mutex> lock(g_tok_lock);
    const tok_slot &slot = g_tok[i];
    if (!slot.client_id)
        return 0;
    out->client_id = nimbus_strdup(slot.client_id);
    out->client_secret = nimbus_strdup(slot.client_secret);
    out->scope = nimbus_strdup(slot.scope);
    out->key_refresh = nimbus_strdup(slot.key_refresh);
    out->access_token = nimbus_strdup(slot.access_token);
    out->refresh_token = nimbus_strdup(slot.refresh_token);
    out->cloud = slot.cloud;
    out->expires_at = slot.expires_at;
    out->tick = slot.tick;
    return 1;
}

void nimbus_cache_view_free(nimbus_cache_view *view) {
    std::free(view->client_id);
    std::free(view->client_secret);
    std::free(view->scope);
    std::free(view->key_refresh);
    std::free(view->access_token);
    std::free(view->refresh_token);
    *view = nimbus_cache_view{};
}

uint32_t nimbus_cache_debug_tick() {
    std::lock_guard<std::mutex> lock(g_tok_lock);
    return g_tok_tick;
}

namespace {

// 1 when the slot is occupied and its key is that of (cfg, scope). The caller
// holds g_tok_lock and has put the effective scope in place.
int tok_key_is(const tok_slot *slot, const nimbus_cfg *cfg, const char *scope) {
    return slot->client_id && slot->cloud == cfg->cloud &&
           std::strcmp(slot->client_id, or_empty(cfg->client_id)) == 0 &&
           std::strcmp(slot->client_secret, or_empty(cfg->client_secret)) == 0 &&
           std::strcmp(slot->scope, or_empty(scope)) == 0 &&
           std::strcmp(slot->key_refresh, or_empty(cfg->refresh_token)) == 0;
}

// Releases the slot's strings and leaves it empty. The caller holds g_tok_lock.
void tok_free(tok_slot *slot) {
    std::free(slot->client_id);
    std::free(slot->client_secret);
    std::free(slot->scope);
    std::free(slot->key_refresh);
    std::free(slot->access_token);
    std::free(slot->refresh_token);
    *slot = tok_slot{};
}

void tok_put(const nimbus_cfg *cfg, const char *scope, const nimbus_token *tok, int64_t now) {
    if (!cfg || !tok)
        return;
    scope = key_scope(scope);
    nimbus_str client_id(nimbus_strdup(or_empty(cfg->client_id)));
    nimbus_str client_secret(nimbus_strdup(or_empty(cfg->client_secret)));
    nimbus_str key_scope_copy(nimbus_strdup(scope));
    nimbus_str key_refresh(nimbus_strdup(or_empty(cfg->refresh_token)));

    nimbus_str access(nimbus_strdup(tok->access_token));
    nimbus_str rotated(tok->refresh_token ? nimbus_strdup(tok->refresh_token) : nullptr);
    if (!client_id || !client_secret || !key_scope_copy || !key_refresh || !access)
        return;
    if (tok->refresh_token && !rotated)
        return;

    // Tokens with 60 seconds or less to live, and lifetimes that overflow the
    // clock, are not cached.
    int64_t expires_at;
    if (__builtin_add_overflow(now, tok->expires_in, &expires_at) ||
        __builtin_sub_overflow(expires_at, TOK_MARGIN, &expires_at) || expires_at <= now)
        return;

    // The lookup of the refresh token to keep and the store happen under one
    // lock, so a rotation stored by another thread meanwhile is never
    // overwritten with the older token this one saw.
    std::lock_guard<std::mutex> lock(g_tok_lock);
    nimbus_str refresh;
    if (rotated) {
        refresh = std::move(rotated);
    } else {
        // No rotation: the one already cached for this key (so a rotation
        // sticks), else the configured one. A failed copy stores nothing: a
        // slot without the refresh token it should keep would later present
        // the configured one in its place.
        const char *keep = cfg->refresh_token;
        for (const tok_slot &slot : g_tok) {
            if (tok_key_is(&slot, cfg, scope) && slot.refresh_token) {
                keep = slot.refresh_token;
                break;
            }
        }
        if (keep) {
            refresh.reset(nimbus_strdup(keep));
            if (!refresh)
                return;
        }
    }
    tok_slot *chosen = nullptr;
    for (tok_slot &slot : g_tok) {
        if (!slot.client_id || tok_key_is(&slot, cfg, scope)) {
            chosen = &slot;
            break;
        }
    }
    if (!chosen) {
        chosen = &g_tok[0];
        for (tok_slot &slot : g_tok)
            if (slot.tick < chosen->tick)
                chosen = &slot;
    }
    tok_free(chosen);
    chosen->client_id = client_id.release();
    chosen->client_secret = client_secret.release();
    chosen->scope = key_scope_copy.release();
    chosen->key_refresh = key_refresh.release();
    chosen->access_token = access.release();
    chosen->refresh_token = refresh.release();
    chosen->cloud = cfg->cloud;
    chosen->expires_at = expires_at;
    chosen->tick = ++g_tok_tick;
}

} // namespace
