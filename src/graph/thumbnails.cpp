// An item's thumbnails (GET .../thumbnails): the sets the service made of
// a picture, a track's art, a film's poster or a folder of pictures. Only
// the first set is read, the item's own; the others belong to custom
// sizes nobody asked for. The URL a set gives is handed to hosts that
// fetch it without a token, so it is taken only as a plain https URL.
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "graph/graph.h"

namespace {

const char *const SIZES[] = {"small", "medium", "large", nullptr};

// A side as the service gives it: a whole number within the bound, 0 when
// the member is missing; -1 for anything else.
int32_t side_of(yyjson_val *v) {
    if (!v)
        return 0;
    if (yyjson_is_uint(v) && yyjson_get_uint(v) >= 1 &&
        yyjson_get_uint(v) <= static_cast<uint64_t>(NIMBUS_THUMB_SIDE_MAX))
        return static_cast<int32_t>(yyjson_get_uint(v));
    return -1;
}

// https, one line without blanks, within the bound.
bool url_ok(yyjson_val *v) {
    if (!yyjson_is_str(v))
        return false;
    const char *s = yyjson_get_str(v);
    size_t n = yyjson_get_len(v);
    if (n <= 8 || n > NIMBUS_THUMB_URL_MAX || std::strncmp(s, "https://", 8) != 0)
        return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c <= 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

int malformed(const char *what, char *msg, size_t size) {
    nimbus_msgf(msg, size, "thumbnails: the answer's %s is malformed", what);
    return NIMBUS_E_FAILED;
}

} // namespace

bool nimbus_thumb_size_ok(const char *name) {
    for (const char *const *s = SIZES; name && *s; s++)
        if (std::strcmp(name, *s) == 0)
            return true;
    return false;
}

void nimbus_thumb_free(nimbus_thumb *t) {
    std::free(t->url);
    *t = nimbus_thumb{};
}

int nimbus_parse_thumbnail(const char *body, size_t len, const char *name, nimbus_thumb *t,
                           char *msg, size_t size) {
    *t = nimbus_thumb{};
    // A URL that is not UTF-8 would address nothing: it is dropped, then refused.
    static const char *const drop[] = {"url", nullptr};
    nimbus_doc_guard doc{nullptr};
    yyjson_read_err err{};
    if (body)
        nimbus_json_read(&doc, const_cast<char *>(body), len, false, nullptr, drop, &err);
    if (!doc.doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "the thumbnails answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    char code[NIMBUS_CODE_SIZE];
    if (nimbus_envelope(root, code, sizeof code, msg, size))
        return nimbus_envelope_failure("thumbnails", code, msg, size);
    yyjson_val *sets = nimbus_json_member(root, "value");
    if (!yyjson_is_arr(sets))
        return malformed("value", msg, size);
    yyjson_val *first = yyjson_arr_get_first(sets);
    yyjson_val *one = first ? nimbus_json_member(first, name) : nullptr;
    if (first && !yyjson_is_obj(first))
        return malformed("set", msg, size);
    if (!one || yyjson_is_null(one)) {
        nimbus_msgf(msg, size, "the item has no %s thumbnail", name);
        return NIMBUS_E_NOT_FOUND;
    }
    if (!yyjson_is_obj(one))
        return malformed(name, msg, size);
    yyjson_val *url = nimbus_json_member(one, "url");
    if (!url_ok(url))
        return malformed("url", msg, size);
    int32_t w = side_of(nimbus_json_member(one, "width"));
    int32_t h = side_of(nimbus_json_member(one, "height"));
    if (w < 0 || h < 0)
        return malformed("width or height", msg, size);
    t->url = nimbus_strndup(yyjson_get_str(url), yyjson_get_len(url));
    if (!t->url) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    t->width = w;
    t->height = h;
    return NIMBUS_OK;
}
