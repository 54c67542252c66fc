// The device-code flow of `nimbus login --device`: the service gives a short
// code, the user types it at the service's device page on any machine, and
// the command polls the token endpoint until the user has finished. Both
// steps are grants the library builds (nimbus_token_grant).
#include "login/flow.h"

#include "output.h"
#include "signals.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace cli {
namespace login {
namespace {

constexpr long kSlowDownSeconds = 5; // RFC 8628, section 3.5
constexpr char kDeviceGrant[] = "urn:ietf:params:oauth:grant-type:device_code";

// Sleeps until at, waking every 100 ms for Ctrl-C; false when interrupted.
bool sleep_until(std::chrono::steady_clock::time_point at);

} // namespace

bool device_begin(const std::string &settings, const nimbus_io *io, device_code *d, failure *f) {
    std::string answer, message;
    int rc = token_grant(settings, io, std::string("{\"grant_type\":\"") + kDeviceGrant + "\"}",
                         &answer, &message);
    if (rc != NIMBUS_OK) {
        *f = {exit_for(rc), "the service refused the device sign-in: " + message +
                                (rc == NIMBUS_E_AUTH ? " (is \"Allow public client flows\" on in "
                                                       "the app registration?)"
                                                     : "")};
        return false;
    }
    // The library checked the answer: bounded, https, the message one line.
    d->code = json_text(answer, "device_code");
    d->user_code = json_text(answer, "user_code");
    d->verification_uri = json_text(answer, "verification_uri");
    d->message = json_text(answer, "message");
    d->interval = static_cast<long>(json_number(answer, "interval"));
    if (d->interval < 1) // the library answers 1 to 600; never poll in a tight loop
        d->interval = 5;
    d->expires_in = static_cast<long>(json_number(answer, "expires_in"));
    return true;
}

polled device_poll(const std::string &settings, const nimbus_io *io, device_code *d,
                   std::string *refresh, failure *f) {
    std::string answer, message;
    int rc = token_grant(settings, io,
                         std::string("{\"grant_type\":\"") + kDeviceGrant +
                             "\",\"device_code\":" + json_string(d->code) + "}",
                         &answer, &message);
    if (rc == NIMBUS_E_PENDING) {
        if (message.compare(0, 10, "slow_down:") == 0)
            d->interval += kSlowDownSeconds;
        return polled::pending;
    }
    *refresh = json_text(answer, "refresh_token");
    if (rc != NIMBUS_OK || refresh->empty()) {
        *f = {rc == NIMBUS_OK ? EXIT_OTHER : exit_for(rc),
              "the device sign-in was refused: " + message};
        return polled::refused;
    }
    return polled::signed_in;
}

int device_flow(const options &o, const std::string &settings, const nimbus_io *io,
                const finish_fn &finish) {
    catch_interrupt();
    device_code d;
    failure f{EXIT_OTHER, ""};
    bool begun = device_begin(settings, io, &d, &f);
    if (interrupted())
        return fail_with({EXIT_INTERRUPTED, "interrupted"});
    if (!begun)
        return fail_with(f);
    std::fprintf(stderr, "%s\n", printable(d.message).c_str());
    std::fflush(stderr);

    wait_limit limit = limit_of(
        o, d.expires_in, "before the device code expired (" + std::to_string(d.expires_in) + " s)");
    std::string refresh;
    for (;;) {
        auto next = std::chrono::steady_clock::now() + std::chrono::seconds(d.interval);
        if (next >= limit.deadline) {
            if (!sleep_until(limit.deadline))
                return fail_with({EXIT_INTERRUPTED, "interrupted"});
            return fail_with({EXIT_OTHER, "no sign-in arrived " + limit.late});
        }
        if (!sleep_until(next))
            return fail_with({EXIT_INTERRUPTED, "interrupted"});
        polled p = device_poll(settings, io, &d, &refresh, &f);
        if (interrupted())
            return fail_with({EXIT_INTERRUPTED, "interrupted"});
        if (p == polled::pending)
            continue;
        if (p == polled::refused)
            return fail_with(f);
        break;
    }
    std::string page_text; // no browser to tell
    return finish(refresh, &page_text);
}

namespace {

bool sleep_until(std::chrono::steady_clock::time_point at) {
    for (;;) {
        if (interrupted())
            return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= at)
            return true;
        auto step = std::chrono::milliseconds(100);
        std::this_thread::sleep_for(at - now < step ? at - now : step);
    }
}

} // namespace
} // namespace login
} // namespace cli
