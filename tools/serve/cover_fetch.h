// The gateway's covers route: GET or HEAD of a file's or folder's own URL
// with ?cover=small or ?cover=medium answers the service's thumbnail of it
// as image/jpeg or image/png bytes, fetched when first asked and kept in
// the gateway's cover cache.
#ifndef NIMBUS_TOOLS_SERVE_COVER_FETCH_H
#define NIMBUS_TOOLS_SERVE_COVER_FETCH_H

#include "serve/covers.h"
#include "serve/exchange.h"

#include <cstddef>
#include <string>
#include <unordered_set>

namespace cli {

struct gateway;

// Whether s names a size the route serves: "small" (96 px) or "medium"
// (176 px). The service's large (800 px) is more than a cover needs.
bool cover_size_ok(const char *s);

// The cover cache's limits in a gateway whose listings' budget is budget
// bytes: a sixteenth of it, at most 16 MiB, is for covers.
cover_cache::limits cover_limits(size_t budget);

// The answer to q.path?cover=size (size checked): 200 with the bytes, 404
// when the item has none (a folder without its own takes its first
// track's, else its first film's or picture's), 502 when the service's answer is not
// a picture of at most kMaxCover bytes, 503 when too many covers are being
// fetched.
reply serve_cover(gateway &g, const request &q, const std::string &size);

// Forgets the kept covers the change feed may have changed: of the folders
// named (as the listings' keys: "" the root, else "/A/B") and of what they
// hold, or every cover when folders is null.
void forget_covers(gateway &g, const std::unordered_set<std::string> *folders);

} // namespace cli

#endif
