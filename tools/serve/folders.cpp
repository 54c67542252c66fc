// The gateway's folders and items (see folders.h): listings shared by the
// requests that want them at once, under one budget, and item lookups.
#include "serve/folders.h"

#include "output.h"
#include "serve/feed.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace cli {

namespace {

// What every listing alive holds together: those being listed for a
// request, those being rendered and the kept folders (tests shrink it
// through NIMBUS_SERVE_LISTING_MIB). A row of ordinary names packs into
// about 80 bytes, so a folder of 100 000 entries takes some 8 MiB. Kept
// folders may fill the whole budget; they give way, least recently used
// first, to listings in flight. A request whose listing finds the budget
// held by others gets 503 and comes back after kListingRetrySeconds; a
// folder that alone needs more than the whole budget gets 507.
constexpr size_t kListingBytes = 64u << 20;

// Collects a folder's entries as they arrive, in the service's order; stops
// the listing when memory or the listings' budget runs out.
int collect_row(void *ctx, const nimbus_entry *e) {
    return static_cast<folder_listing *>(ctx)->add(*e) ? 0 : 1;
}

} // namespace

size_t listing_bytes() {
    const char *s = std::getenv("NIMBUS_SERVE_LISTING_MIB");
    char *end = nullptr;
    long n = s ? std::strtol(s, &end, 10) : -1;
    if (!s || !*s || *end || n < 1 || n > 4096)
        return kListingBytes;
    return static_cast<size_t>(n) << 20;
}

bool listing_at_hand(gateway &g, const std::string &folder) {
    return !feed_would_ask(g) && g.folders.find(folder) != nullptr;
}

// A second request for a folder being listed waits for that listing.
int listing_of(gateway &g, const std::string &folder, std::shared_ptr<const folder_listing> *out) {
    keep_current(g);
    if ((*out = g.folders.find(folder)))
        return NIMBUS_OK;
    std::shared_ptr<listing_round> round;
    try {
        std::unique_lock<std::mutex> hold(g.listing_lock);
        for (auto under_way = g.listing_now.find(folder); under_way != g.listing_now.end();
             under_way = g.listing_now.find(folder)) {
            std::shared_ptr<listing_round> other = under_way->second;
            g.listing_done.wait(hold, [&other] { return other->done; });
            // The service's failures are listed again: their message is
            // the listing thread's.
            if (other->rc == NIMBUS_OK || other->rc == listing_busy ||
                other->rc == listing_too_large) {
                *out = other->listing;
                return other->rc;
            }
        }
        round = std::make_shared<listing_round>();
        g.listing_now.emplace(folder, round);
    } catch (...) {
        return NIMBUS_E_NOMEM;
    }
    // The listing, or the budget's refusal, is the answer of every request
    // that waited for it: a folder too large for the budget is listed once,
    // not once per waiter.
    struct done_guard {
        gateway &g;
        const std::string &folder;
        listing_round &round;
        ~done_guard() {
            {
                std::lock_guard<std::mutex> hold(g.listing_lock);
                round.done = true;
                g.listing_now.erase(folder);
            }
            g.listing_done.notify_all();
        }
    } done{g, folder, *round};
    std::shared_ptr<folder_listing> l(new (std::nothrow) folder_listing(&g.budget));
    int rc =
        l ? nimbus_drive_list(g.ctx.drive(), folder.c_str(), collect_row, l.get()) : NIMBUS_E_NOMEM;
    if (rc == NIMBUS_E_STOPPED)
        rc = l->fault() ? l->fault() : NIMBUS_E_NOMEM;
    // Sorted once, for every page and playlist made from it.
    if (rc == NIMBUS_OK && !l->finish(name_before))
        rc = l->fault();
    round->rc = rc;
    if (rc != NIMBUS_OK)
        return rc;
    g.folders.store(folder, l);
    round->listing = l;
    *out = std::move(l);
    return NIMBUS_OK;
}

int look_item(void *ctx, const nimbus_entry *e) {
    auto &k = *static_cast<item_look *>(ctx);
    try {
        k.folder = e->folder != 0;
        k.facts.type = e->mime_type ? e->mime_type : "";
        k.facts.size = e->size;
        k.facts.duration_ms = e->duration_ms;
        k.facts.width = e->width;
        k.facts.height = e->height;
        if (e->download_url && std::strlen(e->download_url) > kMaxLocator)
            k.url_too_long = true;
        else if (e->download_url)
            k.url = e->download_url;
        return 0;
    } catch (...) {
        return 1;
    }
}

// The nearest folder above path that exists ("/" when none is known): the
// cache answers for folders seen lately; otherwise one lookup each for at
// most two folders up.
std::string nearest_parent(gateway &g, std::string path) {
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    for (int lookups = 0; lookups < 2;) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return "/";
        path.resize(slash);
        if (g.folders.find(path)) {
            return path + "/";
        }
        item_look k;
        lookups++;
        int rc = nimbus_drive_item(g.ctx.drive(), path.c_str(), look_item, &k);
        if (rc == NIMBUS_OK && k.folder)
            return path + "/";
        if (rc != NIMBUS_E_NOT_FOUND)
            return "/";
    }
    return "/";
}

// The folder itself can still be looked up then; the lookup is made only
// after a refusal.
bool locked_folder(gateway &g, const std::string &folder) {
    item_look k;
    return !folder.empty() &&
           nimbus_drive_item(g.ctx.drive(), folder.c_str(), look_item, &k) == NIMBUS_OK && k.folder;
}

} // namespace cli
