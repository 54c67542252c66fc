// Operations: folder listing with paging, the stream locator and the
// settings validation probe.
#ifndef NIMBUS_OPS_H
#define NIMBUS_OPS_H

#include <cstddef>

#include "auth/auth.h"
#include "graph/graph.h"
#include "text/text.h"
#include "transport/transport.h"

constexpr int NIMBUS_MAX_PAGES = 1000;
constexpr size_t NIMBUS_PATH_MAX = 2048;

// Appends "/" + the configured root path (when set) and then vpath.
void nimbus_join_root(const nimbus_cfg *cfg, const char *vpath, nimbus_buf *out);
int nimbus_children_url(const nimbus_cfg *cfg, const char *folder, nimbus_buf *out, char *msg,
                        size_t size);
int nimbus_list_url(nimbus_sess *sess, const char *url, nimbus_items *list, char *msg, size_t size);
int nimbus_do_list(nimbus_sess *sess, const char *folder, nimbus_items *list, char **parent,
                   char *msg, size_t size);
int nimbus_do_stream(nimbus_sess *sess, const char *entry, nimbus_buf *out, char *msg, size_t size);
int nimbus_do_validate(const nimbus_io *io, const nimbus_cfg *cfg, const char *id, nimbus_buf *out,
                       char *msg, size_t size);

// Helpers shared by the operations of this module.
// nimbus_join_root into out, then -1 when an append failed (out may hold a part).
int nimbus_join_checked(const nimbus_cfg *cfg, const char *vpath, nimbus_buf *out);
// Judges one Graph answer: a refused status gives its code and the
// "<label>: <quoted> answered HTTP ..." message (quoted is redacted first); a
// success status whose body is a Graph error envelope gives NIMBUS_E_FAILED
// with the envelope's message. NIMBUS_OK otherwise.
int nimbus_answer_check(const nimbus_resp *resp, const char *label, const char *quoted, char *msg,
                        size_t size);
// The status half of nimbus_answer_check alone.
int nimbus_status_check(const nimbus_resp *resp, const char *label, const char *quoted, char *msg,
                        size_t size);
// A success status carrying a Graph error envelope is a failed call: msg
// holds the envelope's message, or gets "<label>: Graph error <code>".
int nimbus_envelope_failure(const char *label, const char *code, char *msg, size_t size);
// Whether link names the scheme, host and port of base: the same text up to
// the end of base's authority (letter case aside), after which the link's
// authority must end too. A longer host, another port (also an explicit
// default one) or user information therefore never match. The bearer token
// travels with every page request, so no other link is followed.
bool nimbus_on_graph_origin(const char *link, const char *base);

// ---- The drive handle's operations ----------------------------------------

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
};
// NIMBUS_OK with an answer (any status) in resp; NIMBUS_E_UNAVAILABLE when
// the exchange failed; the grant's code when a token could not be had.
int nimbus_caller_get(nimbus_caller *c, const char *url, nimbus_resp *resp, char *msg, size_t size);
void nimbus_caller_free(nimbus_caller *c);
// Checks a folder (item == false) or item argument before any request:
// NIMBUS_OK, or NIMBUS_E_BAD_PATH with its message.
int nimbus_drive_arg(const nimbus_cfg *cfg, const char *arg, bool item, char *msg, size_t size);
// nimbus_drive_list and nimbus_drive_item behind their argument checks.
int nimbus_drive_walk(nimbus_caller *c, const char *folder, nimbus_entry_fn fn, void *ctx,
                      char *msg, size_t size);
int nimbus_drive_lookup(nimbus_caller *c, const char *path_or_id, nimbus_entry_fn fn, void *ctx,
                        char *msg, size_t size);

#endif // NIMBUS_OPS_H
