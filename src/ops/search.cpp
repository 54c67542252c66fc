// The drive handle's search: the items whose name or content match a text,
// within the configured root, streamed page by page to the host's callback.
#include <cstring>

#include "ops/ops.h"

int nimbus_drive_find(nimbus_caller *c, const char *text, nimbus_entry_fn fn, void *ctx, char *msg,
                      size_t size) {
    size_t n = text ? std::strlen(text) : 0;
    if (n == 0 || n > NIMBUS_SEARCH_MAX) {
        nimbus_msgf(msg, size,
                    n ? "the search text is longer than %zu bytes" : "the search text is empty",
                    NIMBUS_SEARCH_MAX);
        return NIMBUS_E_INVALID;
    }
    for (size_t i = 0; i < n; i++) {
        if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7f) {
            nimbus_msgf(msg, size, "the search text holds a control character");
            return NIMBUS_E_INVALID;
        }
    }
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_search_url(c->cfg, text, &url) != 0)
        return nimbus_no_memory(msg, size);
    nimbus_walk walk{};
    nimbus_walk_guard wg{&walk};
    walk.fn = fn;
    walk.ctx = ctx;
    walk.by_parent = true;
    walk.root = c->cfg->path;
    return nimbus_walk_pages(c, &walk, url.data, msg, size);
}
