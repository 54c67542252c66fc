// The ways `nimbus login` gets a refresh token, and what they share. Every
// grant and every identity-platform address comes from the library
// (nimbus_token_grant); the flows only talk to the user and the browser.
#ifndef NIMBUS_TOOLS_LOGIN_FLOW_H
#define NIMBUS_TOOLS_LOGIN_FLOW_H

#include "commands.h"

#include <nimbus.h>

#include <chrono>
#include <functional>
#include <string>

namespace cli {
namespace login {

struct failure {
    int status;
    std::string message;
};

// Prints "nimbus: login: <message>" and returns the status.
int fail_with(const failure &f);

// When a wait for the user ends: at deadline, which late names in messages.
struct wait_limit {
    std::chrono::steady_clock::time_point deadline;
    std::string late; // "within 300 seconds (--wait)", "before the --max-time of 2 s ran out"
};
// The sooner of seconds from now (what says which limit that is) and
// --max-time.
wait_limit limit_of(const options &o, long seconds, const std::string &what);

// nimbus_token_grant with texts: the code, and the answer or the message.
int token_grant(const std::string &settings, const nimbus_io *io, const std::string &grant,
                std::string *answer, std::string *message);
// The string member key of a JSON object text, or "".
std::string json_text(const std::string &json, const char *key);
// The integer member key of a JSON object text, or 0.
long long json_number(const std::string &json, const char *key);

// What happens once a flow holds a refresh token: the drive is checked and
// the settings stored. Returns the exit status; *page_text is told to the
// browser (when there is one).
using finish_fn = std::function<int(const std::string &refresh_token, std::string *page_text)>;

// The authorization-code flow with PKCE: the browser comes back to the
// loopback listener, or (--no-browser) the user pastes the address.
// settings: the client's (ClientId, ClientSecret or PublicClient, scope).
int browser_flow(const options &o, const std::string &settings, const nimbus_io *io,
                 const finish_fn &finish);
// The device-code flow (--device): a code typed at the service's device
// page on any machine.
int device_flow(const options &o, const std::string &settings, const nimbus_io *io,
                const finish_fn &finish);

// The device-code flow's two steps, for a host that talks to the user some
// other way (the gateway's sign-in page). A device authorization as the
// library checked it: https address, bounded times, one-line message.
struct device_code {
    std::string code; // what the polls send; never shown
    std::string user_code;
    std::string verification_uri;
    std::string message;
    long interval = 5;   // seconds between polls; a slow_down adds 5
    long expires_in = 0; // seconds from the answer
};
// Asks the service for a device code; false with *f on a refusal.
bool device_begin(const std::string &settings, const nimbus_io *io, device_code *d, failure *f);
enum class polled { signed_in, pending, refused };
// One poll of the device-code grant: signed_in with *refresh, pending
// (d->interval grown on slow_down), or refused with *f.
polled device_poll(const std::string &settings, const nimbus_io *io, device_code *d,
                   std::string *refresh, failure *f);

} // namespace login
} // namespace cli

#endif
