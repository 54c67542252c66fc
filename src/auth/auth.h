// Authorisation: the refresh-token grant and its answer, the process-wide
// token cache, and the per-request session.
#ifndef NIMBUS_AUTH_H
#define NIMBUS_AUTH_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "nimbus.h"
#include "text/text.h"
#include "transport/transport.h"

constexpr size_t NIMBUS_TOKEN_MAX = 8192;

// One parsed token answer; a zeroed record is empty.
struct nimbus_token {
    char *access_token;
    char *refresh_token; // the rotated refresh token, or null
    int64_t expires_in;
};

void nimbus_token_free(nimbus_token *tok);
int nimbus_parse_token(const char *body, size_t len, nimbus_token *tok, char *msg, size_t size);
// Presents refresh_token (null stands for an empty one) with cfg's client
// credentials and the scope.
int nimbus_grant(const nimbus_io *io, const nimbus_cfg *cfg, const char *refresh_token,
                 const char *scope, nimbus_token *tok, char *msg, size_t size);

// Appends the client's fields to a grant form: client_id, client_secret
// (not for a public client) and scope (null or empty: the default scope).
// 0, or -1 when memory ran out.
int nimbus_grant_client(nimbus_buf *form, const nimbus_cfg *cfg, const char *scope);
// POSTs a grant form to the token endpoint of cfg's cloud (releasing the
// form once sent) and reads the answer into tok. An OAuth error's code goes
// into oauth_error (may be null), emptied first.
int nimbus_grant_post(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_buf *form,
                      nimbus_token *tok, char *oauth_error, size_t oauth_size, char *msg,
                      size_t size);

// A device authorization as the identity platform answers it, checked.
// A zeroed record is empty.
struct nimbus_device {
    char *device_code;
    char *user_code;
    char *verification_uri;
    char *message; // one line: control characters became spaces
    int64_t expires_in;
    int64_t interval;
};
void nimbus_device_free(nimbus_device *dev);
// Reads a device authorization answer: NIMBUS_OK, or NIMBUS_E_FAILED with
// the fault (no value of the answer is quoted), NIMBUS_E_NOMEM.
int nimbus_parse_device(const char *body, size_t len, nimbus_device *dev, char *msg, size_t size);
// POSTs client_id and scope (never a secret: the endpoint takes none) to the
// device-code endpoint and reads the answer into dev; refusals are mapped as
// for the token endpoint.
int nimbus_device_post(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_device *dev, char *msg,
                       size_t size);
// The identity platform's other endpoints, beside the token endpoint of the
// same tenant on cfg's cloud: "authorize" and "devicecode". Null when
// memory ran out.
char *nimbus_identity_url(const nimbus_cfg *cfg, const char *endpoint);

// A sign-in grant named by the host's JSON: its form (without the client's
// fields) and the texts to mask in messages. A zeroed record is empty.
// Without its code the grant is only prepared: for the authorization code
// the form then holds the authorize address's query after client_id and
// scope, for the device code it stays empty.
enum nimbus_signin_step { NIMBUS_SIGNIN_GRANT = 0, NIMBUS_SIGNIN_AUTHORIZE, NIMBUS_SIGNIN_DEVICE };
struct nimbus_signin {
    nimbus_buf form;
    char *secrets[3]; // code, code_verifier / device_code
    int device;       // 1 for the device-code grant
    int step;         // a nimbus_signin_step
    nimbus_buf query; // NIMBUS_SIGNIN_AUTHORIZE: state, challenge and the rest
};
// Reads grant_json into form: NIMBUS_OK, NIMBUS_E_INVALID with the fault's
// message, or NIMBUS_E_NOMEM.
int nimbus_signin_read(const char *grant_json, nimbus_signin *out, char *msg, size_t size);
void nimbus_signin_free(nimbus_signin *signin);

// Token cache. A key is (cloud, client id, client secret, effective scope,
// the configured refresh token of the settings), so two accounts that share
// an application registration never see each other's tokens, and a token
// is never sent to another cloud's Graph.
void nimbus_cache_put(const nimbus_cfg *cfg, const char *scope, const nimbus_token *tok,
                      int64_t now);
void nimbus_cache_clear();

// Session probes, each under the cache lock. A null or empty scope stands
// for the default scope. nimbus_cache_fresh_access: 1 with owned copies of the
// first fresh (now < expiry) access token of the key and its refresh token
// (the settings' one when the slot has none; null if that copy failed), the
// slot marked used; 0 with both null otherwise. nimbus_cache_refresh_of: an
// owned copy of the refresh token cached for the key (never one of another
// key), or null when none is cached or the copy failed.
int nimbus_cache_fresh_access(const nimbus_cfg *cfg, const char *scope, int64_t now,
                              char **access_token, char **refresh_token);
char *nimbus_cache_refresh_of(const nimbus_cfg *cfg, const char *scope);

// Test hooks: owned copies of slot i's fields (1), or an empty view (0) when
// the slot is empty or i is out of range; and the current use counter.
struct nimbus_cache_view {
    char *client_id;
    char *client_secret;
    char *scope;
    char *key_refresh; // the configured refresh token of the key
    char *access_token;
    char *refresh_token; // the newest refresh token known for the key
    int64_t expires_at;
    int32_t cloud;
    uint32_t tick;
};
int nimbus_cache_debug_slot(int i, nimbus_cache_view *out);
void nimbus_cache_view_free(nimbus_cache_view *view);
uint32_t nimbus_cache_debug_tick();

// One request's session.
struct nimbus_sess {
    const nimbus_io *io;
    const nimbus_cfg *cfg;
    char *access_token;
    char *refresh_token;
    int may_refresh; // 1 when the access token came from the cache
    // Tokens this request presented or replaced (a cached refresh token
    // handed to a grant, the tokens a refresh superseded), kept until close
    // only so that a failure message can be cleared of them.
    char *spent[4];
};

int nimbus_sess_open(nimbus_sess *sess, const nimbus_io *io, const nimbus_cfg *cfg, char *msg,
                     size_t size);
void nimbus_sess_close(nimbus_sess *sess);
// Takes over an owned token (null is ignored) into the session's spent list.
void nimbus_sess_keep(nimbus_sess *sess, char *token);
// The authorised Graph call: a GET of url with the session's access token.
// A 401 to a cached access token is answered by one refresh grant and one
// retry. NIMBUS_OK with the answer in resp (any status),
// NIMBUS_E_UNAVAILABLE when an exchange failed, or the refresh grant's code.
int nimbus_sess_call(nimbus_sess *sess, const char *url, nimbus_resp *resp, char *msg, size_t size);
// Masks in msg every token the session holds or has spent.
void nimbus_sess_scrub(const nimbus_sess *sess, char *msg);

// Tokens a drive handle no longer uses but still masks in its messages.
// A message quotes what its call sent or received: the call's own access
// token (which the caller masks itself) and the tokens of the grants made
// while it ran, which are at most two per caller (one at its start, one
// after a refusal) and otherwise come about once an hour. Each grant
// retires at most two (the access token and the refresh token it
// replaces), so the last eight grants are covered: a call would have to
// outlive eight grants for a token of its own to fall out, and a handle
// kept for months holds no more than these.
constexpr size_t NIMBUS_RETIRED_MAX = 16;

// The access token a drive handle's users share. One grant at a time: a
// caller that needs a token while another grants waits for that grant's
// outcome instead of granting again. The handle keeps the newest rotated
// refresh token here, in memory, to present at its next grant; it reaches
// the host only through fn. Construct and destroy only with the handle.
struct nimbus_shared {
    std::mutex mu;
    std::condition_variable cv;
    char *access = nullptr;
    int64_t expires_at = 0;
    char *refresh = nullptr; // the newest rotated refresh token, or null
    bool granting = false;
    uint64_t rounds = 0; // grants finished
    int last_rc = NIMBUS_OK;
    char last_msg[NIMBUS_MSG_SIZE] = {};
    nimbus_token_fn fn = nullptr;
    void *fn_ctx = nullptr;
    // Tokens replaced by a grant, distinct, owned; the oldest goes first.
    char *retired[NIMBUS_RETIRED_MAX] = {};
    size_t next_retired = 0;
    ~nimbus_shared();
};

// An owned copy of an access token in *access. While the shared token is
// fresh (and, with refused, differs from the refused one, which a 401 turned
// away) it is copied; otherwise one grant runs for every caller waiting, and
// a rotated refresh token is handed to fn once, before the grant's callers
// return. *granted tells whether the token came from a grant made for this
// call (one a 401 should not repeat). The grant's code and message (tokens
// masked) on failure; NIMBUS_E_NOMEM without memory.
int nimbus_shared_access(nimbus_shared *sh, const nimbus_io *io, const nimbus_cfg *cfg,
                         const char *refused, char **access, bool *granted, char *msg, size_t size);
void nimbus_shared_on_token(nimbus_shared *sh, nimbus_token_fn fn, void *ctx);
// Masks in msg every token the handle holds or has retired: the access
// token and rotated refresh token in use and the ones grants replaced.
void nimbus_shared_scrub(nimbus_shared *sh, char *msg);

#endif // NIMBUS_AUTH_H
