// A walk over a folder tree, by one of two roads. The listing road lists
// folders by level, in the order they were found, up to N at once; the
// calling thread and N - 1 helper threads, started and joined inside the
// call, each list one folder at a time. The change-feed road reads the
// folder's change feed (the whole tree, in pages of 1000 one after
// another) on the calling thread, then lists the shortcuts it met by the
// listing road, as the feed does not go into other drives. The host's
// callback never runs twice at once, so it needs no lock of its own.
//
// A hostile service may answer anything: a folder that lists itself or an
// ancestor, or a chain of folders thousands of levels deep. Each folder is
// therefore listed once per walk, and an entry whose path would pass
// NIMBUS_WALK_LEVELS_MAX levels or NIMBUS_WALK_PATH_MAX bytes is left out;
// both end in NIMBUS_E_PARTIAL, the rest of the walk going on.
//
// Measured at a 50 ms round trip on 10000 files in 110 folders, the feed
// takes 12 Graph requests over one connection (1.0 s); the listing road
// 111 over N, its time falling with N (1.9 s at 4, 0.9 s at 16, and as
// fast when the pace is left to nimbus_pace). A business drive's feed
// covers only its root.
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "graph/feed_tree.h"
#include "ops/ops.h"

namespace {

// Folders found but not listed yet; a tree wider than this is refused
// rather than held in memory.
constexpr size_t MAX_PENDING = 100000;
// Folders listed in one walk. The feed road takes at most 1000 pages of
// 1000 items; a listing walk this large would take hours of requests, and
// the identities it keeps (16 bytes each) stay within some 50 MB.
constexpr size_t MAX_LISTED = 1000000;
// The most of a path a message quotes: the start tells the place.
constexpr size_t SHOWN_MAX = 200;

// A listed folder's identity, its drive and item ids hashed twice over
// (128 bits: an accidental match among a million folders is out of reach;
// a service that forges one only hides a folder of its own).
using identity = std::pair<uint64_t, uint64_t>;
struct identity_hash {
    size_t operator()(const identity &k) const { return static_cast<size_t>(k.first ^ k.second); }
};

struct pending {
    nimbus_str id;   // the folder argument: a path, an item id, or "" for the root
    nimbus_str path; // the folder's virtual path when known, else null
    int depth;       // the level of its entries, 1 for the walk's folder
    // The shortcut whose shared folder id addresses (its path, or its own
    // id), named when that folder cannot be listed; null for the others.
    nimbus_str shortcut = nimbus_str();
};

struct tree {
    const nimbus_io *io;
    const nimbus_cfg *cfg;
    nimbus_shared *shared;
    int max_depth;
    nimbus_entry_fn fn;
    void *ctx;

    std::mutex m;
    std::condition_variable cv;
    std::deque<pending> queue;
    int active = 0;              // folders being listed
    nimbus_pace *pace = nullptr; // how many at once, when the settings leave it open
    bool stop = false;
    int rc = NIMBUS_OK;
    char msg[NIMBUS_MSG_SIZE] = {};
    unsigned skipped = 0; // broken shortcuts left out
    char skipped_msg[NIMBUS_MSG_SIZE] = {};
    size_t orphans = 0; // change-feed items whose folder never came
    // Entries left out for their paths' bounds, and the folder the first
    // lies in; folder entries met again (loops), and the first one.
    size_t cut = 0;
    char cut_in[SHOWN_MAX + 4] = {};
    size_t loops = 0;
    char loop_at[SHOWN_MAX + 4] = {};
    std::unordered_set<identity, identity_hash> listed;
};

// The change-feed road's answer when the listing road is to take the walk
// instead, nothing having been handed out.
constexpr int USE_LISTING = 1;

struct lister {
    tree *t;
    int depth;
    const char *folder;        // the listed folder's path (or id), for messages
    const nimbus_enter *enter; // the listing's hook, which tells where shortcuts lead
    bool any = false;          // an entry was handed out
};

void work(tree *t);
void run_listing(tree *t);
int result(tree *t, char *msg, size_t size);
int on_entry(void *ctx, const nimbus_entry *e);
void fail(tree *t, int rc, const char *msg);
int queue_folder(tree *t, const nimbus_entry *e, int depth, const char *drive, const char *item);
identity identity_of(const char *id);
identity identity_in(const char *drive, size_t drive_len, const char *item);
bool enter_shortcut(void *ctx, const char *drive, const char *item);
void quote_path(const char *path, char *out, size_t size);
bool feed_road(const nimbus_cfg *cfg, const char *folder, int max_depth);
int feed_walk(tree *t, const char *folder, char *msg, size_t size);
int walk_tree(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_shared *shared, const char *folder,
              int max_depth, nimbus_entry_fn fn, void *ctx, char *msg, size_t size);

} // namespace

int nimbus_walk_tree(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_shared *shared,
                     const char *folder, int max_depth, nimbus_entry_fn fn, void *ctx, char *msg,
                     size_t size) {
    // The queue allocates as it is made; nothing of the walk has started
    // when that fails (later allocations are caught where they happen).
    try {
        return walk_tree(io, cfg, shared, folder, max_depth, fn, ctx, msg, size);
    } catch (const std::bad_alloc &) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
}

namespace {

int walk_tree(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_shared *shared, const char *folder,
              int max_depth, nimbus_entry_fn fn, void *ctx, char *msg, size_t size) {
    tree t;
    t.io = io;
    t.cfg = cfg;
    t.shared = shared;
    t.max_depth = max_depth;
    t.fn = fn;
    t.ctx = ctx;
    // A folder given by id is listed first: naming it again is a loop.
    if (folder && *folder && folder[0] != '/')
        t.listed.insert(identity_of(folder));
    if (feed_road(cfg, folder, max_depth)) {
        int rc = feed_walk(&t, folder, msg, size);
        if (rc != USE_LISTING) {
            if (rc != NIMBUS_OK)
                return rc;
            run_listing(&t); // the shortcuts the feed met
            return result(&t, msg, size);
        }
    }
    if (!t.queue.empty()) { // the change-feed road's look-up found the folder elsewhere
        run_listing(&t);
        return result(&t, msg, size);
    }
    pending first{nimbus_str(nimbus_strdup(folder ? folder : "")), nimbus_str(), 1};
    if (!first.id) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    try {
        t.queue.push_back(std::move(first));
    } catch (const std::bad_alloc &) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    run_listing(&t);
    return result(&t, msg, size);
}

// Lists the queued folders and those found in them with the settings'
// number of threads. Helpers that cannot be started leave the walk to
// fewer threads; the calling thread alone still finishes it.
void run_listing(tree *t) {
    if (t->queue.empty())
        return;
    std::vector<std::thread> helpers;
    int n = nimbus_walk_threads_of(t->cfg);
    // Without a number in the settings, the pace decides, from 4 up to 16.
    nimbus_pace pace(n, NIMBUS_MAX_WALK_THREADS);
    if (t->cfg->walk_threads == 0) {
        t->pace = &pace;
        n = NIMBUS_MAX_WALK_THREADS;
    }
    try {
        helpers.reserve(static_cast<size_t>(n - 1));
        for (int i = 1; i < n; i++)
            helpers.emplace_back(work, t);
    } catch (...) {
    }
    work(t);
    for (std::thread &h : helpers)
        h.join();
    t->pace = nullptr;
}

// Appends one part of a message, after "; " when msg holds one already.
__attribute__((format(printf, 3, 4))) void add_part(char *msg, size_t size, const char *fmt, ...) {
    size_t used = std::strlen(msg);
    if (used > 0 && used + 2 < size) {
        std::memcpy(msg + used, "; ", 3);
        used += 2;
    }
    if (used + 1 >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(msg + used, size - used, fmt, ap);
    va_end(ap);
    if (n < 0)
        msg[used] = '\0';
}

// The walk's answer once no thread runs: its failure, or what was left out
// in one line (broken shortcuts, the first one named; folders met again;
// entries past the path bounds; change-feed entries whose folder never
// came), or NIMBUS_OK.
int result(tree *t, char *msg, size_t size) {
    if (t->rc != NIMBUS_OK) {
        nimbus_msgf(msg, size, "%s", t->msg);
        return t->rc;
    }
    if (!t->skipped && !t->loops && !t->cut && !t->orphans)
        return NIMBUS_OK;
    nimbus_msgf(msg, size, "%s", "");
    if (t->skipped)
        add_part(msg, size, "%u folder%s left out: %s", t->skipped, t->skipped == 1 ? "" : "s",
                 t->skipped_msg);
    if (t->loops)
        add_part(msg, size, "%zu folder%s listed before not listed again (a loop): %s", t->loops,
                 t->loops == 1 ? "" : "s", t->loop_at);
    if (t->cut)
        add_part(msg, size, "%zu entr%s left out past %d levels or %zu bytes of path%s%s", t->cut,
                 t->cut == 1 ? "y" : "ies", NIMBUS_WALK_LEVELS_MAX, NIMBUS_WALK_PATH_MAX,
                 t->cut_in[0] ? ", the first in " : "", t->cut_in);
    if (t->orphans)
        add_part(msg, size, "%zu entr%s left out: the change feed did not give %s folder",
                 t->orphans, t->orphans == 1 ? "y" : "ies", t->orphans == 1 ? "its" : "their");
    return NIMBUS_E_PARTIAL;
}

// Takes folders from the queue until it is empty with none being listed
// (nothing more can be found) or the walk stops.
void work(tree *t) {
    nimbus_caller c{t->io, t->cfg, t->shared, nullptr, false, false};
    c.pace = t->pace;
    std::unique_lock<std::mutex> lock(t->m);
    for (;;) {
        t->cv.wait(lock, [t] {
            return t->stop || (t->queue.empty() && t->active == 0) ||
                   (!t->queue.empty() && (!t->pace || t->active < t->pace->limit()));
        });
        if (t->stop || t->queue.empty())
            break;
        pending p = std::move(t->queue.front());
        t->queue.pop_front();
        t->active++;
        lock.unlock();

        // Each folder is a call of its own: one refresh when a 401 refuses
        // the shared token.
        c.granted = c.retried = false;
        char msg[NIMBUS_MSG_SIZE] = {};
        bool broken = false;
        nimbus_enter enter{enter_shortcut, nullptr, nullptr};
        lister l{t, p.depth, p.path ? p.path.get() : *p.id.get() ? p.id.get() : "/", &enter};
        enter.ctx = &l;
        int rc = nimbus_drive_children(&c, p.id.get(), p.path.get(), &broken, on_entry, &l, msg,
                                       sizeof msg, &enter);
        // A shortcut's shared folder that is gone or refused is a broken
        // shortcut, named as the walk met it.
        if (p.shortcut && !l.any && (rc == NIMBUS_E_AUTH || rc == NIMBUS_E_NOT_FOUND)) {
            broken = true;
            nimbus_shortcut_broken_at(rc, p.shortcut.get(), msg, sizeof msg);
        }
        // The message outlives this thread's token, which a later refusal
        // may replace: it is masked while known.
        nimbus_mask(msg, c.token);
        lock.lock();
        t->active--;
        if (rc != NIMBUS_OK && !t->stop) {
            // A broken shortcut below the walk's folder is left out and
            // the walk goes on; anything else ends it.
            if (broken && p.depth > 1) {
                if (t->skipped++ == 0)
                    nimbus_msgf(t->skipped_msg, sizeof t->skipped_msg, "%s", msg);
            } else {
                fail(t, rc, msg);
            }
        }
        t->cv.notify_all();
    }
    t->cv.notify_all();
    lock.unlock();
    nimbus_caller_free(&c);
}

void fail(tree *t, int rc, const char *msg) {
    if (t->stop)
        return;
    t->stop = true;
    t->rc = rc;
    nimbus_msgf(t->msg, sizeof t->msg, "%s", msg);
}

// Runs on the thread that listed the entry, under the walk's lock.
int on_entry(void *ctx, const nimbus_entry *e) {
    auto *l = static_cast<lister *>(ctx);
    tree *t = l->t;
    std::lock_guard<std::mutex> lock(t->m);
    if (t->stop)
        return 1;
    l->any = true;
    // Past the bounds an entry is left out; its folder, if it is one, is
    // not listed.
    if (e->path ? !nimbus_walk_path_fits(e->path, std::strlen(e->path))
                : l->depth > NIMBUS_WALK_LEVELS_MAX) {
        if (t->cut++ == 0)
            quote_path(l->folder, t->cut_in, sizeof t->cut_in);
        return 0;
    }
    if (t->fn(t->ctx, e) != 0) {
        fail(t, NIMBUS_E_STOPPED, "the entry callback stopped the walk");
        t->cv.notify_all();
        return 1;
    }
    if (!e->folder || (t->max_depth > 0 && l->depth >= t->max_depth))
        return 0;
    const nimbus_walk *w = l->enter ? l->enter->walk : nullptr;
    int queued = queue_folder(t, e, l->depth + 1, w ? w->target_drive : nullptr,
                              w ? w->target_item : nullptr);
    if (queued < 0) {
        t->cv.notify_all();
        return 1;
    }
    if (queued == 0)
        t->cv.notify_one();
    return 0;
}

// Queues a folder entry for listing, its own entries at depth (under the
// walk's lock, or before any helper runs): 0; 1 when the walk has listed
// (or queued) that folder before, which is left out; -1 when the walk
// failed. A shortcut to a folder (drive and item its shared folder's ids)
// is listed there, as its facet says: its own id lists nothing.
int queue_folder(tree *t, const nimbus_entry *e, int depth, const char *drive, const char *item) {
    std::string remote;
    if (drive && item) {
        nimbus_buf id{};
        nimbus_buf_guard ig{&id};
        bool ok = nimbus_remote_id_of(&id, drive, std::strlen(drive), item) == 0;
        try {
            if (ok)
                remote = id.data;
        } catch (const std::bad_alloc &) {
            ok = false;
        }
        if (!ok) {
            fail(t, NIMBUS_E_NOMEM, "out of memory");
            return -1;
        }
    }
    const char *id = remote.empty() ? e->id : remote.c_str();
    if (t->listed.size() >= MAX_LISTED) {
        char msg[96];
        nimbus_msgf(msg, sizeof msg, "the walk found more than %zu folders", MAX_LISTED);
        fail(t, NIMBUS_E_FAILED, msg);
        return -1;
    }
    bool fresh = false;
    try {
        fresh = t->listed.insert(identity_of(id)).second;
    } catch (const std::bad_alloc &) {
        fail(t, NIMBUS_E_NOMEM, "out of memory");
        return -1;
    }
    if (!fresh) {
        if (t->loops++ == 0)
            quote_path(e->path ? e->path : e->id, t->loop_at, sizeof t->loop_at);
        return 1;
    }
    if (t->queue.size() >= MAX_PENDING) {
        char msg[96];
        nimbus_msgf(msg, sizeof msg, "the walk found more than %zu folders to list at once",
                    MAX_PENDING);
        fail(t, NIMBUS_E_FAILED, msg);
        return -1;
    }
    // Beneath the walk's folder a folder is addressed by id, which costs the
    // service no path resolution; its path still comes from the walk.
    pending p{nimbus_str(nimbus_strdup(id)), nimbus_str(e->path ? nimbus_strdup(e->path) : nullptr),
              depth};
    if (!remote.empty())
        p.shortcut.reset(nimbus_strdup(e->path ? e->path : e->id));
    bool oom = !p.id || (e->path && !p.path) || (!remote.empty() && !p.shortcut);
    if (!oom) {
        try {
            t->queue.push_back(std::move(p));
        } catch (const std::bad_alloc &) {
            oom = true;
        }
    }
    if (oom) {
        fail(t, NIMBUS_E_NOMEM, "out of memory");
        return -1;
    }
    return 0;
}

// ---- The change-feed road ------------------------------------------------

bool is_root(const char *folder) {
    return !folder || !*folder || std::strcmp(folder, "/") == 0;
}

// The road of a walk: the settings' choice, else the change feed where it
// covers the folder (on a business drive only the drive's root) and the
// walk goes deeper than two levels (a shallow walk lists fewer entries
// than the feed would send). A folder on another drive, beneath a
// shortcut, is listed.
bool feed_road(const nimbus_cfg *cfg, const char *folder, int max_depth) {
    const char *d, *i;
    size_t dn;
    if (cfg->walk_method == NIMBUS_WALK_LISTING ||
        (!is_root(folder) && nimbus_remote_id(folder, &d, &dn, &i)))
        return false;
    bool drive_root = is_root(folder) && !(cfg->path && *cfg->path);
    if (cfg->business && !drive_root)
        return false;
    return cfg->walk_method == NIMBUS_WALK_CHANGES || max_depth <= 0 || max_depth > 2;
}

// The walked folder as one item request tells it.
struct top_item {
    nimbus_str id;
    bool folder = false;
    bool remote = false; // a shortcut, or beneath one: on another drive
    nimbus_str path;     // its virtual path, when the answer gives one
    bool oom = false;
};

int keep_top(void *ctx, const nimbus_entry *e) {
    auto *top = static_cast<top_item *>(ctx);
    top->id.reset(nimbus_strdup(e->id));
    top->folder = e->folder != 0;
    top->remote = e->drive_id != nullptr;
    if (e->path)
        top->path.reset(nimbus_strdup(e->path));
    top->oom = !top->id || (e->path && !top->path);
    return top->oom ? 1 : 0;
}

// No helper runs yet: the queue needs no lock.
int feed_shortcut(void *ctx, const nimbus_entry *e, const char *drive, const char *item, int depth,
                  char *msg, size_t size) {
    auto *t = static_cast<tree *>(ctx);
    if (queue_folder(t, e, depth + 1, drive, item) >= 0)
        return NIMBUS_OK;
    nimbus_msgf(msg, size, "%s", t->msg);
    return t->rc;
}

// The walked folder is a shortcut's shared folder, or lies beneath one: the
// listing road lists it there, by its id on that drive, as the look-up
// found it. USE_LISTING with it queued, or NIMBUS_E_NOMEM.
int list_remote(tree *t, const char *folder, const nimbus_remote &target, char *msg, size_t size) {
    nimbus_entry e{};
    e.id = is_root(folder) ? "/" : folder;
    e.path = e.id[0] == '/' ? e.id : nullptr;
    if (queue_folder(t, &e, 1, target.drive.data, target.item.data) < 0) {
        nimbus_msgf(msg, size, "%s", t->msg);
        return t->rc;
    }
    return USE_LISTING;
}

// A feed the service does not offer for this folder (its first page
// refused): the listings still show it.
int feed_answer(void *, int page, const nimbus_resp *resp, char *, size_t) {
    if (page == 0 && resp->status >= 400 && resp->status < 500 && resp->status != 401 &&
        resp->status != 429)
        return USE_LISTING;
    return NIMBUS_OK;
}

int feed_read(void *ctx, char *body, size_t len, char **next, char *code, size_t code_size,
              char *msg, size_t size) {
    int rc = nimbus_feed_tree_page(static_cast<nimbus_feed_tree *>(ctx), body, len, next, code,
                                   code_size, msg, size);
    if (code[0])
        rc = nimbus_envelope_failure("changes", code, msg, size);
    return rc;
}

// Reads the folder's change feed on the calling thread: NIMBUS_OK with the
// met shortcuts queued for listing, a failure's code with its message, or
// USE_LISTING when the folder is not for the feed (a file, a shortcut, a
// folder on another drive, one the look-up or the feed's first page
// refused) and nothing was handed out: the listing road then answers, with
// its own messages.
int feed_walk(tree *t, const char *folder, char *msg, size_t size) {
    nimbus_caller c{t->io, t->cfg, t->shared, nullptr, false, false};
    // The message is masked of the caller's token before the token goes.
    struct caller_guard {
        nimbus_caller *c;
        char *msg;
        ~caller_guard() {
            nimbus_mask(msg, c->token);
            nimbus_caller_free(c);
        }
    } cg{&c, msg};
    // The feed's items name their folder by id: the walked folder's is
    // asked first.
    top_item top;
    char scratch[NIMBUS_MSG_SIZE];
    nimbus_remote target{};
    nimbus_remote_guard tg{&target};
    int rc = nimbus_drive_lookup(&c, is_root(folder) ? "/" : folder, keep_top, &top, scratch,
                                 sizeof scratch, &target);
    if (rc == NIMBUS_E_STOPPED && top.oom) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    // A folder not found is the listing road's to tell (it follows
    // shortcuts on the way with its own message); any other failure is the
    // walk's.
    if (rc != NIMBUS_OK && rc != NIMBUS_E_NOT_FOUND) {
        nimbus_msgf(msg, size, "%s", scratch);
        return rc;
    }
    if (rc == NIMBUS_OK && top.folder && target.item.data)
        return list_remote(t, folder, target, msg, size);
    if (rc != NIMBUS_OK || !top.folder || top.remote ||
        !nimbus_segment_ok(top.id.get(), std::strlen(top.id.get())))
        return USE_LISTING;
    t->listed.insert(identity_of(top.id.get()));

    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    // The drive's root without a configured root path has a feed of its
    // own; any other folder is asked for by the id its item answer gave.
    bool bare = is_root(folder) && !(t->cfg->path && *t->cfg->path);
    int bad = nimbus_delta_url(t->cfg, bare ? nullptr : top.id.get(), false, &url);
    // The pages come one after another: the largest the service gives.
    bad |= nimbus_add_top(&url, NIMBUS_MAX_PAGE_SIZE);
    bad |= nimbus_add_select(&url, c.select);
    if (bad || !url.data) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }

    nimbus_feed_tree feed{};
    struct feed_guard {
        nimbus_feed_tree *f;
        ~feed_guard() { nimbus_feed_tree_free(f); }
    } fg{&feed};
    feed.top_id = top.id.get();
    // A folder given by id has the path its item answer gave it, if any.
    const char *by_id = top.path && std::strcmp(top.path.get(), "/") != 0 ? top.path.get() : "";
    feed.top_path = is_root(folder) ? "" : folder[0] == '/' ? folder : top.path ? by_id : nullptr;
    feed.max_depth = t->max_depth;
    feed.fn = t->fn;
    feed.ctx = t->ctx;
    feed.shortcut = feed_shortcut;
    feed.shortcut_ctx = t;

    // The first URL carries its query and next links the service's own:
    // each goes as it stands.
    nimbus_pager p{};
    p.get = nimbus_caller_fetch;
    p.get_ctx = &c;
    p.cfg = t->cfg;
    p.add_query = false;
    p.select = c.select;
    p.label = p.link_label = "changes";
    p.whole = "changes: the feed";
    p.no_memory = NIMBUS_E_NOMEM;
    p.answer = feed_answer;
    p.read = feed_read;
    p.ctx = &feed;
    rc = nimbus_pages(&p, url.data, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    t->orphans = nimbus_feed_tree_orphans(&feed);
    const char *cut_in = nullptr;
    t->cut = nimbus_feed_tree_cut(&feed, &cut_in);
    if (t->cut && cut_in)
        quote_path(cut_in, t->cut_in, sizeof t->cut_in);
    return NIMBUS_OK;
}

// ---- Identities and messages ---------------------------------------------

uint64_t fnv(uint64_t h, const char *s, size_t n) {
    for (size_t i = 0; i < n; i++)
        h = (h ^ static_cast<unsigned char>(s[i])) * 0x100000001b3u;
    return h;
}

uint64_t poly(uint64_t h, const char *s, size_t n) {
    for (size_t i = 0; i < n; i++)
        h = h * 0x9e3779b97f4a7c15u + static_cast<unsigned char>(s[i]) + 1;
    return h ^ (h >> 29);
}

// A folder's identity: its drive ("" for the account's own) and its item
// id, as its id gives them ("drives/<d>/items/<i>" beneath a shortcut).
identity identity_of(const char *id) {
    const char *drive = "", *item = id;
    size_t drive_len = 0;
    if (!nimbus_remote_id(id, &drive, &drive_len, &item))
        return identity_in("", 0, id);
    return identity_in(drive, drive_len, item);
}

identity identity_in(const char *drive, size_t drive_len, const char *item) {
    size_t item_len = std::strlen(item);
    uint64_t a = fnv(0xcbf29ce484222325u, drive, drive_len);
    uint64_t b = poly(0x2545f4914f6cdd1du, drive, drive_len);
    a = fnv(a ^ 0xff, item, item_len);
    b = poly(b + 0xff, item, item_len);
    return {a, b};
}

// The listing road follows a shortcut (lister in ctx): the folder it leads
// to is listed unless the walk has listed it before, under any name.
bool enter_shortcut(void *ctx, const char *drive, const char *item) {
    auto *l = static_cast<lister *>(ctx);
    tree *t = l->t;
    std::lock_guard<std::mutex> lock(t->m);
    try {
        if (t->listed.insert(identity_in(drive, std::strlen(drive), item)).second)
            return true;
    } catch (const std::bad_alloc &) {
        fail(t, NIMBUS_E_NOMEM, "out of memory");
        return false;
    }
    if (t->loops++ == 0)
        quote_path(l->folder, t->loop_at, sizeof t->loop_at);
    return false;
}

// path (at most SHOWN_MAX bytes of it, cut between characters, "..." after
// a cut) into out; "/" for the root's "".
void quote_path(const char *path, char *out, size_t size) {
    if (!*path)
        path = "/";
    size_t n = std::strlen(path);
    bool cut = n > SHOWN_MAX;
    if (cut) {
        n = SHOWN_MAX;
        while (n > 0 && (static_cast<unsigned char>(path[n]) & 0xC0) == 0x80)
            n--;
    }
    nimbus_msgf(out, size, "%.*s%s", static_cast<int>(n), path, cut ? "..." : "");
}

} // namespace
