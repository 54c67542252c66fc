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
    std::string cloud; // stored or given; empty: the global cloud

    // Whether the sign-in is on a national cloud, which has work and school
    // accounts only.
    bool national() const { return !cloud.empty() && cloud != "global"; }
    // The settings the library's grants take: ClientId, ClientSecret or
    // "PublicClient": true, scope and Cloud when set (with RuntimeType
    // ONEDRIVEB on a national cloud).
    std::string settings() const;
};

// Decides the client. The id: --client-id, else the settings'; the cloud
// likewise (a name the library does not know is a usage fault). The secret,
// never from the command line: --client-secret-file, else the environment
// variable NIMBUS_CLIENT_SECRET, else the settings' own (for the same client
// id, unless they say PublicClient), else a hidden prompt when standard input
// is a terminal (an empty answer: none). With --public, or none of these, the
// client is a public one. Without may_prompt (a server, whose terminal no
// one may be watching) nobody is asked.
bool client_of(const options &o, const std::string &existing, client *c, failure *f,
               bool may_prompt = true);

} // namespace login
} // namespace cli

#endif
