// JSON helpers shared by every reader and writer of the library: the
// document guard, the first-member lookup and string literal escaping.
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
}

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
