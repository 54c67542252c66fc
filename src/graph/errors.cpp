// Error answers of Microsoft Graph and the mapping of HTTP statuses to the
// library's result codes.
#include <cstring>

#include <yyjson.h>

#include "graph/graph.h"

namespace {

bool nonempty_str(yyjson_val *v) {
    return yyjson_is_str(v) && yyjson_get_len(v) > 0;
}

// The OAuth 2.0 error codes that a 400 answer of the token endpoint carries
// for a refused grant; their description is the most useful message.
bool oauth_code(const char *code) {
    static const char *const codes[] = {"invalid_grant", "invalid_client", "unauthorized_client",
                                        "invalid_request", "invalid_scope"};
    for (const char *c : codes)
        if (std::strcmp(code, c) == 0)
            return true;
    return false;
}

// Writes the message when there is one and a place for it; otherwise the
// text already in msg stays.
void put_message(const char *message, char *msg, size_t size) {
    if (msg && size > 0 && message && *message)
        nimbus_msgf(msg, size, "%s", message);
}

} // namespace

int nimbus_parse_error(const char *body, size_t len, char *code, size_t code_size, char *msg,
                       size_t size) {
    if (code && code_size > 0)
        code[0] = '\0';
    yyjson_read_err err{};
    nimbus_doc_guard doc{nullptr};
    nimbus_graph_read(&doc, const_cast<char *>(body), len, false, nullptr, &err);
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root)) {
        // A reader that ran out of memory says so instead of blaming the body.
        nimbus_msgf(msg, size, "%s",
                    body && !doc.doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION
                        ? "out of memory"
                        : "the answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    nimbus_envelope(root, code, code_size, msg, size);
    return 0;
}

bool nimbus_envelope(yyjson_val *root, char *code, size_t code_size, char *msg, size_t size) {
    if (code && code_size > 0)
        code[0] = '\0';
    // yyjson_obj_getn walks the members in document order and returns the
    // first match, so a repeated key never overrides the first one.
    yyjson_val *env = yyjson_obj_getn(root, "error", 5);
    if (!yyjson_is_obj(env) || yyjson_obj_size(env) == 0)
        return false;
    yyjson_val *c = yyjson_obj_getn(env, "code", 4);
    yyjson_val *m = yyjson_obj_getn(env, "message", 7);
    if (nonempty_str(c) && code && code_size > 0) {
        size_t n = yyjson_get_len(c);
        if (n > code_size - 1)
            n = code_size - 1;
        std::memcpy(code, yyjson_get_str(c), n);
        code[n] = '\0';
    }
    if (nonempty_str(m)) {
        char line[NIMBUS_LINE_MSG];
        nimbus_body_line(yyjson_get_str(m), line, sizeof line);
        nimbus_msgf(msg, size, "%s", line);
    }
    return nonempty_str(c);
}

int nimbus_envelope_failure(const char *label, const char *code, char *msg, size_t size) {
    if (!msg || !size || !msg[0]) {
        char shown[NIMBUS_LINE_MSG];
        nimbus_body_line(code, shown, sizeof shown);
        nimbus_msgf(msg, size, "%s: Graph error %s", label, shown[0] ? shown : "(unprintable)");
    }
    return NIMBUS_E_FAILED;
}

int nimbus_map_graph(long status, const char *code, const char *message, char *msg, size_t size) {
    if (!code)
        code = "";
    switch (status) {
    case 0:
        return NIMBUS_E_UNAVAILABLE;
    case 200:
    case 201:
    case 204:
    case 206:
        return NIMBUS_OK;
    case 400:
        if (*code && !oauth_code(code)) {
            nimbus_msgf(msg, size, "HTTP 400 (%s)", code);
            return NIMBUS_E_AUTH;
        }
        put_message(message, msg, size);
        return NIMBUS_E_AUTH;
    case 401:
    case 403:
        put_message(message, msg, size);
        return NIMBUS_E_AUTH;
    case 404:
    case 410:
        nimbus_msgf(msg, size, "HTTP %ld (%s)", status, *code ? code : "itemNotFound");
        return NIMBUS_E_NOT_FOUND;
    case 429:
        nimbus_msgf(msg, size, "HTTP 429 throttled");
        return NIMBUS_E_THROTTLED;
    case 500:
    case 502:
    case 503:
    case 504:
        nimbus_msgf(msg, size, "HTTP %ld server error", status);
        return NIMBUS_E_UNAVAILABLE;
    default:
        if (*code)
            nimbus_msgf(msg, size, "HTTP %ld (%s)", status, code);
        else
            nimbus_msgf(msg, size, "HTTP %ld", status);
        return NIMBUS_E_FAILED;
    }
}

bool nimbus_locked_folder(long status, const char *body, size_t len) {
    if (status != 400 || !body)
        return false;
    char code[NIMBUS_CODE_SIZE];
    char message[NIMBUS_LINE_MSG] = {};
    if (nimbus_parse_error(body, len, code, sizeof code, message, sizeof message) != 0)
        return false;
    // The vault's name is the user's language's, and its item carries no
    // facet of its own: the refusal is all that tells it.
    return std::strcmp(code, "invalidRequest") == 0 &&
           std::strcmp(message, "ObjectHandle is Invalid") == 0;
}
