// A folder's change feed read as a tree: every item placed beneath its
// folder by parent id, since the feed's items carry no folder path and may
// come before their folders.
#ifndef NIMBUS_FEED_TREE_H
#define NIMBUS_FEED_TREE_H

#include <cstddef>
#include <string>

#include "graph/graph.h"

// Items held back until their folder comes; more fail the feed.
constexpr size_t NIMBUS_FEED_WAITING_MAX = 100000;
// Folders looked up by id in one change feed call; the entries of any
// further unnamed folder keep a null path.
constexpr size_t NIMBUS_FEED_LOOKUPS_MAX = 200;
// The deepest and longest entry path a walk builds. The service refuses
// paths of more than 400 characters: at two characters a level ("/x") no
// real path goes past 200 levels, and at three UTF-8 bytes a character
// (the BMP's worst) none past 1200 bytes. A path beyond either bound comes
// from a hostile or broken service, and building it would repeat every
// level in every entry beneath (a chain of N levels makes N * N / 2 bytes
// of paths): such an entry is left out, with everything beneath it. The
// byte bound is also the longest path argument the library takes back.
constexpr int NIMBUS_WALK_LEVELS_MAX = 256;
constexpr size_t NIMBUS_WALK_PATH_MAX = 2048;
// Whether a path of len bytes stays within both bounds (its levels are
// its "/" characters).
bool nimbus_walk_path_fits(const char *path, size_t len);

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
    // are the caller's to list, by the shared folder's drive and item ids
    // (null when the remoteItem gives none usable). depth is the
    // shortcut's own level. Non-zero stops the reading as fn's does (msg
    // then says why).
    int (*shortcut)(void *ctx, const nimbus_entry *e, const char *drive, const char *item,
                    int depth, char *msg, size_t size);
    void *shortcut_ctx;
    // Change feed mode (nimbus_drive_changes): every element is handed
    // out, deleted ones and repeats too, with max_depth, top_id, top_path
    // and shortcut unused. Paths are the drive's own ("" for its root)
    // until handed out, when they become virtual paths beneath root (the
    // configured root path without its "/", or null): the configured root
    // itself is "/", an item outside it has a null path. An item whose
    // parentReference carries a path takes it from there; one whose folder
    // the feed never names waits for nimbus_feed_tree_finish.
    bool changes;
    const char *root;
    // Finds a folder the feed never named by its id: 0 with *known set
    // (and *path the drive path) or not (no such folder); else a code,
    // which ends the reading. Called at most NIMBUS_FEED_LOOKUPS_MAX times,
    // once per folder.
    int (*locate)(void *ctx, const char *id, std::string *path, bool *known, char *msg,
                  size_t size);
    void *locate_ctx;
    size_t lookups;           // locate calls made
    char *delta_link;         // the last page's "@odata.deltaLink" (owned), change feed mode
    nimbus_feed_state *state; // owned
};
void nimbus_feed_tree_free(nimbus_feed_tree *t);
// Reads one page in place (body as for nimbus_walk_page) and places its
// items: deleted ones and the walked folder are skipped, an item whose
// folder is not placed yet is held back, an item seen before is not handed
// out again, an item inside a placed file or package is left out (a
// listing would not show it), and so is one whose path would pass the
// bounds above (see nimbus_feed_tree_cut). NIMBUS_OK with *next the owned next link or
// null (the last page); NIMBUS_E_STOPPED when fn or shortcut returned
// non-zero; NIMBUS_E_NOMEM; NIMBUS_E_FAILED for a malformed page, an error
// envelope (its code in code) or more than NIMBUS_FEED_WAITING_MAX items
// held back.
int nimbus_feed_tree_page(nimbus_feed_tree *t, char *body, size_t len, char **next, char *code,
                          size_t code_size, char *msg, size_t size);
// After the last page: the items still held back, whose folder the feed
// never gave.
size_t nimbus_feed_tree_orphans(const nimbus_feed_tree *t);
// The entries left out so far because their path would pass
// NIMBUS_WALK_LEVELS_MAX or NIMBUS_WALK_PATH_MAX (the first such entry's
// and all beneath it, within max_depth); *folder (when given) gets the
// path of the folder the first of them lies in, or null when its path is
// unknown. Walk mode only: in change feed mode such entries are handed
// out with a null path, and so are the entries beneath them.
size_t nimbus_feed_tree_cut(const nimbus_feed_tree *t, const char **folder);
// Change feed mode, after the last page: hands out the items still held
// back, their folders found through locate (in the order the folders were
// first met). NIMBUS_OK, NIMBUS_E_STOPPED, NIMBUS_E_NOMEM or locate's code.
int nimbus_feed_tree_finish(nimbus_feed_tree *t, char *msg, size_t size);
// One item answer (body read in place) as a folder's drive path: 1 with
// *path set ("" for the drive's root), 0 when the answer names no usable
// path on this drive, -1 without memory.
int nimbus_feed_item_path(char *body, size_t len, std::string *path);

#endif // NIMBUS_FEED_TREE_H
