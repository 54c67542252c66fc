// JSON helpers shared by every reader and writer of the library: the
// document guard, the lenient reader of outside text, the first-member
// lookup and string literal escaping.
#include <cstdint>
#include <cstring>

#include <yyjson.h>

#include "text/text.h"

namespace {

// How a byte is written inside a JSON string: 0 as itself, 'u' as \u00XX,
// any other value v as a backslash and v.
struct escape_table {
    unsigned char e[256];
    constexpr escape_table() : e{} {
        for (int c = 0; c < 0x20; c++)
            e[c] = 'u';
        e[0x7F] = 'u';
        e[0x22] = '"';
        e[0x5C] = '\\';
        e[0x0A] = 'n';
        e[0x0D] = 'r';
        e[0x09] = 't';
    }
};
constexpr escape_table ESCAPE;
constexpr char HEX_LOWER[] = "0123456789abcdef";

} // namespace

nimbus_doc_guard::~nimbus_doc_guard() {
    yyjson_doc_free(doc);
    std::free(texts);
}

namespace {

bool clean(const char *s, size_t n);
size_t unpair(char *s, size_t n);
int repair(nimbus_doc_guard *doc, const char *const *drop);

} // namespace

yyjson_doc *nimbus_json_read(nimbus_doc_guard *doc, char *body, size_t len, bool in_place,
                             yyjson_alc *alc, const char *const *drop, yyjson_read_err *err) {
    yyjson_read_flag flags = in_place ? YYJSON_READ_INSITU : 0;
    *err = yyjson_read_err{};
    doc->doc = nullptr;
    if (!body) {
        err->code = YYJSON_READ_ERROR_INVALID_PARAMETER;
        err->msg = "input data is NULL";
        return nullptr;
    }
    // Nearly every text is clean, and the strict reader checks its UTF-8 as
    // it goes: it reads first. Only a text it refuses for a string is read
    // again, from the bytes as they came. A reader in place changes its
    // buffer, so those are kept beforehand: a copy costs less than a look
    // at every byte, which is left for when there is no room for one.
    // A refused text whose UTF-8 and escapes are well-formed is refused for
    // good (a raw control character, a bad escape): as the strict reader said.
    if (in_place) {
        nimbus_str original(static_cast<char *>(std::malloc(len ? len : 1)));
        if (original) {
            std::memcpy(original.get(), body, len);
            doc->doc = yyjson_read_opts(body, len, flags, alc, err);
            if (doc->doc || err->code != YYJSON_READ_ERROR_INVALID_STRING)
                return doc->doc;
            std::memcpy(body, original.get(), len);
            if (clean(body, len))
                return nullptr;
        } else if (clean(body, len)) {
            return doc->doc = yyjson_read_opts(body, len, flags, alc, err);
        }
    } else {
        doc->doc = yyjson_read_opts(body, len, flags, alc, err);
        if (doc->doc || err->code != YYJSON_READ_ERROR_INVALID_STRING || clean(body, len))
            return doc->doc;
    }
    *err = yyjson_read_err{};
    nimbus_str copy;
    if (!in_place) {
        copy.reset(static_cast<char *>(std::malloc(len + YYJSON_PADDING_SIZE)));
        if (!copy) {
            err->code = YYJSON_READ_ERROR_MEMORY_ALLOCATION;
            err->msg = "memory allocation failed";
            return nullptr;
        }
        std::memcpy(copy.get(), body, len);
        std::memset(copy.get() + len, 0, YYJSON_PADDING_SIZE);
        body = copy.get();
    }
    // yyjson refuses an escaped lone surrogate even when it lets ill-formed
    // bytes by: the escape becomes the bytes that would encode it, an
    // ill-formed string like any other. The text only shrinks.
    len = unpair(body, len);
    doc->doc = yyjson_read_opts(body, len, flags | YYJSON_READ_ALLOW_INVALID_UNICODE, alc, err);
    if (doc->doc && repair(doc, drop) != 0) {
        yyjson_doc_free(doc->doc);
        doc->doc = nullptr;
        *err = yyjson_read_err{};
        err->code = YYJSON_READ_ERROR_MEMORY_ALLOCATION;
        err->msg = "memory allocation failed";
    }
    return doc->doc;
}

namespace {

constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint64_t HIGHS = 0x8080808080808080ull;

// The code unit of a "\uXXXX" escape at s (n bytes from the backslash),
// or -1 when s holds none.
long unit_at(const char *s, size_t n) {
    if (n < 6 || s[1] != 'u')
        return -1;
    long u = 0;
    for (size_t i = 2; i < 6; i++) {
        int d = nimbus_hex_value(s[i]);
        if (d < 0)
            return -1;
        u = u * 16 + d;
    }
    return u;
}

// The bytes of the escape whose backslash is at s (n bytes left), and
// whether it is a lone surrogate: a high one without a low one after it,
// or a low one by itself.
size_t escape_len(const char *s, size_t n, bool *lone) {
    *lone = false;
    long u = unit_at(s, n);
    if (u < 0xD800 || u > 0xDFFF)
        return n < 2 ? n : 2;
    if (u <= 0xDBFF) {
        long low = unit_at(s + 6, n - 6);
        if (low >= 0xDC00 && low <= 0xDFFF)
            return 12;
    }
    *lone = true;
    return 6;
}

// Whether the n bytes are well-formed UTF-8 without an escaped lone
// surrogate. Eight bytes at a time while they hold neither a byte above
// 0x7F nor a backslash.
bool clean(const char *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, s + i, 8);
            uint64_t bs = w ^ (ONES * '\\');
            if (((w | ((bs - ONES) & ~bs)) & HIGHS) == 0) {
                i += 8;
                continue;
            }
        }
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '\\') {
            bool lone;
            i += escape_len(s + i, n - i, &lone);
            if (lone)
                return false;
        } else if (c < 0x80) {
            i++;
        } else {
            size_t j = i + 1;
            while (j < n && static_cast<unsigned char>(s[j]) >= 0x80)
                j++;
            if (!nimbus_utf8_ok(s + i, j - i))
                return false;
            i = j;
        }
    }
    return true;
}

// Rewrites each escaped lone surrogate of the n bytes as its three encoded
// bytes and zeroes the bytes freed at the end; answers the new length.
size_t unpair(char *s, size_t n) {
    size_t r = 0, w = 0;
    while (r < n) {
        const void *b = std::memchr(s + r, '\\', n - r);
        size_t run = b ? static_cast<size_t>(static_cast<const char *>(b) - (s + r)) : n - r;
        std::memmove(s + w, s + r, run);
        r += run;
        w += run;
        if (!b)
            break;
        bool lone;
        size_t k = escape_len(s + r, n - r, &lone);
        if (lone) {
            long u = unit_at(s + r, n - r);
            s[w++] = static_cast<char>(0xE0 | (u >> 12));
            s[w++] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            s[w++] = static_cast<char>(0x80 | (u & 0x3F));
        } else {
            std::memmove(s + w, s + r, k);
            w += k;
        }
        r += k;
    }
    std::memset(s + w, 0, n - w);
    return w;
}

bool listed(yyjson_val *key, const char *const *drop) {
    for (; drop && *drop; drop++)
        if (yyjson_equals_str(key, *drop))
            return true;
    return false;
}

// One string of the document, when it is ill-formed: turned null (drop),
// or counted and, with out, pointed at its repair written at out + *used.
void fix(yyjson_val *v, bool drop, char *out, size_t *used) {
    const char *s = unsafe_yyjson_get_str(v);
    size_t n = unsafe_yyjson_get_len(v);
    if (nimbus_utf8_ok(s, n))
        return;
    if (drop) {
        yyjson_set_null(v);
        return;
    }
    size_t m = nimbus_utf8_repair(out ? out + *used : nullptr, s, n);
    if (out) {
        out[*used + m] = '\0';
        yyjson_set_strn(v, out + *used, m);
    }
    *used += m + 1;
}

// Every string of the document once: the root, and the keys, member values
// and elements of every container, found in one run over the document's
// values (which lie side by side), so that no depth of nesting costs stack.
void each_string(yyjson_doc *d, const char *const *drop, char *out, size_t *used) {
    yyjson_val *root = yyjson_doc_get_root(d);
    size_t count = yyjson_doc_get_val_count(d);
    if (yyjson_is_str(root))
        fix(root, false, out, used);
    for (size_t i = 0; i < count; i++) {
        yyjson_val *v = root + i;
        size_t idx, max;
        yyjson_val *key, *val;
        if (yyjson_is_obj(v)) {
            yyjson_obj_foreach(v, idx, max, key, val) {
                if (yyjson_is_str(val))
                    fix(val, listed(key, drop), out, used);
                fix(key, false, out, used);
            }
        } else if (yyjson_is_arr(v)) {
            yyjson_arr_foreach(v, idx, max, val) {
                if (yyjson_is_str(val))
                    fix(val, false, out, used);
            }
        }
    }
}

// The repairs, sized on a first run and written into one block on a
// second, which the guard keeps; 0, or -1 without memory.
int repair(nimbus_doc_guard *doc, const char *const *drop) {
    size_t need = 0;
    each_string(doc->doc, drop, nullptr, &need);
    if (need == 0)
        return 0;
    auto *texts = static_cast<char *>(std::malloc(need));
    if (!texts)
        return -1;
    size_t used = 0;
    each_string(doc->doc, drop, texts, &used);
    std::free(doc->texts);
    doc->texts = texts;
    return 0;
}

} // namespace

yyjson_val *nimbus_json_member(yyjson_val *obj, const char *key) {
    // yyjson_obj_getn walks the members in document order and stops at the
    // first match; it answers null for anything but an object.
    return yyjson_obj_getn(obj, key, std::strlen(key));
}

char *nimbus_json_put_str(char *p, const char *s, size_t n) {
    *p++ = '"';
    for (size_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        unsigned char e = ESCAPE.e[c];
        if (e == 0) {
            *p++ = static_cast<char>(c);
        } else if (e == 'u') {
            *p++ = '\\';
            *p++ = 'u';
            *p++ = '0';
            *p++ = '0';
            *p++ = HEX_LOWER[c >> 4];
            *p++ = HEX_LOWER[c & 0x0F];
        } else {
            *p++ = '\\';
            *p++ = static_cast<char>(e);
        }
    }
    *p++ = '"';
    return p;
}
