// Graph's paging links: the "@odata.nextLink" (or the change feed's
// "@odata.deltaLink") a page ends with, and whether such a link may be
// followed. The bearer token travels with every page request, so a link
// is followed only when it stays on the Graph service of the settings'
// cloud, and a listing follows only so many of them.
#include <cstring>

#include <yyjson.h>

#include "graph/graph.h"

namespace {

bool same_ascii_fold(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y || x == '\0')
            return false;
    }
    return true;
}

} // namespace

int nimbus_page_link(yyjson_val *root, const char *member, nimbus_str *link) {
    link->reset();
    yyjson_val *v = nimbus_json_member(root, member);
    if (!yyjson_is_str(v) || yyjson_get_len(v) == 0)
        return 0;
    // All of the text, as the answer gives its length (a NUL inside ends
    // the C string, not the copy).
    link->reset(nimbus_strndup(yyjson_get_str(v), yyjson_get_len(v)));
    return *link ? 0 : -1;
}

bool nimbus_on_graph_origin(const char *link, const char *base) {
    if (!link || !base)
        return false;
    const char *sep = std::strstr(base, "://");
    if (!sep)
        return false;
    size_t origin = static_cast<size_t>(sep - base) + 3;
    origin += std::strcspn(base + origin, "/?#");
    if (!same_ascii_fold(link, base, origin))
        return false;
    char after = link[origin];
    return after == '\0' || after == '/' || after == '?' || after == '#';
}

bool nimbus_on_graph(const nimbus_cfg *cfg, const char *link) {
    return nimbus_on_graph_origin(link, nimbus_graph_base_of(cfg));
}

int nimbus_next_link_check(const nimbus_cfg *cfg, const char *next, const char *label,
                           const char *whole, int *budget, char *msg, size_t size) {
    if (!nimbus_on_graph(cfg, next)) {
        char shown[NIMBUS_URL_MSG];
        char line[NIMBUS_LINE_MSG];
        nimbus_redact_into(next, shown, sizeof shown);
        nimbus_body_line(shown, line, sizeof line);
        nimbus_msgf(msg, size, "%s: the next link %s is not on the Graph service", label, line);
        return NIMBUS_E_FAILED;
    }
    if (--*budget == 0) {
        nimbus_msgf(msg, size, "%s needs more than %d pages", whole, NIMBUS_MAX_PAGES);
        return NIMBUS_E_FAILED;
    }
    return NIMBUS_OK;
}
