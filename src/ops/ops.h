// Operations: the flat folder listing, the stream locator, the settings
// validation probe, the drive handle's operations, and the page loop and
// answer checks they share.
#ifndef NIMBUS_OPS_H
#define NIMBUS_OPS_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>

#include "auth/auth.h"
#include "graph/graph.h"
#include "text/text.h"
#include "transport/transport.h"

int nimbus_list_url(nimbus_sess *sess, const char *url, nimbus_items *list, char *msg, size_t size);
int nimbus_do_list(nimbus_sess *sess, const char *folder, nimbus_items *list, char **parent,
                   char *msg, size_t size);
int nimbus_do_stream(nimbus_sess *sess, const char *entry, nimbus_buf *out, char *msg, size_t size);
int nimbus_do_validate(const nimbus_io *io, const nimbus_cfg *cfg, const char *id, nimbus_buf *out,
                       char *msg, size_t size);

// Helpers shared by the operations of this module.
// Judges one Graph answer: a refused status gives its code and the
// "<label>: <quoted> answered HTTP ..." message (quoted is redacted first); a
// success status whose body is a Graph error envelope gives NIMBUS_E_FAILED
// with the envelope's message. NIMBUS_OK otherwise.
int nimbus_answer_check(const nimbus_resp *resp, const char *label, const char *quoted, char *msg,
                        size_t size);
// The status half of nimbus_answer_check alone.
int nimbus_status_check(const nimbus_resp *resp, const char *label, const char *quoted, char *msg,
                        size_t size);

// ---- Paged answers -------------------------------------------------------

// One authorised GET, as nimbus_sess_call and nimbus_caller_get make it.
using nimbus_get_fn = int (*)(void *ctx, const char *url, nimbus_resp *resp, char *msg,
                              size_t size);
// Reads one page of a paged answer in place (body as for
// nimbus_parse_children_in_place) into ctx: NIMBUS_OK with *next the owned
// next link (null on the last page), or a code with msg set (code gets an
// error envelope's code).
using nimbus_page_fn = int (*)(void *ctx, char *body, size_t len, char **next, char *code,
                               size_t code_size, char *msg, size_t size);
// How one paged answer is asked for and read.
struct nimbus_pager {
    nimbus_get_fn get; // one authorised GET of a page
    void *get_ctx;
    const nimbus_cfg *cfg;
    // Whether a link without a query gets "?$top=", the settings' page size
    // and select (a next link keeps the service's own query); else every
    // link goes as it stands.
    bool add_query;
    nimbus_select select;
    const char *label;      // names the answer in a refused status's message
    const char *link_label; // and in nimbus_next_link_check's (with whole)
    const char *whole;
    int no_memory; // the code a failed allocation answers
    // Sees each answer (page counts from 0) before its status is judged:
    // NIMBUS_OK goes on; any other code, its message in msg, ends the loop
    // with that code. Null for none.
    int (*answer)(void *ctx, int page, const nimbus_resp *resp, char *msg, size_t size);
    nimbus_page_fn read;
    void *ctx; // for answer and read
};
// Requests the pages of a paged answer from first on, handing each body to
// p->read, until a page has no next link or a next link may not be followed
// (nimbus_next_link_check). NIMBUS_OK, or the first failure's code with its
// message.
int nimbus_pages(const nimbus_pager *p, const char *first, char *msg, size_t size);

// ---- The drive handle's operations ----------------------------------------

// Every allocation failure of a handle call answers the same code and message.
inline int nimbus_no_memory(char *msg, size_t size) {
    nimbus_msgf(msg, size, "out of memory");
    return NIMBUS_E_NOMEM;
}

// Frees a call's page reader state, whatever way the call ends.
struct nimbus_walk_guard {
    nimbus_walk *walk;
    ~nimbus_walk_guard() { nimbus_walk_free(walk); }
};

// The number of folders a walk lists at once, from start up to most,
// adjusted by each answer's time and status (any thread).
class nimbus_pace {
  public:
    nimbus_pace(int start, int most);
    int limit() const;
    void answered(std::chrono::steady_clock::duration took, long status);

  private:
    std::atomic<int> limit_;
    const int most_;
    std::mutex m_;
    std::chrono::steady_clock::duration best_{};
    bool cautious_ = false; // the service pushed back once
    int prompt_ = 0;        // prompt answers since the last step up
    int since_halved_;      // answers since the last halving, counted up to most
};

// One handle call's authorised GETs: the handle's shared access token, taken
// at the first request, and one refresh when a 401 refuses a token that was
// not granted for this call.
struct nimbus_caller {
    const nimbus_io *io;
    const nimbus_cfg *cfg;
    nimbus_shared *shared;
    char *token;
    bool granted;
    bool retried;
    // The members its pages and look-ups ask for: a walk and the change
    // feed hand out no download URLs (they would be stale long before a
    // whole drive's entries are used).
    nimbus_select select = nimbus_select::entries;
    nimbus_pace *pace = nullptr; // told of every answer, when set
};
// NIMBUS_OK with an answer (any status) in resp; NIMBUS_E_UNAVAILABLE when
// the exchange failed; the grant's code when a token could not be had.
int nimbus_caller_get(nimbus_caller *c, const char *url, nimbus_resp *resp, char *msg, size_t size);
// nimbus_caller_get as a nimbus_get_fn, caller being the nimbus_caller.
int nimbus_caller_fetch(void *caller, const char *url, nimbus_resp *resp, char *msg, size_t size);
void nimbus_caller_free(nimbus_caller *c);
// Requests the pages of a paged answer from first on, handing each body to
// read, as nimbus_pages does with the handle's token. label names the
// answer in a refused status's message; with resync a 410 is the change
// feed's refused cursor. locked, when given, is set when the service
// refused a page as a locked folder's (NIMBUS_E_AUTH).
int nimbus_caller_pages(nimbus_caller *c, const char *first, const char *label, bool resync,
                        nimbus_page_fn read, void *ctx, char *msg, size_t size,
                        bool *locked = nullptr);
// The pages of one listing from first on, their entries handed to walk;
// *locked tells a folder the service keeps locked.
int nimbus_walk_pages(nimbus_caller *c, nimbus_walk *walk, const char *first, char *msg,
                      size_t size, bool *locked = nullptr);
// Checks a folder (item == false) or item argument before any request:
// NIMBUS_OK, or NIMBUS_E_BAD_PATH with its message.
int nimbus_drive_arg(const nimbus_cfg *cfg, const char *arg, bool item, char *msg, size_t size);
// Asked before the folder a shortcut leads to is listed on its drive, with
// that drive's and folder's ids: false leaves it unlisted (a walk that
// listed it already). While the listing runs, walk is the listing itself,
// whose target_* say where a shortcut entry handed out leads.
struct nimbus_enter {
    bool (*fn)(void *ctx, const char *drive, const char *item);
    void *ctx;
    const nimbus_walk *walk;
};
// nimbus_drive_list and nimbus_drive_item behind their argument checks.
// prefix, when not null, is the folder's virtual path for its entries'
// paths (a folder addressed by id whose path is known); *broken (when
// given) tells that a failure came from a broken shortcut; enter, when
// given, is asked before a shortcut is followed (NIMBUS_OK without
// entries when it refuses).
int nimbus_drive_children(nimbus_caller *c, const char *folder, const char *prefix, bool *broken,
                          nimbus_entry_fn fn, void *ctx, char *msg, size_t size,
                          nimbus_enter *enter = nullptr);
// nimbus_drive_search behind its null checks.
constexpr size_t NIMBUS_SEARCH_MAX = 1024;
int nimbus_drive_find(nimbus_caller *c, const char *text, nimbus_entry_fn fn, void *ctx, char *msg,
                      size_t size);
// nimbus_drive_changes behind its argument checks.
int nimbus_drive_delta(nimbus_caller *c, const char *folder, const char *cursor, nimbus_entry_fn fn,
                       void *ctx, char **next_cursor, char *msg, size_t size);
// nimbus_drive_walk behind its argument checks; threads from 1 to
// NIMBUS_MAX_WALK_THREADS.
int nimbus_walk_tree(const nimbus_io *io, const nimbus_cfg *cfg, nimbus_shared *shared,
                     const char *folder, int max_depth, nimbus_entry_fn fn, void *ctx, char *msg,
                     size_t size);
struct nimbus_remote;
// target, when given, gets the drive and item a folder found on another
// drive is listed by (a shortcut's shared folder, or a folder beneath one);
// it stays empty for anything else.
int nimbus_drive_lookup(nimbus_caller *c, const char *path_or_id, nimbus_entry_fn fn, void *ctx,
                        char *msg, size_t size, nimbus_remote *target = nullptr);

// The drive's type, owner and quota (GET /me/drive) into f: NIMBUS_OK, or
// the service's code with its message; f is initialised first.
int nimbus_drive_facts_get(nimbus_caller *c, nimbus_drive_facts *f, char *msg, size_t size);
// The thumbnail of an item (argument checked) in the size name (checked)
// into t: NIMBUS_OK, or the service's code with its message; t is emptied
// first.
int nimbus_drive_thumb(nimbus_caller *c, const char *path_or_id, const char *name, nimbus_thumb *t,
                       char *msg, size_t size);

// ---- Shortcuts ------------------------------------------------------------

// Where a path or id leads through a shortcut: the item on its own drive,
// the path below it ("" or starting with "/"), and the shortcut as the
// caller named it (its virtual path, or the id), for messages. name is a
// file shortcut's own name, which the shared file it leads to is shown by.
struct nimbus_remote {
    nimbus_buf drive;
    nimbus_buf item;
    nimbus_buf rest;
    nimbus_buf shortcut;
    nimbus_buf name;
};
void nimbus_remote_free(nimbus_remote *r);
struct nimbus_remote_guard {
    nimbus_remote *r;
    ~nimbus_remote_guard() { nimbus_remote_free(r); }
};
// What an argument is, told by the facets of item answers.
enum class nimbus_kind {
    missing, // neither the item nor a shortcut above it
    folder,  // an ordinary folder
    file,    // a file, or a shortcut to one
    remote,  // a shortcut to a folder, or a path beneath one
};
// What arg (a virtual path or an item id) is: the item itself is asked
// first (unless its own item answer was a 404 already: asked), then, for a
// path not there, the folders on its way from the top, one request per
// level, down to a shortcut (or to a level that is not an ordinary
// folder). NIMBUS_OK with *kind (remote filled for nimbus_kind::remote,
// the path below the shortcut in rest); another code with its message
// when a request failed (msg may be overwritten in any case).
int nimbus_shortcut_find(nimbus_get_fn get, void *ctx, const nimbus_cfg *cfg, const char *arg,
                         bool asked, nimbus_kind *kind, nimbus_remote *remote, char *msg,
                         size_t size);
// The Graph URL of the remote place, or of its children. 0, or -1 without memory.
inline int nimbus_remote_url(const nimbus_cfg *cfg, const nimbus_remote *r, bool children,
                             nimbus_buf *url) {
    return nimbus_remote_place_url(cfg, &r->drive, &r->item, &r->rest, children, url);
}
// Whether a 404 is Graph's own "itemNotFound" (the answer's body, or the
// listing message that quotes its first line): only then may a shortcut
// lie on the way; a 404 from elsewhere is taken as it stands.
bool nimbus_item_not_found(const char *body_or_msg);
// A refusal (NIMBUS_E_AUTH, NIMBUS_E_NOT_FOUND) met on the remote drive
// becomes one line naming the shortcut; rc is returned unchanged.
int nimbus_shortcut_broken(int rc, const nimbus_remote *r, char *msg, size_t size);
// The same for a shortcut named by name.
int nimbus_shortcut_broken_at(int rc, const char *name, char *msg, size_t size);
// Whether an item answer is a shortcut to a file without a download URL of
// its own: 1 with remote's drive, item and name filled, 0 when not, -1
// without memory.
int nimbus_file_shortcut_of(const char *body, size_t len, nimbus_remote *remote);
// Gives every entry of a listing on another drive its "drives/<d>/items/<i>" id.
int nimbus_remote_ids(nimbus_items *list, const char *drive, size_t drive_len, char *msg,
                      size_t size);

#endif // NIMBUS_OPS_H
