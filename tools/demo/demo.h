// The offline demo drive: a small media library described by demo-drive.json,
// served by the command's demo transport.
#ifndef NIMBUS_TOOLS_DEMO_H
#define NIMBUS_TOOLS_DEMO_H

#include <nimbus.h>

#include <string>

namespace cli {

// The built-in settings of the demo (no file needed).
const char *demo_settings();

// The demo's transport table: every scripted exchange answers 200 with its
// body, any other 404. Valid for the life of the process.
const nimbus_io *demo_io();

// Finds the description (next to the executable, in the installed data
// folder, then in the source tree), reads it and builds the demo
// transport's answers: a token answer and every children page and item of
// the drive, at the URLs the library asks for with these settings, in pages
// of at most page_size entries (and at most the description's page_size).
// Uses the fake transport while it runs and leaves no transport selected.
// On failure returns false with a message.
bool demo_start(const std::string &settings, int page_size, std::string *error);

} // namespace cli

#endif
