// The change feed that keeps the gateway's kept folders current: asked by
// visits and by a thread of its own, it forgets the folders that changed
// and tells the MediaServer about them.
#ifndef NIMBUS_TOOLS_SERVE_FEED_H
#define NIMBUS_TOOLS_SERVE_FEED_H

#include "serve/gateway.h"

namespace cli {

// A visit asks the feed on its own thread when the last request is
// feed_every old; a visit while another asks goes on at once.
void keep_current(gateway &g);
// Whether a visit now would ask the feed, and so wait on the service.
bool feed_would_ask(gateway &g);

// Prints what the feed said before the gateway listened, and from now on
// at once.
void feed_say_held(gateway &g);

// serve's feed thread: runs until g.feed_stop.
void feed_loop(gateway &g);

} // namespace cli

#endif
