// Sign-in grants a host names in JSON: the authorization-code grant (with
// PKCE) and the device-code grant, read into the form the token endpoint
// takes, or, without their codes, the steps that come first (the authorize
// address, the device authorization). The client's fields are added by the
// caller.
#include <cstring>

#include <yyjson.h>

#include "auth/auth.h"

namespace {

constexpr size_t MAX_GRANT_JSON = 65536;
constexpr char DEVICE_GRANT[] = "urn:ietf:params:oauth:grant-type:device_code";

// A member that must be a non-empty string of at most NIMBUS_TOKEN_MAX
// bytes without NUL: 1 when taken into *out, 0 when absent, -1 when of
// another kind (the message says which), -2 when memory ran out.
int take(yyjson_val *root, const char *key, bool required, char **out, char *msg, size_t size);
int read_authorize(yyjson_val *root, nimbus_signin *out, char *msg, size_t size);
bool challenge_ok(const char *text);

} // namespace

int nimbus_signin_read(const char *grant_json, nimbus_signin *out, char *msg, size_t size) {
    nimbus_signin_free(out);
    if (!grant_json) {
        nimbus_msgf(msg, size, "the grant is NULL");
        return NIMBUS_E_INVALID;
    }
    size_t len = strnlen(grant_json, MAX_GRANT_JSON + 1);
    if (len > MAX_GRANT_JSON) {
        nimbus_msgf(msg, size, "the grant is larger than 64 KiB");
        return NIMBUS_E_INVALID;
    }
    yyjson_read_err err{};
    nimbus_doc_guard doc{yyjson_read_opts(const_cast<char *>(grant_json), len, 0, nullptr, &err)};
    if (!doc.doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "the grant is not a JSON object");
        return NIMBUS_E_INVALID;
    }
    yyjson_val *type = nimbus_json_member(root, "grant_type");
    const char *kind = yyjson_is_str(type) ? yyjson_get_str(type) : "";
    int rc = 0;
    nimbus_buf *form = &out->form;
    if (std::strcmp(kind, "authorization_code") == 0 && !nimbus_json_member(root, "code")) {
        rc = read_authorize(root, out, msg, size);
    } else if (std::strcmp(kind, "authorization_code") == 0) {
        char *code = nullptr, *redirect = nullptr, *verifier = nullptr;
        if ((rc = take(root, "code", true, &code, msg, size)) > 0)
            out->secrets[0] = code;
        if (rc > 0 && (rc = take(root, "redirect_uri", true, &redirect, msg, size)) > 0) {
            nimbus_str redirect_guard(redirect);
            if ((rc = take(root, "code_verifier", false, &verifier, msg, size)) >= 0) {
                out->secrets[1] = verifier;
                int bad = nimbus_buf_adds(form, "grant_type=authorization_code");
                bad |= nimbus_buf_query(form, "code", code);
                bad |= nimbus_buf_query(form, "redirect_uri", redirect);
                if (verifier)
                    bad |= nimbus_buf_query(form, "code_verifier", verifier);
                rc = bad ? -2 : 1;
            }
        }
    } else if (std::strcmp(kind, DEVICE_GRANT) == 0 && !nimbus_json_member(root, "device_code")) {
        out->step = NIMBUS_SIGNIN_DEVICE;
        out->device = 1;
        rc = 1;
    } else if (std::strcmp(kind, DEVICE_GRANT) == 0) {
        char *device = nullptr;
        if ((rc = take(root, "device_code", true, &device, msg, size)) > 0) {
            out->secrets[0] = device;
            out->device = 1;
            int bad = nimbus_buf_adds(form, "grant_type=");
            bad |= nimbus_buf_addq(form, DEVICE_GRANT);
            bad |= nimbus_buf_query(form, "device_code", device);
            rc = bad ? -2 : 1;
        }
    } else {
        nimbus_msgf(msg, size, "grant_type is not authorization_code or %s", DEVICE_GRANT);
        return NIMBUS_E_INVALID;
    }
    if (rc > 0)
        return NIMBUS_OK;
    nimbus_signin_free(out);
    if (rc == -2) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    return NIMBUS_E_INVALID;
}

void nimbus_signin_free(nimbus_signin *signin) {
    if (!signin)
        return;
    nimbus_buf_free(&signin->form);
    nimbus_buf_free(&signin->query);
    for (char *secret : signin->secrets)
        std::free(secret);
    *signin = nimbus_signin{};
}

namespace {

int take(yyjson_val *root, const char *key, bool required, char **out, char *msg, size_t size) {
    *out = nullptr;
    yyjson_val *v = nimbus_json_member(root, key);
    if (!v) {
        if (!required)
            return 0;
        nimbus_msgf(msg, size, "the grant has no %s", key);
        return -1;
    }
    size_t n = yyjson_get_len(v);
    if (!yyjson_is_str(v) || n == 0 || std::memchr(yyjson_get_str(v), '\0', n)) {
        nimbus_msgf(msg, size, "the grant's %s is not a non-empty string", key);
        return -1;
    }
    if (n > NIMBUS_TOKEN_MAX) {
        nimbus_msgf(msg, size, "the grant's %s is longer than 8 KiB", key);
        return -1;
    }
    *out = nimbus_strndup(yyjson_get_str(v), n);
    return *out ? 1 : -2;
}

// The authorize address's own parameters: response_type and redirect_uri
// go into form, state, the S256 challenge and the response mode into query.
// The state and the challenge are kept with the secrets, for masking.
int read_authorize(yyjson_val *root, nimbus_signin *out, char *msg, size_t size) {
    char *challenge = nullptr, *state = nullptr, *redirect = nullptr;
    int rc = take(root, "code_challenge", true, &challenge, msg, size);
    if (rc <= 0)
        return rc;
    out->secrets[0] = challenge;
    // Only the S256 method is offered: its challenge is 43 base64url characters.
    if (!challenge_ok(challenge)) {
        nimbus_msgf(msg, size, "the grant's code_challenge is not an S256 challenge");
        return -1;
    }
    if ((rc = take(root, "state", true, &state, msg, size)) <= 0)
        return rc;
    out->secrets[1] = state;
    if ((rc = take(root, "redirect_uri", true, &redirect, msg, size)) <= 0)
        return rc;
    nimbus_str redirect_guard(redirect);
    out->step = NIMBUS_SIGNIN_AUTHORIZE;
    int bad = nimbus_buf_adds(&out->form, "&response_type=code&redirect_uri=");
    bad |= nimbus_buf_addq(&out->form, redirect);
    bad |= nimbus_buf_adds(&out->query, "&state=");
    bad |= nimbus_buf_addq(&out->query, state);
    bad |= nimbus_buf_adds(&out->query, "&code_challenge=");
    bad |= nimbus_buf_addq(&out->query, challenge);
    // The code comes back in the query (the loopback and a pasted address
    // both read it there), and the user picks the account each time.
    bad |= nimbus_buf_adds(&out->query,
                           "&code_challenge_method=S256&response_mode=query&prompt=select_account");
    return bad ? -2 : 1;
}

bool challenge_ok(const char *text) {
    size_t n = std::strlen(text);
    if (n != 43)
        return false;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            return false;
    }
    return true;
}

} // namespace
