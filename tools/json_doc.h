// yyjson documents as owned values, and the member lookups the command uses
// on what the service, the library and the settings file answer.
#ifndef NIMBUS_TOOLS_JSON_DOC_H
#define NIMBUS_TOOLS_JSON_DOC_H

#include <yyjson.h>

#include <cstdint>
#include <memory>
#include <string>

namespace cli {

struct doc_free {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_free>;
using mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, doc_free>;

// The parsed text, or null when it is not JSON.
inline doc_ptr read_json(const char *text, size_t size) {
    return doc_ptr(yyjson_read(text, size, 0));
}
inline doc_ptr read_json(const std::string &text) {
    return read_json(text.data(), text.size());
}

// The root of a parsed text, or null.
inline yyjson_val *root_of(const doc_ptr &doc) {
    return doc ? yyjson_doc_get_root(doc.get()) : nullptr;
}

// The string value of the first member named key (null obj allowed);
// absent when there is none or it is not a string.
inline std::string str_member(yyjson_val *obj, const char *key, const char *absent = "") {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v))
                            : std::string(absent);
}

// The integer value of the first member named key, else absent.
inline int64_t int_member(yyjson_val *obj, const char *key, int64_t absent) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_int(v) ? yyjson_get_sint(v) : absent;
}

} // namespace cli

#endif
