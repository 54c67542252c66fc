// Operations: folder listing with paging, the stream locator and the
// settings validation probe.
#ifndef NIMBUS_OPS_H
#define NIMBUS_OPS_H

#include <cstddef>

#include "auth/auth.h"
#include "graph/graph.h"
#include "text/text.h"
#include "transport/transport.h"

constexpr int NIMBUS_PAGE_SIZE = 200;
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

#endif // NIMBUS_OPS_H
