// Graph request URLs: every URL the library sends to the service is spelled
// here, from the settings' cloud, the configured root path and what a call
// names (a virtual path, an item id, or an item on another drive). The bytes
// matter: hosts script the flat listing's URLs, and the service's own next
// links are followed as they stand.
#include <cstdio>
#include <cstring>

#include "graph/graph.h"

namespace {

bool is_root(const char *arg) {
    return !arg || !*arg || std::strcmp(arg, "/") == 0;
}

bool has_root_path(const nimbus_cfg *cfg) {
    return cfg && cfg->path && *cfg->path;
}

int add_base(const nimbus_cfg *cfg, nimbus_buf *url) {
    return nimbus_buf_adds(url, nimbus_graph_base_of(cfg));
}

// "/me/drive/root:" and a drive path, percent-encoded.
int add_root_path(nimbus_buf *url, const char *path) {
    int bad = nimbus_buf_adds(url, "/me/drive/root:");
    if (!bad)
        bad |= nimbus_buf_addpath(url, path);
    return bad;
}

int done(const nimbus_buf *url, int bad) {
    return bad || !url->data ? -1 : 0;
}

} // namespace

// ---- The configured root ----------------------------------------------------

void nimbus_join_root(const nimbus_cfg *cfg, const char *vpath, nimbus_buf *out) {
    if (has_root_path(cfg)) {
        nimbus_buf_adds(out, "/");
        nimbus_buf_adds(out, cfg->path);
    } else {
        nimbus_buf_add(out, "", 0); // the buffer holds a text in every case
    }
    if (vpath && *vpath)
        nimbus_buf_adds(out, vpath);
}

int nimbus_join_checked(const nimbus_cfg *cfg, const char *vpath, nimbus_buf *out) {
    // nimbus_join_root reports nothing; a failed append leaves the buffer as it was,
    // so a short or missing text reveals it.
    size_t want = 0;
    if (has_root_path(cfg))
        want += 1 + std::strlen(cfg->path);
    if (vpath)
        want += std::strlen(vpath);
    size_t before = out->len;
    nimbus_join_root(cfg, vpath, out);
    return (out->data && out->len - before == want) ? 0 : -1;
}

// ---- Items ------------------------------------------------------------------

int nimbus_root_path_url(const nimbus_cfg *cfg, const char *path, nimbus_buf *url) {
    int bad = add_base(cfg, url);
    if (!bad)
        bad |= add_root_path(url, path);
    return done(url, bad);
}

int nimbus_item_url(const nimbus_cfg *cfg, const char *arg, nimbus_buf *url) {
    int bad = add_base(cfg, url);
    const char *d, *i;
    size_t dn;
    if (arg[0] != '/' && nimbus_remote_id(arg, &d, &dn, &i)) {
        url->len = 0; // the form carries its own base
        bad |= nimbus_remote_id_url(cfg, arg, false, url);
    } else if (arg[0] != '/') {
        bad |= nimbus_buf_adds(url, "/me/drive/items/");
        bad |= nimbus_buf_adds(url, arg);
    } else if (is_root(arg) && !has_root_path(cfg)) {
        bad |= nimbus_buf_adds(url, "/me/drive/root");
    } else {
        nimbus_buf joined{};
        nimbus_buf_guard jg{&joined};
        bad |= nimbus_join_checked(cfg, is_root(arg) ? nullptr : arg, &joined);
        if (!bad)
            bad |= add_root_path(url, joined.data);
    }
    return done(url, bad);
}

int nimbus_remote_place_url(const nimbus_cfg *cfg, const nimbus_buf *drive, const nimbus_buf *item,
                            const nimbus_buf *rest, bool children, nimbus_buf *url) {
    int bad = add_base(cfg, url);
    bad |= nimbus_buf_adds(url, "/drives/");
    bad |= nimbus_buf_add(url, drive->data ? drive->data : "", drive->len);
    bad |= nimbus_buf_adds(url, "/items/");
    bad |= nimbus_buf_add(url, item->data ? item->data : "", item->len);
    if (rest->len > 0) {
        bad |= nimbus_buf_adds(url, ":");
        bad |= nimbus_buf_addpath(url, rest->data);
        bad |= nimbus_buf_adds(url, children ? ":/children" : ":");
    } else if (children) {
        bad |= nimbus_buf_adds(url, "/children");
    }
    return done(url, bad);
}

int nimbus_remote_id_url(const nimbus_cfg *cfg, const char *arg, bool children, nimbus_buf *url) {
    int bad = add_base(cfg, url);
    bad |= nimbus_buf_adds(url, "/");
    bad |= nimbus_buf_adds(url, arg);
    if (children)
        bad |= nimbus_buf_adds(url, "/children");
    return done(url, bad);
}

int nimbus_remote_id_of(nimbus_buf *out, const char *drive, size_t drive_len, const char *item) {
    int bad = nimbus_buf_adds(out, "drives/");
    bad |= nimbus_buf_add(out, drive, drive_len);
    bad |= nimbus_buf_adds(out, "/items/");
    bad |= nimbus_buf_adds(out, item);
    return done(out, bad);
}

// ---- Listings, search, the change feed, the drive ---------------------------

int nimbus_children_url(const nimbus_cfg *cfg, const char *folder, nimbus_buf *out, char *msg,
                        size_t size) {
    size_t start = out->len;
    int bad = add_base(cfg, out);
    if (!is_root(folder) && folder[0] != '/') {
        if (!nimbus_item_id_ok(folder)) {
            nimbus_msgf(msg, size, "folder id is not a Graph item id");
            return NIMBUS_E_NOT_FOUND;
        }
        const char *d, *i;
        size_t dn;
        if (nimbus_remote_id(folder, &d, &dn, &i)) {
            out->len = start; // the form carries its own base
            bad |= nimbus_remote_id_url(cfg, folder, true, out) != 0;
        } else {
            bad |= nimbus_buf_adds(out, "/me/drive/items/");
            bad |= nimbus_buf_adds(out, folder);
            bad |= nimbus_buf_adds(out, "/children");
        }
    } else if (!is_root(folder)) {
        if (!nimbus_path_ok(folder)) {
            nimbus_msgf(msg, size, "folder is not a valid drive path");
            return NIMBUS_E_NOT_FOUND;
        }
        nimbus_buf joined{};
        nimbus_buf_guard jg{&joined};
        if (nimbus_join_checked(cfg, folder, &joined) != 0) {
            nimbus_msgf(msg, size, "out of memory");
            return NIMBUS_E_FAILED;
        }
        if (joined.len > NIMBUS_PATH_MAX) {
            nimbus_msgf(msg, size, "the virtual path is longer than 2048 bytes");
            return NIMBUS_E_NOT_FOUND;
        }
        bad |= add_root_path(out, joined.data);
        bad |= nimbus_buf_adds(out, ":/children");
    } else if (has_root_path(cfg)) {
        nimbus_buf joined{};
        nimbus_buf_guard jg{&joined};
        bad |= nimbus_join_checked(cfg, nullptr, &joined);
        if (!bad)
            bad |= add_root_path(out, joined.data);
        bad |= nimbus_buf_adds(out, ":/children");
    } else {
        bad |= nimbus_buf_adds(out, "/me/drive/root/children");
    }
    if (bad || !out->data) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_FAILED;
    }
    return NIMBUS_OK;
}

int nimbus_search_url(const nimbus_cfg *cfg, const char *text, nimbus_buf *url) {
    // The text sits inside a quoted OData string: a quote is doubled, and
    // then every byte but the unreserved ones is percent-encoded.
    nimbus_buf quoted{};
    nimbus_buf_guard qg{&quoted};
    int bad = 0;
    for (const char *p = text; *p; p++)
        bad |= nimbus_buf_add(&quoted, *p == '\'' ? "''" : p, *p == '\'' ? 2 : 1);
    // Searched within the configured root only.
    bad |= nimbus_item_url(cfg, "/", url);
    bad |= nimbus_buf_adds(url, has_root_path(cfg) ? ":/search(q='" : "/search(q='");
    if (!bad)
        bad |= nimbus_buf_addq(url, quoted.data);
    bad |= nimbus_buf_adds(url, "')");
    return done(url, bad);
}

int nimbus_delta_url(const nimbus_cfg *cfg, const char *folder, bool latest, nimbus_buf *url) {
    // A path (the root among them) is addressed with a colon after it, but
    // the drive's own root and an item id are not.
    bool by_path = is_root(folder) || folder[0] == '/';
    bool bare = is_root(folder) && !has_root_path(cfg);
    int bad = nimbus_item_url(cfg, is_root(folder) ? "/" : folder, url);
    bad |= nimbus_buf_adds(url, by_path && !bare ? ":/delta" : "/delta");
    if (latest)
        bad |= nimbus_buf_adds(url, "?token=latest");
    return done(url, bad);
}

int nimbus_drive_facts_url(const nimbus_cfg *cfg, nimbus_buf *url) {
    int bad = add_base(cfg, url);
    bad |= nimbus_buf_adds(url, "/me/drive?$select=driveType,owner,quota");
    return done(url, bad);
}

int nimbus_thumbnails_url(const nimbus_cfg *cfg, const char *arg, nimbus_buf *url) {
    // As for the change feed: a path ends with a colon, an id does not.
    bool by_path = is_root(arg) || arg[0] == '/';
    bool bare = is_root(arg) && !has_root_path(cfg);
    int bad = nimbus_item_url(cfg, is_root(arg) ? "/" : arg, url);
    bad |= nimbus_buf_adds(url, by_path && !bare ? ":/thumbnails" : "/thumbnails");
    return done(url, bad);
}

// ---- Query pieces -----------------------------------------------------------

int nimbus_add_top(nimbus_buf *url, int32_t top) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", static_cast<int>(top));
    int bad = nimbus_buf_adds(url, "?$top=");
    bad |= nimbus_buf_addq(url, digits);
    return done(url, bad);
}

int nimbus_add_select(nimbus_buf *url, nimbus_select what) {
    if (what == nimbus_select::all)
        return 0;
    int bad = nimbus_buf_adds(
        url, url->data && std::memchr(url->data, '?', url->len) ? "&$select=" : "?$select=");
    bad |= nimbus_buf_adds(url, NIMBUS_ENTRY_MEMBERS);
    if (what == nimbus_select::playable)
        bad |= nimbus_buf_adds(url, ",@microsoft.graph.downloadUrl");
    return done(url, bad);
}

int nimbus_page_url(const nimbus_cfg *cfg, const char *link, nimbus_buf *req, nimbus_select what) {
    int bad = nimbus_buf_adds(req, link);
    if (!std::strchr(link, '?')) {
        bad |= nimbus_add_top(req, nimbus_page_size_of(cfg));
        bad |= nimbus_add_select(req, what);
    }
    return done(req, bad);
}
