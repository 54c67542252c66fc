// `nimbus serve`: an HTTP gateway that lets any media player or browser walk
// the drive (folder pages, JSON, M3U playlists) and play its files through
// redirects to their pre-authorised download URLs.
#ifndef NIMBUS_TOOLS_SERVE_H
#define NIMBUS_TOOLS_SERVE_H

#include "commands.h"

namespace cli {

// Runs until SIGINT or SIGTERM; returns the process exit status.
int run_serve(const options &o);

} // namespace cli

#endif
