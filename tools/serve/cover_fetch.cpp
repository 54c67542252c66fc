// The covers route (see cover_fetch.h): the library's thumbnail URL, then
// its bytes fetched whole, bounded and checked before anyone sees them.
#include "serve/cover_fetch.h"

#include "serve/errors.h"
#include "serve/folders.h"
#include "serve/gateway.h"
#include "serve/small_fetch.h"

#include <nimbus.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace cli {

namespace {

// A handful of fetches at once keeps a TV's grid of covers filling in
// without a burst against the account's rate limit; the rest wait a few
// seconds for their turn, then get 503 and ask again.
constexpr unsigned kCoverFetches = 4;
constexpr auto kCoverWait = std::chrono::seconds(3);
// The thumbnail's URL changes with the item, the bytes kept by path do
// not: half an hour keeps a browsed album's art without a request per
// visit and shows a changed cover soon enough. "None" is kept a minute.
constexpr auto kCoverLife = std::chrono::minutes(30);
constexpr auto kCoverMissLife = std::chrono::minutes(1);
constexpr size_t kCoverBytesMost = 16u << 20;

cover_answer bad(unsigned status, std::string why) {
    cover_answer a;
    a.status = status;
    a.error = std::move(why);
    return a;
}

// The bytes behind a thumbnail URL, fetched as the gateway fetches a
// subtitle (redirects followed, bounded in bytes and time), and a JPEG or
// PNG.
cover_answer download(const options &o, const std::string &url) {
    small_fetch f = fetch_small(url, kMaxCover, o.cacert, o.connect_to);
    if (f.too_large)
        return bad(502, "the service's cover is larger than 512 KiB");
    if (!f.ok())
        return bad(502, "the cover could not be fetched: " + f.error);
    cover_answer a;
    a.type = cover_type(f.body);
    if (!a.type)
        return bad(502, "the service's cover is no JPEG or PNG picture");
    a.status = 200;
    a.bytes = std::make_shared<const std::string>(std::move(f.body));
    return a;
}

int keep_url(void *ctx, const nimbus_thumbnail *t) {
    try {
        static_cast<std::string *>(ctx)->assign(t->url);
    } catch (...) {
        return 1;
    }
    return 0;
}

// The cover of one item, by id or path.
cover_answer item_cover(gateway &g, const std::string &item, const std::string &size) {
    std::string url;
    int rc = nimbus_drive_thumbnail(g.ctx.drive(), item.c_str(), size.c_str(), keep_url, &url);
    switch (rc) {
    case NIMBUS_OK:
        return download(g.opts, url);
    case NIMBUS_E_NOT_FOUND:
    case NIMBUS_E_BAD_PATH:
        return bad(404, "there is no cover");
    case NIMBUS_E_SIGNIN:
        g.signed_out = true;
        return bad(502, nimbus_last_error());
    case NIMBUS_E_THROTTLED:
    case NIMBUS_E_UNAVAILABLE:
        return bad(503, nimbus_last_error());
    default:
        return bad(502, nimbus_last_error());
    }
}

// What names the item at path for the library: its id when the folder's
// listing is kept (so that an item beneath a shortcut is found on its own
// drive), else the path.
std::string name_of(gateway &g, const std::string &path) {
    size_t slash = path.rfind('/');
    std::shared_ptr<const folder_listing> l = g.folders.find(path.substr(0, slash));
    std::string_view name = std::string_view(path).substr(slash + 1);
    for (size_t i = 0; l && i < l->size(); i++)
        if (l->row(i).name == name && !l->row(i).id.empty())
            return std::string(l->row(i).id);
    return path;
}

// A folder's cover: its own (the service makes one for a folder of
// pictures), else its first track's in display order (an album's art),
// else its first film's, else its first picture's.
cover_answer folder_cover(gateway &g, const std::string &folder, const std::string &size) {
    cover_answer own = item_cover(g, folder.empty() ? "/" : name_of(g, folder), size);
    if (own.status != 404)
        return own;
    std::shared_ptr<const folder_listing> l;
    if (listing_of(g, folder, &l) != NIMBUS_OK)
        return own;
    for (const char *kind : {"audio/", "video/", "image/"})
        for (uint32_t k : l->order()) {
            folder_row r = l->row(k);
            if (!r.folder && r.mime.compare(0, std::strlen(kind), kind) == 0 && !r.id.empty())
                return item_cover(g, std::string(r.id), size);
        }
    return own;
}

} // namespace

bool cover_size_ok(const char *s) {
    return s && (std::strcmp(s, "small") == 0 || std::strcmp(s, "medium") == 0);
}

cover_cache::limits cover_limits(size_t budget) {
    return cover_cache::limits{std::min(kCoverBytesMost, budget / 16), kCoverFetches, kCoverLife,
                               kCoverMissLife, kCoverWait};
}

// A cover's key is "SIZE:PATH", PATH ending in / for a folder.
void forget_covers(gateway &g, const std::unordered_set<std::string> *folders) {
    if (!folders) {
        g.covers.forget_all();
        return;
    }
    g.covers.forget_if([folders](const std::string &key) {
        std::string path = key.substr(key.find(':') + 1);
        if (!path.empty() && path.back() == '/')
            path.pop_back();
        // The folder's own cover, and its entries' (a folder's cover may
        // be its first track's).
        size_t slash = path.rfind('/');
        return folders->count(path) ||
               (slash != std::string::npos && folders->count(path.substr(0, slash)));
    });
}

reply serve_cover(gateway &g, const request &q, const std::string &size) {
    bool folder = q.path.back() == '/';
    std::string path = folder ? q.path.substr(0, q.path.size() - 1) : q.path;
    cover_answer a = g.covers.get(size + ":" + q.path, [&] {
        return folder ? folder_cover(g, path, size) : item_cover(g, name_of(g, path), size);
    });
    if (a.status != 200) {
        error_info where;
        where.path = q.path;
        reply r = error_reply(a.status, a.error, q.json_errors, where, &q);
        if (a.status == 503)
            r.headers.emplace_back("Retry-After", "5");
        return r;
    }
    reply r;
    r.type = a.type;
    r.body = *a.bytes;
    r.headers.emplace_back("Cache-Control", "private, max-age=600");
    return r;
}

} // namespace cli
