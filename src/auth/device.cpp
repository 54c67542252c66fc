// The device authorization answer: what a host shows the user (a code to
// type at an address) and what it polls the token endpoint with. Every field
// comes from the network, so each is bounded and checked before it is kept.
#include <cstring>

#include <yyjson.h>

#include "auth/auth.h"

namespace {

constexpr size_t MAX_USER_CODE = 128;
constexpr size_t MAX_URI = 2048;
constexpr size_t MAX_MESSAGE = 2048;
constexpr int64_t MAX_EXPIRES = 86400; // a day; the service gives 15 minutes
constexpr int64_t MAX_INTERVAL = 600;
constexpr int64_t DEFAULT_INTERVAL = 5; // RFC 8628, section 3.2

int text(yyjson_val *root, const char *key, size_t max, bool one_line, char **out, char *msg,
         size_t size);
int seconds(yyjson_val *root, const char *key, int64_t max, int64_t fallback, int64_t *out,
            char *msg, size_t size);
bool https_address(const char *s);

} // namespace

void nimbus_device_free(nimbus_device *dev) {
    if (!dev)
        return;
    std::free(dev->device_code);
    std::free(dev->user_code);
    std::free(dev->verification_uri);
    std::free(dev->message);
    *dev = nimbus_device{};
}

int nimbus_parse_device(const char *body, size_t len, nimbus_device *dev, char *msg, size_t size) {
    nimbus_device_free(dev);
    if (msg && size)
        msg[0] = '\0';
    if (!body) {
        nimbus_msgf(msg, size, "the device authorization is empty");
        return NIMBUS_E_FAILED;
    }
    yyjson_read_err err{};
    nimbus_doc_guard doc{yyjson_read_opts(const_cast<char *>(body), len, 0, nullptr, &err)};
    if (!doc.doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "the device authorization is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    // device_code is a secret the host sends back; user_code and the
    // address are shown to the user: none may carry a control character.
    int rc = text(root, "device_code", NIMBUS_TOKEN_MAX, false, &dev->device_code, msg, size);
    if (rc == NIMBUS_OK)
        rc = text(root, "user_code", MAX_USER_CODE, false, &dev->user_code, msg, size);
    if (rc == NIMBUS_OK)
        rc = text(root, "verification_uri", MAX_URI, false, &dev->verification_uri, msg, size);
    if (rc == NIMBUS_OK && !https_address(dev->verification_uri)) {
        nimbus_msgf(msg, size,
                    "the device authorization's verification_uri is not an https "
                    "address");
        rc = NIMBUS_E_FAILED;
    }
    if (rc == NIMBUS_OK)
        rc = seconds(root, "expires_in", MAX_EXPIRES, 0, &dev->expires_in, msg, size);
    if (rc == NIMBUS_OK)
        rc = seconds(root, "interval", MAX_INTERVAL, DEFAULT_INTERVAL, &dev->interval, msg, size);
    yyjson_val *message = nimbus_json_member(root, "message");
    if (rc == NIMBUS_OK && message && !yyjson_is_null(message))
        rc = text(root, "message", MAX_MESSAGE, true, &dev->message, msg, size);
    if (rc == NIMBUS_OK && !dev->message) {
        // The service always explains; a host still gets a line to show.
        nimbus_buf b{};
        if (nimbus_buf_adds(&b, "To sign in, open ") != 0 ||
            nimbus_buf_adds(&b, dev->verification_uri) != 0 ||
            nimbus_buf_adds(&b, " and enter the code ") != 0 ||
            nimbus_buf_adds(&b, dev->user_code) != 0 || nimbus_buf_adds(&b, ".") != 0) {
            nimbus_buf_free(&b);
            nimbus_msgf(msg, size, "out of memory");
            rc = NIMBUS_E_NOMEM;
        } else {
            dev->message = b.data;
        }
    }
    if (rc != NIMBUS_OK)
        nimbus_device_free(dev);
    return rc;
}

namespace {

// A required non-empty string member of at most max bytes without NUL.
// one_line: control characters become spaces (a message is shown as one
// line); otherwise they are refused.
int text(yyjson_val *root, const char *key, size_t max, bool one_line, char **out, char *msg,
         size_t size) {
    yyjson_val *v = nimbus_json_member(root, key);
    if (!v) {
        nimbus_msgf(msg, size, "the device authorization has no %s", key);
        return NIMBUS_E_FAILED;
    }
    size_t n = yyjson_get_len(v);
    if (!yyjson_is_str(v) || n == 0 || std::memchr(yyjson_get_str(v), '\0', n)) {
        nimbus_msgf(msg, size, "the device authorization's %s is not a non-empty string", key);
        return NIMBUS_E_FAILED;
    }
    if (n > max) {
        nimbus_msgf(msg, size, "the device authorization's %s is longer than %zu bytes", key, max);
        return NIMBUS_E_FAILED;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(yyjson_get_str(v));
    for (size_t i = 0; i < n; i++)
        if ((p[i] < 0x20 || p[i] == 0x7F) && !one_line) {
            nimbus_msgf(msg, size, "the device authorization's %s holds a control character", key);
            return NIMBUS_E_FAILED;
        }
    char *copy = nimbus_strndup(yyjson_get_str(v), n);
    if (!copy) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    for (size_t i = 0; i < n; i++)
        if (static_cast<unsigned char>(copy[i]) < 0x20 || copy[i] == 0x7F)
            copy[i] = ' ';
    *out = copy;
    return NIMBUS_OK;
}

// An integer member from 1 to max; absent (or null) gives fallback, unless
// fallback is 0 (required).
int seconds(yyjson_val *root, const char *key, int64_t max, int64_t fallback, int64_t *out,
            char *msg, size_t size) {
    yyjson_val *v = nimbus_json_member(root, key);
    if ((!v || yyjson_is_null(v)) && fallback > 0) {
        *out = fallback;
        return NIMBUS_OK;
    }
    if (!yyjson_is_uint(v) || yyjson_get_uint(v) < 1 ||
        yyjson_get_uint(v) > static_cast<uint64_t>(max)) {
        nimbus_msgf(msg, size,
                    "the device authorization's %s is not a number of seconds from 1 to %lld", key,
                    static_cast<long long>(max));
        return NIMBUS_E_FAILED;
    }
    *out = static_cast<int64_t>(yyjson_get_uint(v));
    return NIMBUS_OK;
}

// "https://" and a host: the user is sent there to type the code.
bool https_address(const char *s) {
    if (std::strncmp(s, "https://", 8) != 0 || s[8] == '\0' || s[8] == '/')
        return false;
    for (const char *p = s; *p; p++)
        if (*p == ' ')
            return false;
    return true;
}

} // namespace
