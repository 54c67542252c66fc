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

// Sleeps until at, waking every 100 ms for Ctrl-C; false when interrupted.
bool sleep_until(std::chrono::steady_clock::time_point at);

} // namespace

int device_flow(const options &o, const std::string &settings, const nimbus_io *io,
                const finish_fn &finish) {
    catch_interrupt();
    std::string answer, message;
    int rc = token_grant(settings, io,
                         "{\"grant_type\":\"urn:ietf:params:oauth:grant-type:device_code\"}",
                         &answer, &message);
    if (interrupted())
        return fail_with({EXIT_INTERRUPTED, "interrupted"});
    if (rc != NIMBUS_OK)
        return fail_with(
            {exit_for(rc), "the service refused the device sign-in: " + message +
                               (rc == NIMBUS_E_AUTH ? " (is \"Allow public client flows\" on in "
                                                      "the app registration?)"
                                                    : "")});
    // The library checked the answer: bounded, https, the message one line.
    std::string device_code = json_text(answer, "device_code");
    long long interval = json_number(answer, "interval");
    if (interval < 1) // the library answers 1 to 600; never poll in a tight loop
        interval = 5;
    long long expires_in = json_number(answer, "expires_in");
    std::fprintf(stderr, "%s\n", printable(json_text(answer, "message")).c_str());
    std::fflush(stderr);

    wait_limit limit =
        limit_of(o, static_cast<long>(expires_in),
                 "before the device code expired (" + std::to_string(expires_in) + " s)");
    std::string grant = "{\"grant_type\":\"urn:ietf:params:oauth:grant-type:device_code\","
                        "\"device_code\":" +
                        json_string(device_code) + "}";
    for (;;) {
        auto next = std::chrono::steady_clock::now() + std::chrono::seconds(interval);
        if (next >= limit.deadline) {
            if (!sleep_until(limit.deadline))
                return fail_with({EXIT_INTERRUPTED, "interrupted"});
            return fail_with({EXIT_OTHER, "no sign-in arrived " + limit.late});
        }
        if (!sleep_until(next))
            return fail_with({EXIT_INTERRUPTED, "interrupted"});
        rc = token_grant(settings, io, grant, &answer, &message);
        if (interrupted())
            return fail_with({EXIT_INTERRUPTED, "interrupted"});
        if (rc == NIMBUS_E_PENDING) {
            if (message.compare(0, 10, "slow_down:") == 0)
                interval += kSlowDownSeconds;
            continue;
        }
        break;
    }
    std::string refresh = json_text(answer, "refresh_token");
    if (rc != NIMBUS_OK || refresh.empty())
        return fail_with({rc == NIMBUS_OK ? EXIT_OTHER : exit_for(rc),
                          "the device sign-in was refused: " + message});
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
