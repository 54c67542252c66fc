// `nimbus login`: signs in through the Microsoft identity platform (the
// authorization code with PKCE and a loopback redirect or a pasted address,
// or a device code) and stores the settings.
#ifndef NIMBUS_TOOLS_LOGIN_H
#define NIMBUS_TOOLS_LOGIN_H

#include "commands.h"
#include "login/client.h"
#include "settings_file.h"

#include <nimbus.h>

#include <string>

namespace cli {

// The loopback port the redirect URI names unless --port says otherwise.
constexpr long kLoginPort = 8914;

// Returns the process exit status.
int run_login(const options &o);

namespace login {

// Where a sign-in is stored, and for which application.
struct target {
    std::string path;       // the settings file
    std::string existing;   // its text; "" when there is none
    file_identity identity; // the file that text was read from
    bool exists = false;
    client who;       // decided by the caller (client_of)
    std::string root; // the root folder (Path) the drive must hold; "": its root
};

// Reads the settings file the options name, when there is one: a file that
// could not take a sign-in (unreadable, open to others, no JSON object) is
// refused with exit status 3 before anyone signs in.
bool target_of(const options &o, target *t, failure *f);

// What every flow does once it holds a refresh token: the drive must answer
// it, then the settings are stored with the locked writer (mode 600).
// Returns the exit status; *page_text is what a browser is told.
int finish_signin(const options &o, const target &t, const nimbus_io *io,
                  const std::string &refresh, std::string *page_text);

} // namespace login

} // namespace cli

#endif
