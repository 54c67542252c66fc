// The sign-in export: one step of an interactive sign-in (the authorize
// address, the device code, or the grant that ends it), answered as JSON
// for the host to keep.
#include <cstring>

#include "auth/auth.h"
#include "host/host.h"
#include "text/text.h"

namespace {

int done(int code, char *msg, const nimbus_cfg *cfg, const char *token) {
    return nimbus_call_done(code, msg, cfg, token);
}
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
