// `nimbus login`: signs in through the Microsoft identity platform (the
// authorization code with PKCE and a loopback redirect or a pasted address,
// or a device code) and stores the settings.
#ifndef NIMBUS_TOOLS_LOGIN_H
#define NIMBUS_TOOLS_LOGIN_H

#include "commands.h"

namespace cli {

// The loopback port the redirect URI names unless --port says otherwise.
constexpr long kLoginPort = 8914;

// Returns the process exit status.
int run_login(const options &o);

} // namespace cli

#endif
