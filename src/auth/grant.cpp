// The refresh-token grant at the token endpoint and the reading of its answer.
#include <cstring>

#include <yyjson.h>

#include "auth/auth.h"
#include "graph/graph.h"
#include "transport/transport.h"

namespace {

constexpr size_t CODE_SIZE = 128; // an OAuth error code keeps its first 127 bytes
constexpr size_t DESC_SIZE = 256; // a 400/401 description keeps its first 255 bytes

bool usable_text(yyjson_val *v);
bool has_control(yyjson_val *v);
void copy_cut(yyjson_val *v, char *out, size_t size);
int read_answer(const char *body, size_t len, nimbus_token *tok, char *oauth_error,
                size_t oauth_size, char *msg, size_t size);
// Reads a 200 answer of the endpoint; the refusals are mapped by exchange().
using answer_reader = int (*)(void *ctx, const nimbus_resp *resp, char *oauth_error,
                              size_t oauth_size, char *msg, size_t size);
int exchange(const nimbus_io *io, const char *step, const char *url, nimbus_buf *form,
             answer_reader read, void *ctx, char *oauth_error, size_t oauth_size, char *msg,
             size_t size);
void status_message(const char *step, const char *url, const char *body, long status, char *msg,
                    size_t size);
bool msg_empty(const char *msg, size_t size);

} // namespace

void nimbus_token_free(nimbus_token *tok) {
    if (!tok)
        return;
    std::free(tok->access_token);
    std::free(tok->refresh_token);
    tok->access_token = nullptr;
    tok->refresh_token = nullptr;
    tok->expires_in = 0;
}

int nimbus_parse_token(const char *body, size_t len, nimbus_token *tok, char *msg, size_t size) {
    if (msg && size)
        msg[0] = '\0';
    int rc = read_answer(body, len, tok, nullptr, 0, msg, size);
    // An OAuth error without a description leaves the mapping's message
    // empty; quote the answer instead so that no failure goes without text.
    if (rc != NIMBUS_OK && msg_empty(msg, size)) {
        nimbus_str text(body ? nimbus_strndup(body, len) : nullptr);
        status_message("token", nimbus_token_url(), text.get(), 200, msg, size);
    }
    return rc;
}

int nimbus_grant(const nimbus_io *io, const nimbus_cfg *cfg, const char *refresh_token,
                 const char *scope, nimbus_token *tok, char *msg, size_t size) {
    nimbus_token_free(tok);
    if (msg && size)
        msg[0] = '\0';
    nimbus_buf form{};
    nimbus_buf_guard form_guard{&form};
    const char *refresh = refresh_token ? refresh_token : "";
    if (nimbus_buf_adds(&form, "grant_type=refresh_token") != 0 ||
        nimbus_buf_query(&form, "refresh_token", refresh) != 0 ||
        nimbus_grant_client(&form, cfg, scope) != 0) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return nimbus_grant_post(io, cfg, &form, tok, nullptr, 0, msg, size);
}

int nimbus_grant_client(nimbus_buf *form, const nimbus_cfg *cfg, const char *scope) {
    if (!scope || !*scope)
        scope = NIMBUS_DEFAULT_SCOPE;
    int bad = nimbus_buf_query(form, "client_id", cfg ? cfg->client_id : nullptr);
    // A public client proves nothing with a secret: none is sent.
    if (!(cfg && cfg->public_client))
        bad |= nimbus_buf_query(form, "client_secret", cfg ? cfg->client_secret : nullptr);
    bad |= nimbus_buf_query(form, "scope", scope);
    return bad ? -1 : 0;
}

int nimbus_grant_post(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_buf *form,
                      nimbus_token *tok, char *oauth_error, size_t oauth_size, char *msg,
                      size_t size) {
    nimbus_token_free(tok);
    answer_reader read = [](void *ctx, const nimbus_resp *resp, char *oauth, size_t oauth_n,
                            char *m, size_t n) {
        return read_answer(resp->body, resp->len, static_cast<nimbus_token *>(ctx), oauth, oauth_n,
                           m, n);
    };
    int rc = exchange(io, "token", nimbus_token_url_of(cfg), form, read, tok, oauth_error,
                      oauth_size, msg, size);
    if (rc != NIMBUS_OK)
        nimbus_token_free(tok);
    return rc;
}

int nimbus_device_post(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_device *dev, char *msg,
                       size_t size) {
    nimbus_device_free(dev);
    if (msg && size)
        msg[0] = '\0';
    nimbus_str url(nimbus_identity_url(cfg, "devicecode"));
    nimbus_buf form{};
    nimbus_buf_guard form_guard{&form};
    // The device authorization names the client and the scope; a client
    // secret, if any, is presented only with the device code at the token
    // endpoint.
    if (!url || nimbus_buf_adds(&form, "client_id=") != 0 ||
        nimbus_buf_addq(&form, cfg ? cfg->client_id : nullptr) != 0 ||
        nimbus_buf_adds(&form, "&scope=") != 0 ||
        nimbus_buf_addq(&form, nimbus_scope_of(cfg)) != 0) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    answer_reader read = [](void *ctx, const nimbus_resp *resp, char *, size_t, char *m, size_t n) {
        return nimbus_parse_device(resp->body, resp->len, static_cast<nimbus_device *>(ctx), m, n);
    };
    int rc = exchange(io, "devicecode", url.get(), &form, read, dev, nullptr, 0, msg, size);
    if (rc != NIMBUS_OK)
        nimbus_device_free(dev);
    return rc;
}

char *nimbus_identity_url(const nimbus_cfg *cfg, const char *endpoint) {
    // ".../oauth2/v2.0/token": the endpoints of a tenant differ in the last
    // segment only.
    const char *token = nimbus_token_url_of(cfg);
    const char *slash = std::strrchr(token, '/');
    size_t keep = slash ? static_cast<size_t>(slash - token) + 1 : 0;
    nimbus_buf b{};
    if (nimbus_buf_add(&b, token, keep) != 0 || nimbus_buf_adds(&b, endpoint) != 0) {
        nimbus_buf_free(&b);
        return nullptr;
    }
    return b.data;
}

namespace {

// POSTs form to url (releasing the form once sent) and maps the answer: a
// 200 goes to read, 400 and 401 are OAuth refusals, other statuses are
// mapped as Graph's.
int exchange(const nimbus_io *io, const char *step, const char *url, nimbus_buf *form,
             answer_reader read, void *ctx, char *oauth_error, size_t oauth_size, char *msg,
             size_t size) {
    if (msg && size)
        msg[0] = '\0';
    if (oauth_error && oauth_size)
        oauth_error[0] = '\0';
    nimbus_resp resp{};
    int sent = nimbus_http(io, url, form->data, NIMBUS_FORM_TYPE, nullptr, &resp, msg, size);
    // The form carries secrets: it goes as soon as it has been sent.
    nimbus_buf_free(form);
    if (sent != 0)
        return NIMBUS_E_UNAVAILABLE;

    long status = resp.status;
    int rc;
    if (status == 200) {
        if (msg && size)
            msg[0] = '\0';
        rc = read(ctx, &resp, oauth_error, oauth_size, msg, size);
        // An OAuth error without a description leaves the mapping's message
        // empty; quote the answer instead so that no failure goes without text.
        if (rc != NIMBUS_OK && msg_empty(msg, size))
            status_message(step, url, resp.body, 200, msg, size);
    } else if (status == 400 || status == 401) {
        char code[CODE_SIZE] = "";
        char desc[DESC_SIZE] = "";
        yyjson_read_err err{};
        yyjson_doc *doc = yyjson_read_opts(resp.body, resp.len, 0, nullptr, &err);
        nimbus_doc_guard dg{doc};
        yyjson_val *root = yyjson_doc_get_root(doc);
        if (yyjson_is_obj(root)) {
            yyjson_val *error = nimbus_json_member(root, "error");
            if (usable_text(error)) {
                copy_cut(error, code, sizeof code);
                yyjson_val *d = nimbus_json_member(root, "error_description");
                if (yyjson_is_str(d))
                    copy_cut(d, desc, sizeof desc);
            }
        }
        if (oauth_error && oauth_size)
            nimbus_msgf(oauth_error, oauth_size, "%s", code);
        if (!doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
            rc = NIMBUS_E_FAILED;
            nimbus_msgf(msg, size, "out of memory");
        } else if (code[0]) {
            rc = nimbus_map_graph(status, code, desc[0] ? desc : nullptr, msg, size);
            if (msg_empty(msg, size))
                status_message(step, url, resp.body, status, msg, size);
        } else {
            rc = NIMBUS_E_AUTH;
            status_message(step, url, resp.body, status, msg, size);
        }
    } else {
        rc = nimbus_map_graph(status, "", nullptr, nullptr, 0);
        // 201, 204 and 206 are successes to the mapping, but they carry no answer.
        if (rc == NIMBUS_OK)
            rc = NIMBUS_E_FAILED;
        status_message(step, url, resp.body, status, msg, size);
    }
    nimbus_resp_free(&resp);
    return rc;
}

// Reads a token answer; an OAuth error whose description is absent or empty
// may leave msg as it was. The error's code goes into oauth_error.
int read_answer(const char *body, size_t len, nimbus_token *tok, char *oauth_error,
                size_t oauth_size, char *msg, size_t size) {
    nimbus_token_free(tok);
    if (!body) {
        nimbus_msgf(msg, size, "the token answer is empty");
        return NIMBUS_E_FAILED;
    }
    yyjson_read_err err{};
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(body), len, 0, nullptr, &err);
    nimbus_doc_guard dg{doc};
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "the token answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }

    yyjson_val *access = nimbus_json_member(root, "access_token");
    if (usable_text(access)) {
        if (yyjson_get_len(access) > NIMBUS_TOKEN_MAX) {
            nimbus_msgf(msg, size, "the access token is longer than 8 KiB");
            return NIMBUS_E_FAILED;
        }
        yyjson_val *refresh = nimbus_json_member(root, "refresh_token");
        if (usable_text(refresh) && yyjson_get_len(refresh) > NIMBUS_TOKEN_MAX) {
            nimbus_msgf(msg, size, "the rotated refresh token is longer than 8 KiB");
            return NIMBUS_E_FAILED;
        }
        // Hosts write tokens into headers and store the rotated one in their
        // settings: a CR or LF there would inject text of the service's choice.
        if (has_control(access)) {
            nimbus_msgf(msg, size, "the access token holds a control character");
            return NIMBUS_E_FAILED;
        }
        if (usable_text(refresh) && has_control(refresh)) {
            nimbus_msgf(msg, size, "the rotated refresh token holds a control character");
            return NIMBUS_E_FAILED;
        }
        tok->access_token = nimbus_strndup(yyjson_get_str(access), yyjson_get_len(access));
        if (!tok->access_token) {
            nimbus_msgf(msg, size, "out of memory");
            return NIMBUS_E_FAILED;
        }
        // The service has already retired the presented refresh token, so a
        // rotated one that cannot be kept must fail the grant, not vanish.
        if (usable_text(refresh)) {
            tok->refresh_token = nimbus_strndup(yyjson_get_str(refresh), yyjson_get_len(refresh));
            if (!tok->refresh_token) {
                nimbus_token_free(tok);
                nimbus_msgf(msg, size, "out of memory");
                return NIMBUS_E_FAILED;
            }
        }
        yyjson_val *exp = nimbus_json_member(root, "expires_in");
        if (yyjson_is_uint(exp)) {
            uint64_t u = yyjson_get_uint(exp);
            tok->expires_in = u > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(u);
        } else if (yyjson_is_sint(exp)) {
            tok->expires_in = yyjson_get_sint(exp);
        }
        return NIMBUS_OK;
    }

    yyjson_val *error = nimbus_json_member(root, "error");
    if (!usable_text(error)) {
        nimbus_msgf(msg, size, "the token answer carries no access_token and no error");
        return NIMBUS_E_FAILED;
    }
    char code[CODE_SIZE];
    copy_cut(error, code, sizeof code);
    if (oauth_error && oauth_size)
        nimbus_msgf(oauth_error, oauth_size, "%s", code);
    char line[NIMBUS_LINE_MSG] = "";
    yyjson_val *desc = nimbus_json_member(root, "error_description");
    if (yyjson_is_str(desc))
        nimbus_body_line(yyjson_get_str(desc), line, sizeof line);
    // An OAuth error inside a 200 answer counts as an HTTP 400 error answer.
    return nimbus_map_graph(400, code, line[0] ? line : nullptr, msg, size);
}

// "<step>: <redacted URL> answered HTTP <status>[: <first body line>]".
void status_message(const char *step, const char *url, const char *body, long status, char *msg,
                    size_t size) {
    char shown[NIMBUS_URL_MSG];
    nimbus_redact_into(url, shown, sizeof shown);
    char line[NIMBUS_LINE_MSG];
    nimbus_body_line(body, line, sizeof line);
    nimbus_msgf(msg, size, "%s: %s answered HTTP %ld%s%s", step, shown, status, line[0] ? ": " : "",
                line);
}

bool msg_empty(const char *msg, size_t size) {
    return msg && size && msg[0] == '\0';
}

// A non-empty string without NUL bytes: a token or code holding a NUL would
// be cut short silently wherever it is used as text.
bool usable_text(yyjson_val *v) {
    if (!yyjson_is_str(v) || yyjson_get_len(v) == 0)
        return false;
    return std::memchr(yyjson_get_str(v), '\0', yyjson_get_len(v)) == nullptr;
}

// Whether a string value holds a byte below 0x20 or DEL.
bool has_control(yyjson_val *v) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(yyjson_get_str(v));
    for (size_t i = 0, n = yyjson_get_len(v); i < n; i++)
        if (p[i] < 0x20 || p[i] == 0x7F)
            return true;
    return false;
}

// Copies a string value into out, cut to size - 1 bytes.
void copy_cut(yyjson_val *v, char *out, size_t size) {
    size_t n = yyjson_get_len(v);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(out, yyjson_get_str(v), n);
    out[n] = '\0';
}

} // namespace
