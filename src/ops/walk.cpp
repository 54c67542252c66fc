// A walk over a folder tree: folders are listed by level, in the order they
// were found, up to N at once; the calling thread and N - 1 helper threads,
// started and joined inside the call, each list one folder at a time. The
// host's callback is called under the walk's lock, so it never runs twice
// at once and needs no lock of its own.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "ops/ops.h"

namespace {

// Folders found but not listed yet; a tree wider than this is refused
// rather than held in memory.
constexpr size_t MAX_PENDING = 100000;

struct pending {
    nimbus_str id;   // the folder argument: a path, an item id, or "" for the root
    nimbus_str path; // the folder's virtual path when known, else null
    int depth;       // the level of its entries, 1 for the walk's folder
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
    int active = 0; // folders being listed
    bool stop = false;
    int rc = NIMBUS_OK;
    char msg[NIMBUS_MSG_SIZE] = {};
    unsigned skipped = 0; // broken shortcuts left out
    char skipped_msg[NIMBUS_MSG_SIZE] = {};
};

struct lister {
    tree *t;
    int depth;
};

void work(tree *t);
int on_entry(void *ctx, const nimbus_entry *e);
void fail(tree *t, int rc, const char *msg);
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
    // Helpers that cannot be started leave the walk to fewer threads; the
    // calling thread alone still finishes it.
    std::vector<std::thread> helpers;
    int n = nimbus_walk_threads_of(cfg);
    try {
        helpers.reserve(static_cast<size_t>(n - 1));
        for (int i = 1; i < n; i++)
            helpers.emplace_back(work, &t);
    } catch (...) {
    }
    work(&t);
    for (std::thread &h : helpers)
        h.join();

    if (t.rc != NIMBUS_OK) {
        nimbus_msgf(msg, size, "%s", t.msg);
        return t.rc;
    }
    if (t.skipped) {
        nimbus_msgf(msg, size, "%u folder%s left out: %s", t.skipped, t.skipped == 1 ? "" : "s",
                    t.skipped_msg);
        return NIMBUS_E_PARTIAL;
    }
    return NIMBUS_OK;
}

// Takes folders from the queue until it is empty with none being listed
// (nothing more can be found) or the walk stops.
void work(tree *t) {
    nimbus_caller c{t->io, t->cfg, t->shared, nullptr, false, false};
    std::unique_lock<std::mutex> lock(t->m);
    for (;;) {
        t->cv.wait(lock, [t] { return t->stop || !t->queue.empty() || t->active == 0; });
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
        lister l{t, p.depth};
        int rc = nimbus_drive_children(&c, p.id.get(), p.path.get(), &broken, on_entry, &l, msg,
                                       sizeof msg);
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
    if (t->fn(t->ctx, e) != 0) {
        fail(t, NIMBUS_E_STOPPED, "the entry callback stopped the walk");
        t->cv.notify_all();
        return 1;
    }
    if (!e->folder || (t->max_depth > 0 && l->depth >= t->max_depth))
        return 0;
    if (t->queue.size() >= MAX_PENDING) {
        char msg[96];
        nimbus_msgf(msg, sizeof msg, "the walk found more than %zu folders to list at once",
                    MAX_PENDING);
        fail(t, NIMBUS_E_FAILED, msg);
        t->cv.notify_all();
        return 1;
    }
    // Beneath the walk's folder a folder is addressed by id, which costs the
    // service no path resolution (a shortcut's id costs one item request
    // to find its drive); its path still comes from the walk.
    pending p{nimbus_str(nimbus_strdup(e->id)),
              nimbus_str(e->path ? nimbus_strdup(e->path) : nullptr), l->depth + 1};
    bool oom = !p.id || (e->path && !p.path);
    if (!oom) {
        try {
            t->queue.push_back(std::move(p));
        } catch (const std::bad_alloc &) {
            oom = true;
        }
    }
    if (oom) {
        fail(t, NIMBUS_E_NOMEM, "out of memory");
        t->cv.notify_all();
        return 1;
    }
    t->cv.notify_one();
    return 0;
}

} // namespace
