// What the gateway answers a request: the checks every request passes (the
// Host, the secret or a file's capability, the method, the query values),
// then a folder's page, JSON or playlist, a search, or a file's redirect or
// bytes.
#ifndef NIMBUS_TOOLS_SERVE_ROUTES_H
#define NIMBUS_TOOLS_SERVE_ROUTES_H

#include "serve/exchange.h"
#include "serve/gateway.h"

#include <microhttpd.h>

namespace cli {

// The answer to METHOD URL (the path still percent-encoded) on c. When
// memory runs out std::bad_alloc escapes: the listener answers 500.
reply handle(gateway &g, MHD_Connection *c, const char *url, const char *method);

// Whether the answer to a GET or HEAD of URL on C is made of what the
// gateway keeps, without waiting on the service (a kept folder's page,
// JSON or playlist): the pool thread that parsed it may then make it
// itself, rather than hand it to a worker.
bool answers_at_once(gateway &g, MHD_Connection *c, const char *url);

} // namespace cli

#endif
