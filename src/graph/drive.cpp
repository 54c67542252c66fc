// What the service says of the drive itself: the headers its listings need,
// and its type, owner and quota from GET /me/drive.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <yyjson.h>

#include "graph/graph.h"

namespace {

constexpr const char *PREFER_SHORTCUTS = "Prefer: Include-Feature=AddToOneDrive";

const char *known(yyjson_val *v, const char *const *names);
int64_t bytes_of(yyjson_val *v);
char *owner_of(yyjson_val *owner, bool *oom);

const char *const TYPES[] = {"personal", "business", "documentLibrary", nullptr};
const char *const STATES[] = {"normal", "nearing", "critical", "exceeded", nullptr};

} // namespace

const char *nimbus_graph_headers(const nimbus_cfg *cfg, const char *url) {
    if (!cfg || !cfg->header_markers || !url)
        return nullptr;
    // The path ends at the query; its last segment names the request
    // ("children", "delta", also "delta(token='...')" as older links spell
    // the feed). A next link keeps its request's path.
    size_t end = std::strcspn(url, "?#");
    size_t seg = end;
    while (seg > 0 && url[seg - 1] != '/')
        seg--;
    const char *last = url + seg;
    size_t n = end - seg;
    bool children = n == 8 && std::strncmp(last, "children", 8) == 0;
    bool delta = (n == 5 && std::strncmp(last, "delta", 5) == 0);
    for (size_t i = 0; !delta && i + 7 <= end; i++)
        delta = std::strncmp(url + i, "/delta(", 7) == 0;
    return children || delta ? PREFER_SHORTCUTS : "";
}

void nimbus_drive_facts_init(nimbus_drive_facts *f) {
    *f = nimbus_drive_facts{nullptr, nullptr, -1, -1, -1, -1, nullptr};
}

void nimbus_drive_facts_free(nimbus_drive_facts *f) {
    std::free(f->owner);
    nimbus_drive_facts_init(f);
}

int nimbus_parse_drive(const char *body, size_t len, nimbus_drive_facts *f, char *msg,
                       size_t size) {
    nimbus_drive_facts_init(f);
    nimbus_doc_guard doc{body ? yyjson_read(body, len, 0) : nullptr};
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (!yyjson_is_obj(root)) {
        nimbus_msgf(msg, size, "the drive answer is not a JSON object");
        return NIMBUS_E_FAILED;
    }
    char code[NIMBUS_CODE_SIZE];
    if (nimbus_envelope(root, code, sizeof code, msg, size))
        return nimbus_envelope_failure("drive", code, msg, size);

    f->type = known(nimbus_json_member(root, "driveType"), TYPES);
    bool oom = false;
    f->owner = owner_of(nimbus_json_member(root, "owner"), &oom);
    if (oom) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    yyjson_val *quota = nimbus_json_member(root, "quota");
    if (yyjson_is_obj(quota)) {
        f->total = bytes_of(nimbus_json_member(quota, "total"));
        f->used = bytes_of(nimbus_json_member(quota, "used"));
        f->remaining = bytes_of(nimbus_json_member(quota, "remaining"));
        f->deleted = bytes_of(nimbus_json_member(quota, "deleted"));
        f->state = known(nimbus_json_member(quota, "state"), STATES);
    }
    return NIMBUS_OK;
}

namespace {

// The static text of names that v spells exactly, else null.
const char *known(yyjson_val *v, const char *const *names) {
    if (!yyjson_is_str(v))
        return nullptr;
    for (; *names; names++)
        if (yyjson_get_len(v) == std::strlen(*names) &&
            std::memcmp(yyjson_get_str(v), *names, yyjson_get_len(v)) == 0)
            return *names;
    return nullptr;
}

// Quota members are whole byte counts: a negative, fractional or oversized
// number, or anything that is not a number, is unknown.
int64_t bytes_of(yyjson_val *v) {
    if (yyjson_is_uint(v))
        return yyjson_get_uint(v) <= static_cast<uint64_t>(INT64_MAX)
                   ? static_cast<int64_t>(yyjson_get_uint(v))
                   : -1;
    if (yyjson_is_sint(v) && yyjson_get_sint(v) >= 0)
        return yyjson_get_sint(v);
    return -1;
}

// A user owns a personal or business drive, a group a document library.
char *owner_of(yyjson_val *owner, bool *oom) {
    if (!yyjson_is_obj(owner))
        return nullptr;
    for (const char *who : {"user", "group"}) {
        yyjson_val *name = nimbus_json_member(nimbus_json_member(owner, who), "displayName");
        if (!yyjson_is_str(name))
            continue;
        const char *s = yyjson_get_str(name);
        size_t n = yyjson_get_len(name);
        // An empty name, one with a NUL inside or an overlong one is none.
        if (n == 0 || n > NIMBUS_OWNER_MAX || std::strlen(s) != n)
            continue;
        char *copy = nimbus_strndup(s, n);
        *oom = copy == nullptr;
        return copy;
    }
    return nullptr;
}

} // namespace
