// A folder's change feed read as a tree: every item placed beneath its
// folder by parent id, since the feed's items carry no folder path and may
// come before their folders.
#ifndef NIMBUS_FEED_TREE_H
#define NIMBUS_FEED_TREE_H

#include <cstddef>

#include "graph/graph.h"

// Items held back until their folder comes; more fail the feed.
constexpr size_t NIMBUS_FEED_WAITING_MAX = 100000;

struct nimbus_feed_state;

// One walk's reading of a change feed from nothing (no cursor), page by
// page. Set the members before the first page; a zeroed record is empty.
struct nimbus_feed_tree {
    // The walked folder's id (required; its own item in the feed is skipped) and its
    // virtual path ("" for the root; null when unknown, and then so are
    // the entries' paths).
    const char *top_id;
    const char *top_path;
    // Levels of entries handed out: 1 is the folder's own; 0 or less, all.
    int max_depth;
    // Called once per entry beneath the folder, parents before their
    // entries; non-zero stops the reading.
    nimbus_entry_fn fn;
    void *ctx;
    // Called (after fn) for each shortcut to a folder whose entries are
    // within max_depth: the feed does not go into other drives, so these
    // are the caller's to list. depth is the shortcut's own level.
    // Non-zero stops the reading as fn's does (msg then says why).
    int (*shortcut)(void *ctx, const nimbus_entry *e, int depth, char *msg, size_t size);
    void *shortcut_ctx;
    nimbus_feed_state *state; // owned
};
void nimbus_feed_tree_free(nimbus_feed_tree *t);
// Reads one page in place (body as for nimbus_walk_page) and places its
// items: deleted ones and the walked folder are skipped, an item whose
// folder is not placed yet is held back, an item seen before is not handed
// out again, and an item inside a placed file or package is left out (a
// listing would not show it). NIMBUS_OK with *next the owned next link or
// null (the last page); NIMBUS_E_STOPPED when fn or shortcut returned
// non-zero; NIMBUS_E_NOMEM; NIMBUS_E_FAILED for a malformed page, an error
// envelope (its code in code) or more than NIMBUS_FEED_WAITING_MAX items
// held back.
int nimbus_feed_tree_page(nimbus_feed_tree *t, char *body, size_t len, char **next, char *code,
                          size_t code_size, char *msg, size_t size);
// After the last page: the items still held back, whose folder the feed
// never gave.
size_t nimbus_feed_tree_orphans(const nimbus_feed_tree *t);

#endif // NIMBUS_FEED_TREE_H
