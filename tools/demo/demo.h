// The offline demo drive: a small media library described by demo-drive.json,
// served by the library's fake transport.
#ifndef NIMBUS_TOOLS_DEMO_H
#define NIMBUS_TOOLS_DEMO_H

#include <string>

namespace cli {

// The built-in settings of the demo (no file needed).
const char *demo_settings();

// The token endpoint the demo scripts (the library's default).
const char *demo_token_url();

// Finds the description (next to the executable, in the installed data
// folder, then in the source tree), reads it and scripts the fake transport
// with a token answer and every children page and item of the drive.
// Selects the fake transport. On failure returns false with a message.
bool demo_start(std::string *error);

} // namespace cli

#endif
