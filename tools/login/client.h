// The application a sign-in is for: its client id, and a client secret or
// none (a public client, the kind native tools register).
#ifndef NIMBUS_TOOLS_LOGIN_CLIENT_H
#define NIMBUS_TOOLS_LOGIN_CLIENT_H

#include "commands.h"
#include "login/flow.h"

#include <string>

namespace cli {
namespace login {

struct client {
    std::string id;
    std::string secret; // empty for a public client
    bool is_public = false;
    std::string scope; // stored or given; empty: the library's default

    // The settings the library's grants take: ClientId, ClientSecret or
    // "PublicClient": true, and scope when set.
    std::string settings() const;
};

// Decides the client. The id: --client-id, else the settings'. The secret,
// never from the command line: --client-secret-file, else the environment
// variable NIMBUS_CLIENT_SECRET, else the settings' own (for the same client
// id, unless they say PublicClient), else a hidden prompt when standard input
// is a terminal (an empty answer: none). With --public, or none of these, the
// client is a public one.
bool client_of(const options &o, const std::string &existing, client *c, failure *f);

} // namespace login
} // namespace cli

#endif
