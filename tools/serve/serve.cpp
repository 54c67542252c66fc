// `nimbus serve`: libmicrohttpd with its own thread pool in front of the
// library. Every request is answered on the pool thread that parsed it: a
// folder becomes an HTML page, the library's JSON or an M3U playlist; a file
// becomes a redirect to its pre-authorised download URL, which the player
// then fetches (with Range requests) straight from the service.
#include "serve/serve.h"
#include "text.h"

#include "context.h"
#include "entry_json.h"
#include "output.h"
#include "serve/cache.h"
#include "serve/capability.h"
#include "serve/exchange.h"
#include "serve/json_answer.h"
#include "serve/listen.h"
#include "serve/media_types.h"
#include "serve/pages.h"
#include "serve/playlists.h"
#include "serve/proxy.h"
#include "serve/request.h"
#include "slow_clients.h"

#include <microhttpd.h>
#ifdef NIMBUS_DLNA
#include <didl.h>
#include <dlna.h>
#endif
#include <nimbus.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace cli {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr auto kLocatorLife = std::chrono::minutes(10); // download URLs live about an hour
constexpr size_t kLocatorEntries = 4096;
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kPerAddressLimit = 32; // only on listeners reachable from other hosts
constexpr unsigned kIdleSeconds = 30;
constexpr size_t kConnectionMemory = 32 * 1024; // request line and headers must fit
constexpr int kRetryAfterSeconds = 10;          // when the service named no pause
// How long a stop lets the transfers under way finish before cutting them.
constexpr auto kStopGrace = std::chrono::seconds(3);
// The service's pre-authenticated download URLs are one or two KiB; a longer
// one is not cached or handed to a player (4096 cached at 8 KiB: 32 MiB).
constexpr size_t kMaxLocator = 8192;

// -- locator cache ---------------------------------------------------------------

// Download URLs by drive path, with the file's type, each kept 10 minutes,
// so a player that opens a file again and again (seeking, probing) costs
// one Graph request.
class locator_cache {
  public:
    bool find(const std::string &path, std::string *url, std::string *type) {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = map_.find(path);
        if (it == map_.end())
            return false;
        if (clock_type::now() - it->second.born >= kLocatorLife) {
            map_.erase(it);
            return false;
        }
        *url = it->second.url;
        *type = it->second.type;
        return true;
    }

    void forget(const std::string &path) {
        std::lock_guard<std::mutex> lock(lock_);
        map_.erase(path);
    }

    void store(const std::string &path, const std::string &url, const std::string &type) {
        std::lock_guard<std::mutex> lock(lock_);
        clock_type::time_point now = clock_type::now();
        if (map_.size() >= kLocatorEntries && map_.find(path) == map_.end()) {
            for (auto it = map_.begin(); it != map_.end();)
                it = now - it->second.born >= kLocatorLife ? map_.erase(it) : std::next(it);
            if (map_.size() >= kLocatorEntries)
                map_.erase(
                    std::min_element(map_.begin(), map_.end(), [](const auto &a, const auto &b) {
                        return a.second.born < b.second.born;
                    }));
        }
        map_[path] = entry{url, type, now};
    }

  private:
    struct entry {
        std::string url;
        std::string type; // the library's type of the file ("" when none)
        clock_type::time_point born;
    };
    std::mutex lock_;
    std::unordered_map<std::string, entry> map_;
};

// -- the gateway ----------------------------------------------------------------

// A request line and its headers must arrive within this time of the accept
// (or of the answer before, on a kept-alive connection), however slowly
// they trickle in: libmicrohttpd's own timeout restarts with every byte.
constexpr auto kHeaderDeadline = std::chrono::seconds(10);
// At most this many connections may be waiting for their request line and
// headers, per client address (an IPv6 /64) and in all. A kept-alive
// connection between two requests waits too: the bounds leave room for a
// player or a load of 50 kept-alive connections from one address, which 16
// and 64 cut down to reconnecting at every request (a tenth of the
// throughput).
constexpr size_t kWaitingPerAddress = 64;
constexpr size_t kWaitingTotal = 128;

// Listed folders are served again for this long without asking the service.
constexpr auto kFolderLife = std::chrono::minutes(2);
// What every listing alive holds together: those being listed for a
// request, those being rendered and the kept folders (tests shrink it
// through NIMBUS_SERVE_LISTING_MIB). A row of ordinary names packs into
// about 80 bytes, so a folder of 100 000 entries takes some 8 MiB. Kept
// folders may fill the whole budget; they give way, least recently used
// first, to listings in flight. A request whose listing finds the budget
// held by others gets 503 and comes back after kListingRetrySeconds; a
// folder that alone needs more than the whole budget gets 507.
constexpr size_t kListingBytes = 64u << 20;
constexpr int kListingRetrySeconds = 2;

// Folders named in one change event; past this the event names none.
#ifdef NIMBUS_DLNA
constexpr size_t dlna_evented_folders = dlna::server::max_evented_folders;
#else
constexpr size_t dlna_evented_folders = 0;
#endif

// At most one change-feed request per this time (tests shorten it through
// NIMBUS_SERVE_DELTA_SECONDS).
constexpr auto kFeedEvery = std::chrono::seconds(30);
// A feed answer with more changes than this forgets every kept folder
// instead of keeping the changes in memory.
constexpr size_t kFeedChanges = 10000;

clock_type::duration feed_interval() {
    const char *s = std::getenv("NIMBUS_SERVE_DELTA_SECONDS");
    char *end = nullptr;
    long n = s ? std::strtol(s, &end, 10) : -1;
    if (!s || !*s || *end || n < 0 || n > 86400)
        return kFeedEvery;
    return std::chrono::seconds(n);
}

size_t listing_bytes() {
    const char *s = std::getenv("NIMBUS_SERVE_LISTING_MIB");
    char *end = nullptr;
    long n = s ? std::strtol(s, &end, 10) : -1;
    if (!s || !*s || *end || n < 1 || n > 4096)
        return kListingBytes;
    return static_cast<size_t>(n) << 20;
}

// A listing under way, and then its outcome, for every request that asked
// for its folder meanwhile.
struct listing_round {
    bool done = false;
    int rc = NIMBUS_OK;
    std::shared_ptr<const folder_listing> listing;
};

struct gateway {
    gateway(const options &o, const std::string &secret)
        : ctx(o), token(secret), caps(secret), budget(listing_bytes()),
          folders(budget.max(), kFolderLife), feed_every(feed_interval()),
          watch({kHeaderDeadline, kWaitingPerAddress, kWaitingTotal}),
          streams(o.cacert, o.connect_to) {
        budget.on_short([this](size_t n) { return folders.give_way(n); });
    }
    context ctx;         // the drive handle the pool threads share, and its settings file
    std::string token;   // empty: no credential asked
    capability_key caps; // the URLs handed to players: one file each, never the token
    bool loopback = true;
    std::atomic<uint16_t> port{0}; // known once the daemon listens (the port may be 0)
    locator_cache locators;
    listing_budget budget; // before folders: kept listings give their bytes back to it
    folder_cache folders;
    // Folders being listed right now: a second request for one waits for
    // that listing and takes its outcome instead of asking the service again.
    std::mutex listing_lock;
    std::condition_variable listing_done;
    std::unordered_map<std::string, std::shared_ptr<listing_round>> listing_now;
    // The change feed that keeps the kept folders current: one caller asks
    // it at a time (visits do not wait), at most once per feed_every.
    std::mutex feed_lock;
    std::condition_variable feed_wake; // feed_loop's pause between checks
    std::string feed_cursor;           // "" until the first answer, and after a refused cursor
    bool feed_asked = false;
    bool feed_off = false; // the drive has no feed for the configured root
    clock_type::time_point feed_last{};
    const clock_type::duration feed_every;
    // Ends feed_loop; set only just before the join, so that a stop cut
    // short by a second signal finds the thread still running.
    std::atomic<bool> feed_stop{false};
    // The MediaServer's SystemUpdateID: one step for each feed answer that
    // changed something. It starts at the clock's seconds, so that it keeps
    // growing across restarts (the feed moves it far slower than a second).
    std::atomic<uint32_t> update_id{static_cast<uint32_t>(std::time(nullptr))};
    // Set (under feed_lock) while the MediaServer runs: the feed is then
    // asked every feed_every without waiting for a visit, and each change is
    // told to it with the folders it touched ("/" for the root).
    std::function<void(const std::vector<std::string> &)> on_change;
    slow_client_guard watch;
    proxy streams; // files sent through the gateway (?stream=1)
    std::atomic<int> in_flight{0};
    std::atomic<bool> stopping{false};
};

reply error_reply(unsigned status, const std::string &sentence, bool json,
                  const error_info &info = error_info(), const request *q = nullptr) {
    reply r;
    r.status = status;
    if (json) {
        r.type = "application/json";
        r.body = "{\"error\":" + json_string(printable(sentence)) + "}";
        return r;
    }
    r.body = error_page(status, sentence, info, q ? *q : request());
    return r;
}

// A service or library failure as the client sees it: the status, one
// sentence, and for JSON clients the library's message.
reply failure_reply(int code, const std::string &message, const request &q,
                    const error_info &where) {
    error_info info = where;
    info.detail = message;
    bool json = q.json_errors;
    bool folder = !q.path.empty() && q.path.back() == '/';
    switch (code) {
    case NIMBUS_E_BAD_PATH:
        return error_reply(400, json ? message : "This is not a valid drive path", json, info, &q);
    case NIMBUS_E_NOT_FOUND:
        return error_reply(404,
                           json     ? message
                           : folder ? "This folder does not exist"
                                    : "This file does not exist",
                           json, info, &q);
    case NIMBUS_E_AUTH:
        return error_reply(502,
                           json ? "The service refused the authorisation (" + message +
                                      "). Run nimbus login to sign in again."
                                : "Signed out: run `nimbus login`",
                           json, info, &q);
    case NIMBUS_E_THROTTLED: {
        // The pause the service asked for, when the gateway did not wait it out.
        long asked = asked_wait();
        long wait = asked ? asked : kRetryAfterSeconds;
        reply r = error_reply(503,
                              json ? "The service is throttling requests: " + message
                                   : "The service is busy; try again in " + std::to_string(wait) +
                                         " seconds",
                              json, info, &q);
        r.headers.emplace_back("Retry-After", std::to_string(wait));
        return r;
    }
    case NIMBUS_E_UNAVAILABLE: {
        long asked = asked_wait();
        reply r = error_reply(503,
                              json    ? "The service is unavailable: " + message
                              : asked ? "The service is unavailable; try again in " +
                                            std::to_string(asked) + " seconds"
                                      : "The service is unavailable; try again in a moment",
                              json, info, &q);
        if (asked)
            r.headers.emplace_back("Retry-After", std::to_string(asked));
        return r;
    }
    case NIMBUS_E_INVALID:
        return error_reply(500,
                           json ? "The gateway's settings are invalid: " + message
                                : "The gateway's settings are invalid",
                           json, info, &q);
    case NIMBUS_E_NOMEM:
        return error_reply(500, "out of memory", json, info, &q);
    // The gateway's own limits: the library's message has nothing to add.
    case listing_busy: {
        reply r =
            error_reply(503, "The gateway is busy listing other folders; try again in a moment",
                        json, where, &q);
        r.headers.emplace_back("Retry-After", std::to_string(kListingRetrySeconds));
        return r;
    }
    case listing_too_large:
        return error_reply(507,
                           "This folder is too large for the gateway: its entries need more "
                           "than the " +
                               std::to_string(listing_bytes() >> 20) + " MiB its listings may hold",
                           json, where, &q);
    default:
        return error_reply(502, json ? message : "The service's answer could not be used", json,
                           info, &q);
    }
}

// -- listings --------------------------------------------------------------------

// Collects a folder's entries as they arrive, in the service's order; stops
// the listing when memory or the listings' budget runs out.
int collect_row(void *ctx, const nimbus_entry *e) {
    return static_cast<folder_listing *>(ctx)->add(*e) ? 0 : 1;
}

// What one change-feed answer says about the kept folders.
struct feed_changes {
    std::unordered_set<std::string> folders;  // parents named by the changes' paths
    std::unordered_set<std::string> ids;      // every changed or deleted entry
    std::unordered_set<std::string> unplaced; // changed entries the answer gave no path for
    bool all = false;                         // too many, or memory ran out: forget all
};

int note_change(void *ctx, const nimbus_entry *e) {
    auto &c = *static_cast<feed_changes *>(ctx);
    if (c.all)
        return 0;
    try {
        if (c.ids.size() >= kFeedChanges || !e->id) {
            c.all = true;
            return 0;
        }
        c.ids.insert(e->id);
        if (e->path) {
            std::string parent = e->path;
            parent.resize(parent.rfind('/'));
            c.folders.insert(parent);
        } else if (!e->deleted) {
            c.unplaced.insert(e->id);
        }
    } catch (...) {
        c.all = true;
    }
    return 0;
}

int skip_change(void *, const nimbus_entry *) {
    return 0;
}

void tell_change(gateway &g, const std::unordered_set<std::string> *folders);

// Asks the change feed what changed since the last answer and forgets the
// kept folders it touched; the first answer (null cursor) gives only the
// cursor. The caller holds feed_lock and found the request due.
void ask_feed(gateway &g) {
    clock_type::time_point now = clock_type::now();
    g.feed_asked = true;
    g.feed_last = now;
    bool first = g.feed_cursor.empty();
    feed_changes c;
    char *next = nullptr;
    int rc = nimbus_drive_changes(g.ctx.drive(), "", first ? nullptr : g.feed_cursor.c_str(),
                                  first ? skip_change : note_change, &c, &next);
    std::unique_ptr<char, decltype(&std::free)> next_cursor(next, std::free);
    if (rc == NIMBUS_E_RESYNC || rc == NIMBUS_E_UNSUPPORTED) {
        // Without a feed the kept folders go after their lifetime only.
        g.feed_cursor.clear();
        g.feed_off = rc == NIMBUS_E_UNSUPPORTED;
        g.folders.forget_all();
        tell_change(g, nullptr);
        std::fprintf(stderr, "nimbus: serve: change feed: %s\n",
                     printable(nimbus_last_error()).c_str());
        return;
    }
    if (rc != NIMBUS_OK || !next_cursor) {
        std::fprintf(stderr, "nimbus: serve: change feed: %s\n",
                     printable(nimbus_last_error()).c_str());
        return; // the cursor stays; the next visit after feed_every asks again
    }
    try {
        g.feed_cursor = next_cursor.get();
        if (first) {
            g.folders.forget_older(now); // listed before the cursor: their changes are unknown
            return;
        }
        if (c.all) {
            g.folders.forget_all();
            tell_change(g, nullptr);
            return;
        }
        if (c.ids.empty())
            return;
        tell_change(g, &c.folders);
        for (const std::string &folder : c.folders)
            g.folders.forget(folder);
        std::unordered_set<std::string> missing = g.folders.forget_listing(c.ids);
        for (const std::string &id : c.unplaced)
            if (missing.count(id)) {
                g.folders.forget_all(); // a new entry whose folder the answer does not tell
                return;
            }
    } catch (...) {
        g.feed_cursor.clear();
        g.folders.forget_all();
        tell_change(g, nullptr);
    }
}

// A step of the update id, told to the MediaServer with the folders that
// changed (null: unknown ones). The caller holds feed_lock.
void tell_change(gateway &g, const std::unordered_set<std::string> *folders) {
    g.update_id++;
    if (!g.on_change)
        return;
    std::vector<std::string> named;
    try {
        if (folders && folders->size() <= dlna_evented_folders)
            for (const std::string &f : *folders)
                named.push_back(f.empty() ? "/" : f);
    } catch (...) {
        named.clear();
    }
    g.on_change(named);
}

bool feed_due(const gateway &g) {
    return !g.feed_off && (!g.feed_asked || clock_type::now() - g.feed_last >= g.feed_every);
}

// A visit asks the feed on its own thread when the last request is
// feed_every old; a visit while another asks goes on at once. The first
// cursor is taken by feed_loop, since it enumerates the whole drive.
void keep_current(gateway &g) {
    std::unique_lock<std::mutex> hold(g.feed_lock, std::try_to_lock);
    if (hold.owns_lock() && !g.feed_cursor.empty() && feed_due(g))
        ask_feed(g);
}

// serve's feed thread: takes the first cursor at start, and again after the
// service refused one (or a request for it failed, then feed_every later).
// While the MediaServer runs it asks every feed_every: control points learn
// of changes by events, not by visiting.
void feed_loop(gateway &g) {
    std::unique_lock<std::mutex> hold(g.feed_lock);
    while (!g.feed_stop) {
        if (!g.stopping && (g.feed_cursor.empty() || g.on_change) && feed_due(g))
            ask_feed(g);
        g.feed_wake.wait_for(hold, std::chrono::milliseconds(200));
    }
}

// The folder's listing from the cache, or from the service (then kept).
// "" is the root.
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

reply path_failure(gateway &g, const request &q, int rc, bool link_parent);

// What the drive search found, at most kSearchRows entries.
reply search(gateway &g, const request &q) {
    struct found {
        std::vector<found_row> rows;
        bool cut = false;
        bool failed = false;
    } f;
    auto take = [](void *ctx, const nimbus_entry *e) -> int {
        auto &f = *static_cast<found *>(ctx);
        if (f.rows.size() == kSearchRows) {
            f.cut = true;
            return 1;
        }
        try {
            found_row r;
            r.name = e->name ? e->name : "";
            r.path = e->path ? e->path : "";
            r.folder = e->folder != 0;
            r.size = e->size;
            r.mtime_ms = e->mtime_ms;
            f.rows.push_back(std::move(r));
        } catch (...) {
            f.failed = true;
            return 1;
        }
        return 0;
    };
    int rc = nimbus_drive_search(g.ctx.drive(), q.search.c_str(), take, &f);
    if (f.failed)
        rc = NIMBUS_E_NOMEM;
    else if (f.cut)
        rc = NIMBUS_OK;
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, false);
    reply out;
    out.body = search_page(q, f.rows, f.cut);
    return out;
}

reply m3u(std::string body) {
    reply out;
    out.type = "audio/x-mpegurl";
    out.body = std::move(body);
    return out;
}

// The folder's media files by name.
reply playlist(const gateway &g, const request &q, const folder_listing &l,
               const std::string &host) {
    if (!host_header_ok(host))
        return error_reply(400, "the playlist needs a valid Host header", q.json_errors);
    return m3u(folder_playlist(l, q.path, host, g.caps, std::time(nullptr)));
}

// The folder and everything beneath it, media files by path; the walk
// stops after kMaxWalk entries and the playlist then says so.
reply walk(gateway &g, const request &q, const std::string &folder, const std::string &host) {
    if (!host_header_ok(host))
        return error_reply(400, "the playlist needs a valid Host header", q.json_errors);
    // The files' rows go into one listing under the budget, their paths beside.
    struct walked {
        explicit walked(listing_budget *budget) : files(budget) {}
        folder_listing files;
        std::vector<std::string> paths;
        size_t seen = 0;
        bool cut = false;
        int failed = 0;
    } w(&g.budget);
    auto take = [](void *ctx, const nimbus_entry *e) -> int {
        auto &w = *static_cast<walked *>(ctx);
        if (w.seen == kMaxWalk) {
            w.cut = true;
            return 1;
        }
        w.seen++;
        if (e->folder || !e->path || !e->name || !e->mime_type || !playable(e->mime_type))
            return 0;
        try {
            w.paths.emplace_back(e->path);
        } catch (...) {
            w.failed = NIMBUS_E_NOMEM;
            return 1;
        }
        if (!w.files.add(*e)) {
            w.failed = w.files.fault();
            return 1;
        }
        return 0;
    };
    int rc = nimbus_drive_walk(g.ctx.drive(), folder.c_str(), 0, take, &w);
    if (w.failed)
        rc = w.failed;
    else if (w.cut || rc == NIMBUS_E_PARTIAL)
        rc = NIMBUS_OK;
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, false);
    return m3u(walk_playlist(w.files, w.paths, w.cut, host, g.caps, std::time(nullptr)));
}

// Looks an item up: is it there, is it a folder, its download URL.
struct item_look {
    bool folder = false;
    std::string url;
    std::string type;
    bool url_too_long = false;
};

int look_item(void *ctx, const nimbus_entry *e) {
    auto &k = *static_cast<item_look *>(ctx);
    try {
        k.folder = e->folder != 0;
        k.type = e->mime_type ? e->mime_type : "";
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

// A failed request for q.path as the client sees it; with LINK_PARENT, the
// page of a path that does not exist links the nearest folder that does.
// The library's message is taken first: nearest_parent's lookups replace it.
reply path_failure(gateway &g, const request &q, int rc, bool link_parent) {
    std::string message = nimbus_last_error();
    error_info where;
    where.path = q.path;
    if (link_parent && rc == NIMBUS_E_NOT_FOUND && !q.json_errors)
        where.parent = nearest_parent(g, q.path);
    return failure_reply(rc, message, q, where);
}

// After a listing refused for want of authorisation (NIMBUS_E_AUTH):
// whether the refusal was this folder's alone, which the service keeps
// locked (a Personal Vault), rather than the sign-in's. The folder itself
// can still be looked up then; the lookup is made only after a refusal.
bool locked_folder(gateway &g, const std::string &folder) {
    item_look k;
    return !folder.empty() &&
           nimbus_drive_item(g.ctx.drive(), folder.c_str(), look_item, &k) == NIMBUS_OK && k.folder;
}

reply refused_folder(gateway &g, const request &q, const std::string &folder) {
    std::string message = nimbus_last_error(); // before the lookup replaces it
    error_info where;
    where.path = q.path;
    if (!locked_folder(g, folder))
        return failure_reply(NIMBUS_E_AUTH, message, q, where);
    where.detail = message;
    return error_reply(403,
                       q.json_errors ? message
                                     : "This folder is locked: unlock it (a Personal Vault) in "
                                       "OneDrive to see what it holds",
                       q.json_errors, where, &q);
}

reply serve_folder(gateway &g, const request &q, const std::string &host) {
    std::string folder = q.path.size() > 1 ? q.path.substr(0, q.path.size() - 1) : std::string();
    if (q.format == "m3u" && q.recursive)
        return walk(g, q, folder, host);
    if (!q.search.empty())
        return search(g, q);
    std::shared_ptr<const folder_listing> l;
    int rc = listing_of(g, folder, &l);
    if (rc == NIMBUS_E_NOT_FOLDER) {
        // A file named with a final "/": send the player to the file.
        reply r;
        r.status = 302;
        r.headers.emplace_back("Location", url_encode(folder, true) + token_query(q, '?'));
        return r;
    }
    if (rc == NIMBUS_E_AUTH && !folder.empty())
        return refused_folder(g, q, folder);
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, true);
    if (q.format == "json") {
        reply r;
        r.type = "application/json";
        r.stream = json_answer(folder, l, wants_metadata(g.ctx.settings()));
        return r.stream ? r : error_reply(500, "out of memory", true);
    }
    if (q.format == "m3u")
        return playlist(g, q, *l, host);
    reply page;
    page.body = folder_page(q, *l);
    return page;
}

bool location_ok(const std::string &url) {
    if (url.compare(0, 8, "https://") != 0 && url.compare(0, 7, "http://") != 0)
        return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f)
            return false;
    return true;
}

reply redirect(const std::string &location) {
    reply r;
    r.status = 302;
    r.headers.emplace_back("Location", location);
    r.body = redirect_page(location);
    return r;
}

// The file's bytes through the gateway, the client's Range passed on. A
// kept download URL the service refuses (it expired) is looked up again once.
reply stream_file(gateway &g, const request &q, MHD_Connection *c, const std::string &url,
                  const std::string &type, bool kept) {
    std::vector<std::pair<std::string, std::string>> extra;
#ifdef NIMBUS_DLNA
    // What DLNA renderers ask of a media server's resource URL.
    const char *features =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, "getcontentFeatures.dlna.org");
    if (features && std::strcmp(features, "1") == 0) {
        std::string info = dlna::protocol_info(type.empty() ? kUnknownMediaType : type);
        size_t third = info.find(':', info.find(':', info.find(':') + 1) + 1);
        extra.emplace_back("contentFeatures.dlna.org",
                           third == std::string::npos ? "*" : info.substr(third + 1));
    }
    const char *mode = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "transferMode.dlna.org");
    if (mode && (std::strcmp(mode, "Streaming") == 0 || std::strcmp(mode, "Interactive") == 0 ||
                 std::strcmp(mode, "Background") == 0))
        extra.emplace_back("transferMode.dlna.org", mode);
#endif
    const char *range = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE);
    proxy_answer a = g.streams.open(c, url, range);
    if (a.refused && kept) {
        g.locators.forget(q.path);
        item_look k;
        if (nimbus_drive_item(g.ctx.drive(), q.path.c_str(), look_item, &k) == NIMBUS_OK &&
            !k.folder && location_ok(k.url)) {
            g.locators.store(q.path, k.url, k.type);
            a = g.streams.open(c, k.url, range);
        }
    }
    if (a.status == 0) {
        reply r = error_reply(a.busy ? 503 : 502,
                              a.busy ? "The gateway streams too many files; try again in a moment"
                                     : "The file could not be fetched: " + a.error,
                              q.json_errors);
        if (a.busy)
            r.headers.emplace_back("Retry-After", "5");
        return r;
    }
    reply r;
    r.status = a.status;
    r.type = served_type(type);
    try {
        r.headers = std::move(a.headers);
        r.headers.insert(r.headers.end(), extra.begin(), extra.end());
        if (r.type == kUnknownMediaType) // bytes to keep, never a page to show
            r.headers.emplace_back("Content-Disposition", "attachment");
    } catch (...) {
        MHD_destroy_response(a.response); // its stream ends with it
        throw;
    }
    r.stream = a.response;
    return r;
}

reply serve_file(gateway &g, const request &q, MHD_Connection *c) {
    std::string url, type;
    if (g.locators.find(q.path, &url, &type))
        return q.stream ? stream_file(g, q, c, url, type, true) : redirect(url);
    item_look k;
    int rc = nimbus_drive_item(g.ctx.drive(), q.path.c_str(), look_item, &k);
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, true);
    if (k.folder) {
        // A folder named without its final "/": send the player to its page.
        std::string to = url_encode(q.path, true) + "/";
        if (!q.format.empty())
            to += "?format=" + q.format + token_query(q, '&');
        else
            to += token_query(q, '?');
        return redirect(to);
    }
    if (k.url_too_long)
        return error_reply(502,
                           "the service gave a download URL longer than " +
                               std::to_string(kMaxLocator) + " bytes",
                           q.json_errors);
    if (!location_ok(k.url))
        return error_reply(502, "the service gave no usable download URL", q.json_errors);
    g.locators.store(q.path, k.url, k.type);
    return q.stream ? stream_file(g, q, c, k.url, k.type, false) : redirect(k.url);
}

// -- the MediaServer's folder source ----------------------------------------------

#ifdef NIMBUS_DLNA

// The gateway's drive as the MediaServer's tree: listings come from the
// folder cache (a control point browsing an album costs one listing), files
// play through the gateway's own file URLs, which redirect to the download
// URL.
class drive_source : public dlna::source {
  public:
    drive_source(gateway &g, std::string base) : g_(g), base_(std::move(base)) {}

    int children(const std::string &folder_path, size_t first, size_t count,
                 std::vector<dlna::item> &out, size_t *total) override {
        std::string folder = folder_path == "/" ? std::string() : folder_path;
        std::shared_ptr<const folder_listing> l;
        int rc = listing_of(g_, folder, &l);
        if (rc == NIMBUS_E_AUTH && locked_folder(g_, folder)) {
            *total = 0; // a locked vault: a container with nothing to show
            return 0;
        }
        if (rc != NIMBUS_OK)
            return upnp_code(rc);
        *total = l->size();
        try {
            const std::vector<uint32_t> &order = l->order();
            for (size_t k = first; k < order.size() && out.size() < count; k++)
                out.push_back(item_of(folder, l->row(order[k])));
        } catch (...) {
            return dlna::action_failed;
        }
        return 0;
    }

    int lookup(const std::string &path, dlna::item &out) override {
        if (path == "/") {
            out = dlna::item();
            out.path = "/";
            out.folder = true;
            return 0;
        }
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash + 1 == path.size())
            return dlna::no_such_object;
        std::string parent = path.substr(0, slash), name = path.substr(slash + 1);
        std::shared_ptr<const folder_listing> l;
        int rc = listing_of(g_, parent, &l);
        if (rc != NIMBUS_OK)
            return rc == NIMBUS_E_NOT_FOLDER ? dlna::no_such_object : upnp_code(rc);
        for (size_t i = 0; i < l->size(); i++)
            if (l->row(i).name == name) {
                out = item_of(parent, l->row(i));
                return 0;
            }
        return dlna::no_such_object;
    }

    uint32_t update_id() override { return g_.update_id; }

    // The bytes come through the gateway (?stream=1): many renderers do not
    // follow a redirect from a resource URL. With a secret the URL carries a
    // capability for this file only: a Browse answer goes to any host that
    // may browse, and the secret opens the whole gateway.
    std::string resource_url(const std::string &path) override {
        std::string url = base_ + url_encode(path, true) + "?stream=1";
        std::string c = g_.caps.suffix(path, std::time(nullptr));
        if (!c.empty())
            url += "&" + c;
        return url;
    }

  private:
    static int upnp_code(int rc) {
        switch (rc) {
        case NIMBUS_E_NOT_FOUND:
        case NIMBUS_E_BAD_PATH:
            return dlna::no_such_object;
        case NIMBUS_E_NOT_FOLDER:
            return dlna::no_such_container;
        default:
            return dlna::action_failed;
        }
    }

    static dlna::item item_of(const std::string &folder, const folder_row &r) {
        dlna::item it;
        std::string name(r.name);
        it.path = folder + "/" + name;
        it.folder = r.folder;
        it.title = r.title.empty() ? name : std::string(r.title);
        if (!r.folder) {
            it.mime = r.mime.empty() ? kUnknownMediaType : std::string(r.mime);
            it.artist = r.artist;
            it.album = r.album;
            it.size = r.size;
            it.duration_ms = r.duration_ms > 0 ? r.duration_ms : -1;
            it.track = r.track;
            it.year = r.year;
            it.width = r.width;
            it.height = r.height;
        }
        return it;
    }

    gateway &g_;
    std::string base_; // "http://ADDRESS:PORT"
};

// The device UUID file: beside the settings file.
std::string uuid_file(const context &ctx) {
    const std::string &settings = ctx.path();
    size_t slash = settings.rfind('/');
    return (slash == std::string::npos ? std::string(".") : settings.substr(0, slash)) +
           "/dlna-uuid";
}

#endif

// -- request checks ------------------------------------------------------------

const char *header(MHD_Connection *c, const char *name) {
    return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

// The credential: the password of HTTP Basic authentication (any user name)
// or the t query parameter. A "+" in t is taken both ways: as a space (a
// client that encoded the secret's space) and as itself (a base64 secret
// pasted unescaped); both readings are always compared.
bool authorised(MHD_Connection *c, const gateway &g, request *q) {
    bool ok = false;
    const char *t = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "t");
    if (t) {
        std::string spaced, kept;
        bool as_space = decode_query(t, &spaced) && !spaced.empty() && same_secret(spaced, g.token);
        bool as_plus = decode_query(t, &kept, true) && !kept.empty() && same_secret(kept, g.token);
        if (as_space || as_plus) {
            q->t = g.token;
            ok = true;
        }
    }
    char *password = nullptr;
    char *user = MHD_basic_auth_get_username_password(c, &password);
    if (password && same_secret(password, g.token))
        ok = true;
    if (user)
        MHD_free(user);
    if (password) {
        explicit_bzero(password, std::strlen(password));
        MHD_free(password);
    }
    return ok;
}

MHD_Result count_query(void *cls, MHD_ValueKind, const char *key, const char *) {
    auto *n = static_cast<unsigned *>(cls);
    if (key && std::strcmp(key, "c") == 0)
        n[0]++;
    else if (!key || std::strcmp(key, "stream") != 0)
        n[1]++;
    return MHD_YES;
}

// A capability (?c=) opens the bytes of the one file it was made for and
// nothing else: GET or HEAD of exactly that path, one c and no parameter
// but stream, so no folder page, listing, playlist, search or other file.
bool capability_allows(MHD_Connection *c, const gateway &g, const char *url, const char *method) {
    const char *cap = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "c");
    if (!cap || !g.caps.enabled() ||
        (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0))
        return false;
    unsigned counts[2] = {0, 0}; // c, anything but c and stream
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, count_query, counts);
    std::string path;
    return counts[0] == 1 && counts[1] == 0 && decode_path(url, &path) && path.back() != '/' &&
           g.caps.allows(path, cap, std::time(nullptr));
}

reply handle(gateway &g, MHD_Connection *c, const char *url, const char *method) {
    forget_asked_wait(); // this thread's last request may have been throttled
    request q;
    q.method = method;
    const char *format = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "format");
    if (format && (std::strcmp(format, "json") == 0 || std::strcmp(format, "m3u") == 0))
        q.format = format;
    q.json_errors = q.format == "json";

    const char *host = header(c, MHD_HTTP_HEADER_HOST);
    if (g.loopback && !loopback_host(host, g.port))
        return error_reply(421, "this gateway answers only to its loopback address", q.json_errors);
    if (!g.token.empty() && !authorised(c, g, &q) && !capability_allows(c, g, url, method)) {
        reply r = error_reply(401, "this gateway needs its access token", q.json_errors);
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"nimbus\", charset=\"UTF-8\"");
        return r;
    }
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        reply r = error_reply(405, "only GET and HEAD are served", q.json_errors);
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (format && q.format.empty())
        return error_reply(400, "format must be json or m3u", q.json_errors);
    if (const char *filter = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "q")) {
        if (!decode_query(filter, &q.filter) || q.filter.size() > 256)
            return error_reply(400, "the filter is not valid text of at most 256 bytes",
                               q.json_errors);
    }
    if (const char *rec = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "recursive")) {
        if (std::strcmp(rec, "0") != 0 && std::strcmp(rec, "1") != 0)
            return error_reply(400, "recursive must be 0 or 1", q.json_errors);
        q.recursive = rec[0] == '1';
    }
    if (const char *text = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "search")) {
        if (!decode_query(text, &q.search) || q.search.empty() || q.search.size() > 1024 ||
            has_control(q.search))
            return error_reply(400, "the search is not valid text of 1 to 1024 bytes",
                               q.json_errors);
        if (!q.format.empty())
            return error_reply(400, "a search answers an HTML page only", q.json_errors);
    }
    if (const char *stream = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "stream")) {
        if (std::strcmp(stream, "0") != 0 && std::strcmp(stream, "1") != 0)
            return error_reply(400, "stream must be 0 or 1", q.json_errors);
        q.stream = stream[0] == '1';
    }
    if (const char *page = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "page")) {
        if (!page_number(page, &q.page))
            return error_reply(400, "page must be a number from 1", q.json_errors);
    }
    if (!decode_path(url, &q.path)) {
        error_info info;
        info.path = printable(url);
        return error_reply(400, "This is not a valid drive path", q.json_errors, info, &q);
    }
    if (q.path.back() == '/')
        return serve_folder(g, q, host ? host : "");
    return serve_file(g, q, c);
}

// -- libmicrohttpd callbacks -----------------------------------------------------

// Leaves escapes in place: the path and query values are decoded by
// decode_path and decode_query, which refuse what a drive path cannot hold.
size_t keep_escaped(void *, MHD_Connection *, char *s) {
    return std::strlen(s);
}

int g_request_marker;

MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                      const char *, const char *, size_t *upload_size, void **state) {
    gateway &g = *static_cast<gateway *>(cls);
    bool get = method && (std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0);
    if (!*state) {
        *state = &g_request_marker;
        g.in_flight++;
        g.watch.request_begun(c);
        // GET and HEAD are answered once the request is complete, so the
        // connection stays open for the next one; anything else is refused
        // at once, without reading its body.
        if (get)
            return MHD_YES;
    } else if (*upload_size) {
        *upload_size = 0; // a body sent with GET is ignored
        return MHD_YES;
    }
    auto start = clock_type::now();
    reply r;
    try {
        r = handle(g, c, url ? url : "", method ? method : "");
    } catch (...) {
        r = error_reply(500, "out of memory", false);
    }
    MHD_Response *resp = r.stream ? r.stream
                                  : MHD_create_response_from_buffer(r.body.size(), r.body.data(),
                                                                    MHD_RESPMEM_MUST_COPY);
    if (!resp)
        return MHD_NO;
    if (!r.type.empty())
        MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(resp, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(resp, "Content-Security-Policy",
                            "default-src 'none'; style-src 'unsafe-inline'");
    for (const auto &h : r.headers)
        MHD_add_response_header(resp, h.first.c_str(), h.second.c_str());
    if (g.stopping)
        MHD_add_response_header(resp, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result queued = MHD_queue_response(c, r.status, resp);
    MHD_destroy_response(resp);

    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count());
    // The query is left out: it may hold the access token.
    std::fprintf(stderr, "%s %s %u %ld ms\n", printable(method ? method : "").c_str(),
                 printable(url ? url : "").c_str(), r.status, ms);
    return queued;
}

void on_completed(void *cls, MHD_Connection *c, void **state, MHD_RequestTerminationCode) {
    gateway &g = *static_cast<gateway *>(cls);
    g.watch.request_ended(c);
    if (*state) {
        g.in_flight--;
        *state = nullptr;
    }
}

void on_connection(void *cls, MHD_Connection *c, void **context,
                   MHD_ConnectionNotificationCode what) {
    gateway &g = *static_cast<gateway *>(cls);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *from =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        std::string address;
        try {
            address = client_key(from ? from->client_addr : nullptr);
        } catch (...) {
            address = "?"; // as for an address of no known kind
        }
        g.watch.started(c, context, address);
    } else {
        g.watch.closed(context);
    }
}

void on_log(void *, const char *format, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::fprintf(stderr, "nimbus: serve: %s\n", printable(line).c_str());
}

} // namespace

int run_serve(const options &o) {
    listen_address addr;
    std::string error;
    if (!parse_listen(o.listen.empty() ? "127.0.0.1:8080" : o.listen, &addr, &error)) {
        print_error(error);
        return EXIT_USAGE;
    }
    std::string token;
    if (!o.auth_token_file.empty() && !read_token_file(o.auth_token_file, &token, &error)) {
        print_error(error);
        return EXIT_SETTINGS;
    }
    if (!addr.loopback && token.empty()) {
        print_error("serve: listening on " + addr.host +
                    " lets other hosts in; give a secret with --auth-token-file FILE "
                    "(make one with: umask 077; head -c 24 /dev/urandom | base64 | tr '+/' '-_' "
                    "> FILE)");
        return EXIT_USAGE;
    }
    if (o.dlna && !addr.loopback && (addr.host == "0.0.0.0" || addr.host == "[::]")) {
        print_error("serve: --dlna announces the server on the interface of one address, not on "
                    "every network of a wildcard: listen on this host's address on the network "
                    "you choose (for example --listen 192.168.1.5:8080)");
        return EXIT_USAGE;
    }
#ifndef NIMBUS_DLNA
    if (o.dlna) {
        print_error("serve: this build has no DLNA server (GUPnP 1.6 was missing when it was "
                    "built; see scripts/install-deps)");
        return EXIT_USAGE;
    }
#endif
    if (port_taken(addr)) {
        print_error("serve: port " + std::to_string(port_of(addr)) +
                    " is already in use (another nimbus serve?): choose one with --listen");
        return EXIT_OTHER;
    }
    gateway g(o, token);
    g.loopback = addr.loopback;
    // The signals that stop the server are taken by sigwait below, not by
    // the Ctrl-C handler of the one-shot commands.
    if (int rc = g.ctx.open(false))
        return rc;

    // The pool threads inherit this mask; the signals are taken by sigwait below.
    sigset_t stop_signals, old_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
    signal(SIGPIPE, SIG_IGN);

    unsigned flags = MHD_USE_AUTO | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ITC |
                     MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG | (addr.is_v6 ? MHD_USE_IPv6 : 0);
    const sockaddr *bind_to = addr.is_v6 ? reinterpret_cast<const sockaddr *>(&addr.v6)
                                         : reinterpret_cast<const sockaddr *>(&addr.v4);
    MHD_Daemon *d = MHD_start_daemon(
        flags, 0, nullptr, nullptr, on_request, &g, MHD_OPTION_EXTERNAL_LOGGER, on_log, nullptr,
        MHD_OPTION_SOCK_ADDR, bind_to, MHD_OPTION_THREAD_POOL_SIZE,
        static_cast<unsigned>(o.threads > 0 ? o.threads : 4), MHD_OPTION_CONNECTION_LIMIT,
        kConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT, addr.loopback ? 0u : kPerAddressLimit,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemory, MHD_OPTION_UNESCAPE_CALLBACK, keep_escaped, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, on_completed, &g, MHD_OPTION_NOTIFY_CONNECTION, on_connection,
        &g, MHD_OPTION_END);
    if (!d) {
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        print_error("serve: cannot listen on " + addr.host + ":" + std::to_string(port_of(addr)));
        return EXIT_OTHER;
    }
    std::thread watchdog([&g] { g.watch.run(); });
    std::thread feeder([&g] { feed_loop(g); });
    const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    g.port = info ? info->port : 0;
    std::fprintf(stderr, "nimbus: serving http://%s:%u/ (%s; stop with Ctrl-C)\n",
                 addr.host.c_str(), static_cast<unsigned>(g.port.load()),
                 g.token.empty() ? "no credential" : "access token required");
    std::fflush(stderr);
#ifdef NIMBUS_DLNA
    std::unique_ptr<drive_source> media_source;
    dlna::server media;
    if (o.dlna) {
        dlna::options mo;
        mo.address = addr.is_v6 ? addr.host.substr(1, addr.host.size() - 2) : addr.host;
        if (!o.dlna_allow.empty()) // checked with the command line
            dlna::parse_networks(o.dlna_allow, mo.allow);
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        mo.friendly_name = std::string("nimbus on ") + (name[0] ? name : "this host");
        media_source.reset(new drive_source(g, "http://" + addr.host + ":" +
                                                   std::to_string(static_cast<unsigned>(g.port))));
        std::string file = uuid_file(g.ctx);
        if (!dlna::load_uuid(file, mo.uuid, error) || !media.start(mo, *media_source, error)) {
            print_error("serve: --dlna: " + error);
            MHD_stop_daemon(d);
            g.stopping = true;
            g.feed_stop = true;
            feeder.join();
            g.watch.stop();
            watchdog.join();
            pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
            return EXIT_OTHER;
        }
        {
            std::lock_guard<std::mutex> hold(g.feed_lock);
            g.on_change = [&media](const std::vector<std::string> &folders) {
                media.changed(folders);
            };
        }
        std::fprintf(stderr, "nimbus: DLNA MediaServer %s (device UUID in %s)\n",
                     media.description_url().c_str(), printable(file).c_str());
        std::fflush(stderr);
    }
#endif

    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }
    g.stopping = true;
#ifdef NIMBUS_DLNA
    media.stop(); // ssdp:byebye first: players stop offering a server that is going
#endif
    // A second signal ends the process at once, whatever the stop waits for.
    std::thread([stop_signals] {
        int again = 0;
        while (sigwait(&stop_signals, &again) != 0) {
        }
        std::fprintf(stderr, "nimbus: stopped at once (%s)\n",
                     again == SIGINT ? "SIGINT" : "SIGTERM");
        std::fflush(stderr);
        _exit(128 + again);
    }).detach();
    MHD_socket listener = MHD_quiesce_daemon(d);
    // No request waits any longer for a retry; transfers under way get a
    // short grace to finish, then they are cut short too.
    stop_waits();
    auto grace_end = clock_type::now() + kStopGrace;
    while (g.in_flight > 0 && clock_type::now() < grace_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    interrupt_transfers();
    g.streams.cancel_all(); // and their suspended connections resume, to close
    // The requests cut short answer (curl notices within a second); their
    // answers are sent before the connections close.
    grace_end = clock_type::now() + std::chrono::seconds(3);
    while (g.in_flight > 0 && clock_type::now() < grace_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    MHD_stop_daemon(d);
    g.feed_stop = true;
    feeder.join(); // its request, if any, was cut short with the transfers
    g.watch.stop();
    watchdog.join();
    if (listener != MHD_INVALID_SOCKET)
        close(listener);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    std::fprintf(stderr, "nimbus: stopped (%s)\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    return EXIT_OK;
}

} // namespace cli
