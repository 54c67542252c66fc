// The drive handle and its exports: settings parsed once, a copied
// transport table, the access token its users share; plus the sign-in grant
// and the fixed text of every result code.
#include <cstring>
#include <new>

#include "auth/auth.h"
#include "host/host.h"
#include "ops/ops.h"
#include "text/text.h"

struct nimbus_drive {
    nimbus_cfg cfg{};
    nimbus_io io{};
    nimbus_shared shared;
    ~nimbus_drive() { nimbus_cfg_free(&cfg); }
};

namespace {

int done(int code, char *msg, const nimbus_cfg *cfg, const char *token,
         nimbus_shared *shared = nullptr);
int write_grant(const nimbus_token *tok, char *out, int32_t out_len, char **unsent, char *msg,
                size_t size);
int write_authorize(const nimbus_cfg *cfg, const nimbus_signin *signin, char *out, int32_t out_len,
                    char **unsent, char *msg, size_t size);
int write_device(const nimbus_device *dev, char *out, int32_t out_len, char **unsent, char *msg,
                 size_t size);
int write_out(nimbus_buf *b, char *out, int32_t out_len, char **unsent, char *msg, size_t size);

constexpr char OOM[] = "out of memory";

} // namespace

extern "C" {

NIMBUS_API const char *nimbus_strerror(int code) {
    switch (code) {
    case NIMBUS_OK:
        return "success";
    case NIMBUS_E_AUTH:
        return "authorisation refused";
    case NIMBUS_E_NOT_FOUND:
        return "not found";
    case NIMBUS_E_THROTTLED:
        return "throttled by the service";
    case NIMBUS_E_UNAVAILABLE:
        return "service unavailable";
    case NIMBUS_E_FAILED:
        return "request failed";
    case NIMBUS_E_UNSUPPORTED:
        return "not supported";
    case NIMBUS_E_INVALID:
        return "invalid settings or arguments";
    case NIMBUS_E_BUFFER:
        return "output buffer too small";
    case NIMBUS_E_BAD_PATH:
        return "malformed path";
    case NIMBUS_E_IS_FOLDER:
        return "is a folder";
    case NIMBUS_E_NOT_FOLDER:
        return "not a folder";
    case NIMBUS_E_NOMEM:
        return "out of memory";
    case NIMBUS_E_STOPPED:
        return "stopped by the callback";
    case NIMBUS_E_PENDING:
        return "sign-in not finished yet";
    case NIMBUS_E_RESYNC:
        return "change cursor expired: start over";
    case NIMBUS_E_PARTIAL:
        return "finished without some folders";
    default:
        return "unknown result code";
    }
}

NIMBUS_API int nimbus_drive_open(const char *settings, const nimbus_io *io, nimbus_drive **out) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!out) {
        nimbus_msgf(msg, sizeof msg, "the place for the handle is NULL");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    *out = nullptr;
    nimbus_cfg cfg{};
    int rc = nimbus_cfg_parse(settings, 1, &cfg, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, nullptr, nullptr);
    if (!io || !io->get || !io->post) {
        nimbus_msgf(msg, sizeof msg, "the transport table lacks get or post");
        rc = done(NIMBUS_E_INVALID, msg, &cfg, nullptr);
        nimbus_cfg_free(&cfg);
        return rc;
    }
    nimbus_drive *drive = new (std::nothrow) nimbus_drive;
    if (!drive) {
        nimbus_msgf(msg, sizeof msg, "%s", OOM);
        rc = done(NIMBUS_E_NOMEM, msg, &cfg, nullptr);
        nimbus_cfg_free(&cfg);
        return rc;
    }
    drive->cfg = cfg;
    drive->io = *io;
    *out = drive;
    return done(NIMBUS_OK, msg, nullptr, nullptr);
}

NIMBUS_API void nimbus_drive_close(nimbus_drive *drive) {
    delete drive;
}

NIMBUS_API void nimbus_drive_on_token(nimbus_drive *drive, nimbus_token_fn fn, void *ctx) {
    if (drive)
        nimbus_shared_on_token(&drive->shared, fn, ctx);
}

NIMBUS_API int nimbus_drive_list(nimbus_drive *drive, const char *folder, nimbus_entry_fn fn,
                                 void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, folder, false, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared,         nullptr,
                         false,      false,       nimbus_select::playable};
    rc = nimbus_drive_children(&caller, folder, nullptr, nullptr, fn, ctx, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_item(nimbus_drive *drive, const char *path_or_id, nimbus_entry_fn fn,
                                 void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, path_or_id, true, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared,         nullptr,
                         false,      false,       nimbus_select::playable};
    rc = nimbus_drive_lookup(&caller, path_or_id, fn, ctx, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_walk(nimbus_drive *drive, const char *folder, int max_depth,
                                 nimbus_entry_fn fn, void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, folder, false, msg, sizeof msg);
    if (rc == NIMBUS_OK)
        rc = nimbus_walk_tree(&drive->io, &drive->cfg, &drive->shared, folder, max_depth, fn, ctx,
                              msg, sizeof msg);
    return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
}

NIMBUS_API int nimbus_drive_search(nimbus_drive *drive, const char *text, nimbus_entry_fn fn,
                                   void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared,         nullptr,
                         false,      false,       nimbus_select::playable};
    int rc = nimbus_drive_find(&caller, text, fn, ctx, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_changes(nimbus_drive *drive, const char *folder, const char *cursor,
                                    nimbus_entry_fn fn, void *ctx, char **next_cursor) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (next_cursor)
        *next_cursor = nullptr;
    if (!drive || !fn || !next_cursor) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL",
                    !drive ? "the drive"
                    : !fn  ? "the entry callback"
                           : "the place for the cursor");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, folder, false, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared, nullptr, false, false};
    rc = nimbus_drive_delta(&caller, folder, cursor, fn, ctx, next_cursor, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_about(nimbus_drive *drive, nimbus_about_fn fn, void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared, nullptr, false, false};
    nimbus_drive_facts f;
    int rc = nimbus_drive_facts_get(&caller, &f, msg, sizeof msg);
    if (rc == NIMBUS_OK) {
        const nimbus_about info = {f.type,      f.owner,   f.total, f.used,
                                   f.remaining, f.deleted, f.state};
        if (fn(ctx, &info) != 0) {
            nimbus_msgf(msg, sizeof msg, "the callback stopped the answer");
            rc = NIMBUS_E_STOPPED;
        }
    }
    nimbus_drive_facts_free(&f);
    rc = done(rc, msg, &drive->cfg, caller.token);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_token_grant(const char *settings, const nimbus_io *io, const char *grant_json,
                                  char *out, int32_t out_len) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (out && out_len > 0)
        out[0] = '\0'; // a failure leaves no answer behind
    // A sign-in has no refresh token yet.
    nimbus_cfg cfg{};
    int rc = nimbus_cfg_parse(settings, 0, &cfg, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, nullptr, nullptr);
    struct cfg_guard {
        nimbus_cfg *cfg;
        ~cfg_guard() { nimbus_cfg_free(cfg); }
    } cg{&cfg};
    // An authorization code is spent by its grant: there must be a place
    // for the answer before it is.
    if (!out || out_len <= 0) {
        nimbus_msgf(msg, sizeof msg, "output buffer missing");
        return done(NIMBUS_E_BUFFER, msg, &cfg, nullptr);
    }
    nimbus_signin signin{};
    struct signin_guard {
        nimbus_signin *s;
        ~signin_guard() { nimbus_signin_free(s); }
    } sg{&signin};
    rc = nimbus_signin_read(grant_json, &signin, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &cfg, nullptr);
    char *unsent = nullptr;
    if (signin.step == NIMBUS_SIGNIN_AUTHORIZE) {
        // Only an address: nothing is sent, so no transport is needed.
        rc = write_authorize(&cfg, &signin, out, out_len, &unsent, msg, sizeof msg);
        rc = done(rc, msg, &cfg, nullptr);
        if (unsent)
            nimbus_tls_set(NIMBUS_TLS_RESULT, unsent);
        return rc;
    }
    if (!io || !io->get || !io->post) {
        nimbus_msgf(msg, sizeof msg, "the transport table lacks get or post");
        return done(NIMBUS_E_INVALID, msg, &cfg, nullptr);
    }
    if (signin.step == NIMBUS_SIGNIN_DEVICE) {
        nimbus_device dev{};
        rc = nimbus_device_post(io, &cfg, &dev, msg, sizeof msg);
        if (rc == NIMBUS_OK)
            rc = write_device(&dev, out, out_len, &unsent, msg, sizeof msg);
        nimbus_mask(msg, dev.device_code);
        nimbus_device_free(&dev);
        rc = done(rc, msg, &cfg, nullptr);
        if (unsent)
            nimbus_tls_set(NIMBUS_TLS_RESULT, unsent);
        return rc;
    }
    if (nimbus_grant_client(&signin.form, &cfg, nimbus_scope_of(&cfg)) != 0) {
        nimbus_msgf(msg, sizeof msg, "%s", OOM);
        return done(NIMBUS_E_NOMEM, msg, &cfg, nullptr);
    }
    nimbus_token tok{};
    char oauth[64];
    rc = nimbus_grant_post(io, &cfg, &signin.form, &tok, oauth, sizeof oauth, msg, sizeof msg);
    if (rc != NIMBUS_OK && signin.device &&
        (std::strcmp(oauth, "authorization_pending") == 0 ||
         std::strcmp(oauth, "slow_down") == 0)) {
        // The code comes first, so a host can tell slow_down (add 5 seconds
        // to its interval) from a plain wait.
        nimbus_msgf(msg, sizeof msg, "%s: the user has not finished signing in%s", oauth,
                    oauth[0] == 's' ? "; poll 5 seconds less often" : "");
        rc = NIMBUS_E_PENDING;
    } else if (rc == NIMBUS_OK && !tok.refresh_token) {
        nimbus_msgf(msg, sizeof msg,
                    "the token answer carries no refresh_token (is offline_access in the scope?)");
        rc = NIMBUS_E_AUTH;
    } else if (rc == NIMBUS_OK) {
        rc = write_grant(&tok, out, out_len, &unsent, msg, sizeof msg);
    }
    for (const char *secret : signin.secrets)
        nimbus_mask(msg, secret);
    nimbus_mask(msg, tok.refresh_token);
    rc = done(rc, msg, &cfg, tok.access_token);
    nimbus_token_free(&tok);
    if (unsent)
        nimbus_tls_set(NIMBUS_TLS_RESULT, unsent);
    return rc;
}

} // extern "C"

namespace {

// Publishes the outcome of a handle call: on failure the message, one line,
// secrets masked (with shared, also every token the handle holds or has
// retired); memory exhaustion reported with its own code wherever the
// steps below ran out.
int done(int code, char *msg, const nimbus_cfg *cfg, const char *token, nimbus_shared *shared) {
    if (code != NIMBUS_OK) {
        if (std::strcmp(msg, OOM) == 0)
            code = NIMBUS_E_NOMEM;
        if (!msg[0])
            nimbus_msgf(msg, NIMBUS_MSG_SIZE, "failed with result code %d", code);
        nimbus_scrub(msg, cfg, token);
        if (shared)
            nimbus_shared_scrub(shared, msg);
        for (char *p = msg; *p; p++)
            if (*p == '\n' || *p == '\r')
                *p = ' ';
    }
    nimbus_publish(code, msg, nullptr);
    return code;
}

// {"refresh_token":"...","expires_in":N} into out; when it does not fit,
// out[0] stays 0 and *unsent takes the answer, for nimbus_result_json().
int write_grant(const nimbus_token *tok, char *out, int32_t out_len, char **unsent, char *msg,
                size_t size) {
    nimbus_buf b{};
    nimbus_buf_guard bg{&b};
    int bad = nimbus_buf_adds(&b, "{\"refresh_token\":");
    bad |= nimbus_buf_json_str(&b, tok->refresh_token);
    bad |= nimbus_buf_addf(&b, ",\"expires_in\":%lld}", static_cast<long long>(tok->expires_in));
    if (bad || !b.data) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    return write_out(&b, out, out_len, unsent, msg, size);
}

// {"authorize_url":"..."}: the tenant's authorize endpoint with the client,
// the scope and the host's redirect, state and challenge, every value
// percent-encoded.
int write_authorize(const nimbus_cfg *cfg, const nimbus_signin *signin, char *out, int32_t out_len,
                    char **unsent, char *msg, size_t size) {
    nimbus_str base(nimbus_identity_url(cfg, "authorize"));
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    nimbus_buf b{};
    nimbus_buf_guard bg{&b};
    int bad = !base;
    bad |= nimbus_buf_adds(&url, base.get());
    bad |= nimbus_buf_adds(&url, "?client_id=");
    bad |= nimbus_buf_addq(&url, cfg->client_id);
    bad |= nimbus_buf_adds(&url, signin->form.data);
    bad |= nimbus_buf_adds(&url, "&scope=");
    bad |= nimbus_buf_addq(&url, nimbus_scope_of(cfg));
    bad |= nimbus_buf_adds(&url, signin->query.data);
    bad |= nimbus_buf_adds(&b, "{\"authorize_url\":");
    bad |= nimbus_buf_json_str(&b, url.data);
    bad |= nimbus_buf_adds(&b, "}");
    if (bad || !b.data) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    return write_out(&b, out, out_len, unsent, msg, size);
}

// The checked device authorization as one JSON object.
int write_device(const nimbus_device *dev, char *out, int32_t out_len, char **unsent, char *msg,
                 size_t size) {
    nimbus_buf b{};
    nimbus_buf_guard bg{&b};
    int bad = nimbus_buf_adds(&b, "{\"device_code\":");
    bad |= nimbus_buf_json_str(&b, dev->device_code);
    bad |= nimbus_buf_adds(&b, ",\"user_code\":");
    bad |= nimbus_buf_json_str(&b, dev->user_code);
    bad |= nimbus_buf_adds(&b, ",\"verification_uri\":");
    bad |= nimbus_buf_json_str(&b, dev->verification_uri);
    bad |= nimbus_buf_addf(&b, ",\"expires_in\":%lld,\"interval\":%lld,\"message\":",
                           static_cast<long long>(dev->expires_in),
                           static_cast<long long>(dev->interval));
    bad |= nimbus_buf_json_str(&b, dev->message);
    bad |= nimbus_buf_adds(&b, "}");
    if (bad || !b.data) {
        nimbus_msgf(msg, size, "%s", OOM);
        return NIMBUS_E_NOMEM;
    }
    return write_out(&b, out, out_len, unsent, msg, size);
}

// Copies the answer into out; when it does not fit, out[0] stays 0 and
// *unsent takes it, for nimbus_result_json().
int write_out(nimbus_buf *b, char *out, int32_t out_len, char **unsent, char *msg, size_t size) {
    if (static_cast<size_t>(out_len) >= b->len + 1) {
        std::memcpy(out, b->data, b->len + 1);
        return NIMBUS_OK;
    }
    nimbus_msgf(msg, size, "output buffer too small");
    *unsent = b->data;
    *b = nimbus_buf{};
    return NIMBUS_E_BUFFER;
}

} // namespace
